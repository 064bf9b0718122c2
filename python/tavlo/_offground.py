"""The lookup of a transistor whose source is off ground: Vgs or Vsb from the drain and gate
voltages to the bulk, on a table over a body-bias sweep."""

from __future__ import annotations

from typing import Any, Dict, Optional

import numpy as np

from ._checks import number

__all__ = ["off_ground"]

# Samples per Vsb interval of the table before the crossing is refined, and the refinement's
# resolution (V).
_SAMPLES = 4
_TOLERANCE = 1e-9


def off_ground(table: Any, quantity: str, l: Any, vdb: Any, vgb: Any, target: Dict[str, Any],
               given: Dict[str, Any]) -> float:
    """The Vgs (``quantity="vgs"``) or Vsb (``"vsb"``) at which the device, with its drain vdb and
    gate vgb above the bulk, meets the one target (e.g. gm_id=12): Vgs = vgb - vsb and
    Vds = vdb - vsb at that Vsb. Where several Vsb meet it, the lowest (highest Vgs) is taken."""
    if quantity not in ("vgs", "vsb"):
        raise ValueError(f"with vdb and vgb, lookup gives 'vgs' or 'vsb'; got {quantity!r}")
    extra = [name for name, value in given.items() if value is not None]
    if extra:
        raise ValueError(f"give vdb and vgb instead of {', '.join(extra)}: they set Vgs, Vds and Vsb together")
    if vdb is None or vgb is None:
        raise ValueError("give both vdb and vgb (drain and gate voltages to the bulk, V)")
    vdb, vgb = number(vdb, "vdb", unit="V"), number(vgb, "vgb", unit="V")
    if len(target) != 1:
        raise ValueError(f"give one target with vdb and vgb, e.g. gm_id=12; got {', '.join(sorted(target)) or 'none'}")
    ((key, value),) = target.items()
    value = number(value, key)
    if table.vsb is None:
        raise ValueError("vdb and vgb need a table over a body-bias sweep (characterise with vsb=[...])")
    vsb_axis = np.sort(table.vsb)

    def miss(vsb: float) -> float:
        vgs, vds = vgb - vsb, vdb - vsb
        if not (_inside(table.vgs, vgs) and _inside(table.vds, vds)):
            return float("nan")
        return float(table.lookup(key, l=l, vgs=vgs, vds=vds, vsb=vsb)) - value

    steps = np.linspace(0.0, 1.0, _SAMPLES + 1)[:-1]
    pairs = zip(vsb_axis[:-1], vsb_axis[1:], strict=True)
    xs = np.append(np.concatenate([a + (b - a) * steps for a, b in pairs]), vsb_axis[-1])
    ys = np.array([miss(float(x)) for x in xs])
    found = _first_bracket(xs, ys)
    if found is None:
        finite = ys[np.isfinite(ys)] + value
        spans = (f"spans [{finite.min():.4g}, {finite.max():.4g}]" if finite.size
                 else "leaves the table's Vgs or Vds axis")
        raise ValueError(f"{key} = {value:g} is not reached with vdb = {vdb:g} V, vgb = {vgb:g} V: over the table's "
                         f"Vsb [{vsb_axis[0]:g}, {vsb_axis[-1]:g}] V it {spans}")
    vsb = _refine(miss, *found)
    return vsb if quantity == "vsb" else vgb - vsb


def _inside(axis: np.ndarray, x: float) -> bool:
    return bool(axis.min() <= x <= axis.max())


def _first_bracket(xs: np.ndarray, ys: np.ndarray) -> Optional[tuple]:
    for k in range(xs.size):
        if ys[k] == 0.0:
            return float(xs[k]), float(xs[k]), 0.0, 0.0
        if k + 1 < xs.size and np.isfinite(ys[k]) and np.isfinite(ys[k + 1]) and ys[k] * ys[k + 1] < 0:
            return float(xs[k]), float(xs[k + 1]), float(ys[k]), float(ys[k + 1])
    return None


def _refine(miss: Any, a: float, b: float, fa: float, fb: float) -> float:
    """False position with the Illinois weighting: a few steps reach the tolerance on a smooth curve."""
    if a == b:
        return a
    for _ in range(60):
        c = b - fb * (b - a) / (fb - fa)
        fc = miss(c)
        if not np.isfinite(fc):
            return c
        if fc * fb < 0:
            a, fa = b, fb
        else:
            fa /= 2  # the end kept twice in a row weighs less, so it is left too
        b, fb = c, fc
        if fc == 0.0 or abs(b - a) < _TOLERANCE:
            break
    return b
