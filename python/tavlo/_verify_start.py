"""Where a verified sizing starts: the table it reads, checked against the device, and the table's
own design at the targets."""

from __future__ import annotations

import math
from typing import Any, Optional, Tuple

import numpy as np

from ._characterise import characterise
from ._checks import ID_FLOOR
from ._device import Device
from ._runner import Runner
from ._table import MosTable

__all__ = ["default_lengths", "default_table", "check_table", "estimate", "gain_exponent"]


def default_lengths(device: Device, l: Any) -> Tuple[float, ...]:
    """Lengths of the table a sizing characterises: l_min to 16 l_min by factors of √2, plus a
    given length outside that span."""
    grid = [device.l_min * 2 ** (k / 2) for k in range(9)]
    if l is not None:
        extra = [float(x) for x in np.atleast_1d(np.asarray(l, dtype=np.float64))]
        grid += [x for x in extra if not grid[0] * (1 - 1e-9) <= x <= grid[-1] * (1 + 1e-9)]
    return tuple(sorted(set(round(x, 15) for x in grid)))


def default_table(runner: Runner, device: Device, temperature: float, vbs: float,
                  lengths: Tuple[float, ...]) -> MosTable:
    """The table a sizing characterises when given none: fine in Vgs, where gm/Id is read."""
    return characterise(runner, device, lengths=list(lengths), vgs=(0.0, device.vdd, device.vdd / 144),
                        vds=(0.0, device.vdd, device.vdd / 36), vbs=vbs, temperature=temperature, progress=False)


def check_table(table: Any, device: Device, vbs: float) -> Optional[float]:
    """The Vbs to read ``table`` at for a sizing of ``device`` at ``vbs`` (None: the table's only
    one, not recorded); ValueError for a table of the other polarity or another body bias."""
    if not isinstance(table, MosTable):
        raise TypeError(f"table must be a tavlo.MosTable or None, got {type(table).__name__}")
    source = getattr(table, "source", None) or {}
    polarity = source.get("polarity") or (table.config.device_type if table.config is not None else None)
    if polarity is not None and polarity != device.polarity:
        raise ValueError(f"table is a {polarity.upper()} table and device {device.name or device.model} is "
                         f"{device.polarity.upper()}: size a device from a table of its own polarity")
    axis = table.vbs_axis
    if axis is not None:
        lo, hi = float(np.min(axis)), float(np.max(axis))
        if not lo - 1e-9 <= vbs <= hi + 1e-9:
            raise ValueError(f"vbs = {vbs:g} V (vsb = {-vbs + 0.0:g} V) is outside the table's Vbs axis, "
                             f"{lo:g} to {hi:g} V; characterise a table whose Vbs sweep spans it")
        return vbs
    if not math.isfinite(table.vbs):
        return None
    if abs(table.vbs - vbs) > 1e-9:
        raise ValueError(f"vbs = {vbs:g} V (vsb = {-vbs + 0.0:g} V): the table was characterised at "
                         f"vbs = {table.vbs:g} V only; characterise one at this body bias, or over a Vbs "
                         "sweep that spans it")
    return vbs


def _reach(table: MosTable, l: Any, vds: float, vbs: float) -> Tuple[float, float, float]:
    """(lowest, highest gm/Id, length of the highest) the table reaches over its Vgs axis at the
    given lengths (all of them without), where the current is above the solver's floor."""
    lengths = table.lengths if l is None else np.atleast_1d(np.asarray(l, dtype=np.float64))
    lo, hi, at = math.inf, -math.inf, math.nan
    for length in lengths:
        g = np.asarray(table.lookup("gm_id", l=float(length), vds=vds, vbs=vbs))
        i = np.asarray(table.lookup("id", l=float(length), vds=vds, vbs=vbs))
        g = g[(np.abs(i) >= ID_FLOOR) & np.isfinite(g)]
        if g.size:
            lo = min(lo, float(g.min()))
            if g.max() > hi:
                hi, at = float(g.max()), float(length)
    return lo, hi, at


def estimate(table: MosTable, gm_id: float, ids: float, gain: Optional[float], l: Any, vds: float,
              vbs: float) -> Any:
    est = _table_design(table, gm_id, ids, gain, l, vds, vbs)
    # The table answers an unreachable gain with the closest length; a simulation cannot do better.
    missed = dict(est.constraint_errors).get("gain", 0.0)
    if gain is not None and not abs(missed) <= 0.05:
        raise ValueError(f"gain = {gain:g} is not reached at gm_id = {gm_id:g} over the table's lengths: the "
                         f"closest is {est.gain:.4g} at L = {est.l:.4g} m")
    # Below its peak gm/Id rises with Vgs only where leakage still matters: no place to bias.
    curve = np.asarray(table.lookup("gm_id", l=float(est.l), vds=vds, vbs=vbs))
    current = np.asarray(table.lookup("id", l=float(est.l), vds=vds, vbs=vbs))
    curve = np.where((np.abs(current) >= ID_FLOOR) & np.isfinite(curve), curve, -np.inf)
    peak = int(np.argmax(curve))
    if est.vgs < table.vgs[peak]:
        lowest = float(curve[peak:].min())
        raise ValueError(f"gm_id = {gm_id:g} cannot be met: it is below the lowest gm/Id the device reaches "
                         f"above its weak-inversion peak ({lowest:.4g} at Vgs = {table.vgs[-1]:g} V, "
                         f"L = {est.l:.4g} m); only leakage gives less")
    return est


def _table_design(table: MosTable, gm_id: float, ids: float, gain: Optional[float], l: Any, vds: float,
                  vbs: float) -> Any:
    try:
        return table.design(gm_id=gm_id, gain=gain, ids=ids, vds=vds, l=l, vbs=vbs, gm_id_min=0.0,
                            gm_id_max=math.inf)
    except (ValueError, RuntimeError) as exc:
        try:
            lo, hi, at = _reach(table, l, vds, vbs)
        except ValueError:
            raise exc from None
        if gm_id > hi:
            raise ValueError(f"gm_id = {gm_id:g} cannot be met: it is above the device's weak-inversion "
                             f"peak, gm/Id = {hi:.4g} at L = {at:.4g} m, Vds = {vds:g} V") from None
        if gm_id < lo:
            raise ValueError(f"gm_id = {gm_id:g} cannot be met: it is below the lowest gm/Id the device "
                             f"reaches with Vgs up to {table.vgs.max():g} V ({lo:.4g}, strong inversion)") from None
        raise ValueError(f"the table cannot size gm_id = {gm_id:g}"
                         + (f", gain = {gain:g}" if gain is not None else "") + f": {exc}") from None


def gain_exponent(table: MosTable, l: float, gm_id: float, vds: float, vbs: float) -> float:
    """d ln(gain) / d ln(L) at the target gm/Id, from the table's grid lengths either side of l."""
    a = table.lengths
    k = int(np.clip(np.searchsorted(a, l) - 1, 0, max(a.size - 2, 0)))
    if a.size < 2:
        return 1.0
    try:
        g0, g1 = (float(table.lookup("gm_gds", gm_id=gm_id, l=float(a[i]), vds=vds, vbs=vbs)) for i in (k, k + 1))
        alpha = math.log(g1 / g0) / math.log(a[k + 1] / a[k])
    except (ValueError, ZeroDivisionError):
        return 1.0
    return alpha if math.isfinite(alpha) and 0.2 < alpha < 3 else 1.0


