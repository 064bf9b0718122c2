"""Sizing on a MosTable: the native design, a chosen length, and a gain target across lengths.

Works on any 3-D table that reads like MosTable (``_axes``, ``_crossing``, ``_interpolate``,
``width``, ``vds``, ``_lut``); every point comes from the engine's interpolation and crossing.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple, Union

import numpy as np

from ._checks import ID_FLOOR, bound, number
from ._format import fixed as _fixed, sci as _sci
from ._grid import as_float_array
from .tavlo import DesignResult


@dataclass(frozen=True)
class TableSizing:
    """A sizing read from the table, with the fields of the native ``DesignResult``."""

    w: float
    l: float
    id: float
    vgs: float
    vds: float
    gm: float
    gds: float
    gm_over_id: float
    gain: float
    constraint_errors: List[Tuple[str, float]] = field(default_factory=list)

    def __repr__(self) -> str:
        return (f"DesignResult(W={_sci(self.w)}, L={_sci(self.l)}, Vgs={_fixed(self.vgs, 3)}, "
                f"Vds={_fixed(self.vds, 3)}, Id={_sci(self.id)}, gm/Id={_fixed(self.gm_over_id, 2)}, "
                f"gain={_fixed(self.gain, 1)})")


def _require(ok: bool, message: str) -> None:
    if not ok:
        raise ValueError(message)


class _Curves:
    """The operating point at one gm/Id (or gain) on every grid length, ascending in L."""

    def __init__(self, table: Any, key: str, target: float, v: float, floor: float,
                 window: Tuple[float, float]) -> None:
        axis = table._axes["l"]
        self.lengths = axis.values
        n = self.lengths.size
        self.vgs, self.id_w, self.gm_id, self.gain = (np.full(n, np.nan) for _ in range(4))
        self.why: List[str] = []
        parts = ("gm", "id") if key == "gm_id" else ("gm", "gds")
        for i in range(n):
            try:
                p = table._crossing(parts, key, target, float(i), v, floor)
            except ValueError as exc:
                self.why.append(str(exc))
                continue
            lam, pp, vv = np.float64(i), np.float64(p), np.float64(v)
            id_ = float(table._interpolate("id", lam, pp, vv))
            gm = float(table._interpolate("gm", lam, pp, vv))
            gds = float(table._interpolate("gds", lam, pp, vv))
            gm_id = gm / id_ if abs(id_) > 1e-30 else 0.0
            if not window[0] <= gm_id <= window[1]:
                self.why.append(f"gm/Id = {gm_id:.4g} at l = {self.lengths[i]:g} m is outside "
                                f"[gm_id_min, gm_id_max] = [{window[0]:g}, {window[1]:g}]")
                continue
            self.vgs[i] = float(table._axes["vgs"].value_at(pp))
            self.id_w[i] = id_ / table.width
            self.gm_id[i] = gm_id
            self.gain[i] = gm / gds if abs(gds) > 1e-18 else math.inf

    def valid(self) -> np.ndarray:
        return np.isfinite(self.vgs)

    def at(self, l: float) -> Optional[Tuple[float, float, float, float]]:
        """(vgs, id_w, gm_id, gain) at length l, or None where a neighbouring grid length has no point."""
        a = self.lengths
        hit = np.flatnonzero(np.abs(a - l) <= 1e-12 * a)
        if hit.size:
            return self._row(int(hit[0]))
        k = int(np.searchsorted(a, l) - 1)
        if not (self.valid()[k] and self.valid()[k + 1]):
            return None
        ok = self.valid()
        x = np.log(a[ok])
        out = [float(_pchip(x, self.vgs[ok], math.log(l)))]
        for y in (self.id_w, self.gm_id, self.gain):
            y = y[ok]
            if np.all(y > 0) and np.all(np.isfinite(y)):
                out.append(math.exp(_pchip(x, np.log(y), math.log(l))))
            else:
                out.append(float(_pchip(x, y, math.log(l))))
        return out[0], out[1], out[2], out[3]

    def _row(self, i: int) -> Optional[Tuple[float, float, float, float]]:
        if not np.isfinite(self.vgs[i]):
            return None
        return float(self.vgs[i]), float(self.id_w[i]), float(self.gm_id[i]), float(self.gain[i])


def _pchip(x: np.ndarray, y: np.ndarray, q: float) -> float:
    """Monotone piecewise-cubic interpolation (Fritsch-Carlson): follows the curvature of a
    quantity across lengths without overshooting between two grid lengths."""
    n = x.size
    if n == 1:
        return float(y[0])
    h, d = np.diff(x), np.diff(y) / np.diff(x)
    m = np.empty(n)
    m[0], m[-1] = d[0], d[-1]
    for k in range(1, n - 1):
        if d[k - 1] * d[k] <= 0:
            m[k] = 0.0
        else:
            w1, w2 = 2 * h[k] + h[k - 1], h[k] + 2 * h[k - 1]
            m[k] = (w1 + w2) / (w1 / d[k - 1] + w2 / d[k])
    if n > 2:  # one-sided ends, kept from overshooting
        for end, (h0, h1, d0, d1) in ((0, (h[0], h[1], d[0], d[1])), (n - 1, (h[-1], h[-2], d[-1], d[-2]))):
            e = ((2 * h0 + h1) * d0 - h0 * d1) / (h0 + h1)
            if e * d0 <= 0:
                e = 0.0
            elif d0 * d1 <= 0 and abs(e) > 3 * abs(d0):
                e = 3 * d0
            m[end] = e
    k = int(np.clip(np.searchsorted(x, q) - 1, 0, n - 2))
    t = (q - x[k]) / h[k]
    h00, h10, h01, h11 = (2 * t**3 - 3 * t**2 + 1, t**3 - 2 * t**2 + t, -2 * t**3 + 3 * t**2, t**3 - t**2)
    return float(h00 * y[k] + h10 * h[k] * m[k] + h01 * y[k + 1] + h11 * h[k] * m[k + 1])


def _gain_length(curves: _Curves, target: float) -> Optional[float]:
    """Shortest length where the gain-versus-length curve meets the target; None where it does not."""
    a, g = curves.lengths, curves.gain
    ok = np.flatnonzero(curves.valid())
    for i, j in zip(ok, list(ok[1:]) + [None], strict=True):
        if g[i] == target:
            return float(a[i])
        if j == i + 1 and (g[i] - target) * (g[j] - target) < 0:
            lo, hi = math.log(a[i]), math.log(a[j])
            below = g[i] < target
            for _ in range(60):  # the interpolant is monotonic between two grid lengths
                mid = 0.5 * (lo + hi)
                if (curves.at(math.exp(mid))[3] < target) == below:
                    lo = mid
                else:
                    hi = mid
            return math.exp(0.5 * (lo + hi))
    return None


def _real(value: Any, name: str) -> Optional[float]:
    """None, or the value as a float with NaN and infinities kept for the checks that name them;
    text and other objects are refused as :func:`number` refuses them."""
    if value is None:
        return None
    try:
        return number(value, name)
    except ValueError:
        if isinstance(value, (str, bytes)) or not isinstance(value, (numbers.Real, np.generic)):
            raise
        return float(value)


def targets(table: Any, gm_id: Any, gain: Any, ids: Any, vds: Any, gm_id_min: Any, gm_id_max: Any, id_min: Any,
            magnitudes: bool = False) -> Dict[str, Optional[float]]:
    """The design() arguments checked (ValueError naming the argument, in the native texts where
    the native design checks the same); magnitudes for a PMOS table read as |Vgs|, |Vds|, |Id|."""
    gm_id, gain, ids, vds, id_min = (_real(x, n) for x, n in ((gm_id, "gm_id"), (gain, "gain"), (ids, "ids"),
                                                               (vds, "vds"), (id_min, "id_min")))
    if magnitudes:
        ids, vds, id_min = (None if x is None else abs(x) for x in (ids, vds, id_min))
    for name, x in (("gm_id", gm_id), ("gain", gain), ("id_min", id_min)):
        if x is not None and not math.isfinite(x):
            raise ValueError(f"{name} must be a finite number, got {x!r}")
    if gm_id is not None and gm_id <= 0:
        raise ValueError(f"gm_id must be a positive number (1/V), got {gm_id!r}")
    if ids is not None and not (math.isfinite(ids) and ids > 0):
        raise ValueError(f"ids must be a finite positive current in A, got {ids!r}")
    lo, hi = bound(gm_id_min, "gm_id_min"), bound(gm_id_max, "gm_id_max")
    axis = table._axes["vds"]
    if vds is not None and not axis.lo <= vds <= axis.hi:
        raise ValueError(f"vds must lie on the table's Vds axis [{axis.lo!r}, {axis.hi!r}] V, got {vds!r}")
    if gm_id is None and gain is None:
        if ids is None:
            raise ValueError("at least one constraint (gm_id, gain, ids) must be specified")
        raise ValueError("give gm_id or gain with ids: a gm/Id or gain target chooses the operating point, "
                         "ids only scales W")
    return dict(gm_id=gm_id, gain=gain, ids=ids, vds=vds, gm_id_min=lo, gm_id_max=hi, id_min=id_min)


def _gain_error(result: Any) -> float:
    return abs(dict(result.constraint_errors)["gain"])


def size(table: Any, *, l: Any = None, magnitudes: bool = False,
         **arguments: Any) -> Union[DesignResult, TableSizing]:
    """design() on a 3-D table (see ``MosTable.design``)."""
    t = targets(table, magnitudes=magnitudes, **arguments)
    gm_id, gain, ids, vds = t["gm_id"], t["gain"], t["ids"], t["vds"]
    if l is None and (gain is None or gm_id is None):
        return table._lut.design(**t)
    lo, hi, floor = t["gm_id_min"], t["gm_id_max"], t["id_min"]
    vds_bias = float(table.vds[table.vds.size // 2]) if vds is None else vds
    v = float(table._axes["vds"].locate(np.float64(vds_bias)))
    key, target = ("gm_id", gm_id) if gm_id is not None else ("gm_gds", gain)
    curves = _Curves(table, key, target, v, ID_FLOOR if floor is None else floor, (lo, hi))
    if not curves.valid().any():
        raise ValueError(f"{key} = {target:g} is not reached at any length: " + "; ".join(curves.why[:3]))

    native = None
    if l is None:
        # The native answer is the fallback (and the bound on the gain error): it takes the length
        # whose gain comes closest where the curve does not reach the target.
        native = table._lut.design(**t)
        length = _gain_length(curves, gain)
        if length is None:
            return native
        candidates = [length]
    else:
        ls = np.atleast_1d(as_float_array(l, "l"))
        _require(ls.ndim == 1 and ls.size > 0, f"l must be a length or a sequence of lengths in m, got {l!r}")
        table._axes["l"].check(ls)
        candidates = sorted(float(x) for x in ls)

    best = None
    for length in candidates:
        point = curves.at(length)
        if point is None:
            continue
        score = 0.0 if gain is None or gm_id is None else abs(point[3] / gain - 1)
        if best is None or score < best[0]:  # ties keep the shorter length
            best = (score, length, point)
    if best is None and native is not None:
        return native
    if best is None:
        where = ", ".join(f"{x:g}" for x in candidates)
        raise ValueError(f"{key} = {target:g} is not reached at l = {where} m: " + "; ".join(curves.why[:3]))
    _, length, (vgs, id_w, g_id, g) = best

    w = ids / id_w if ids is not None and abs(id_w) > 0 else table.width
    id_ = id_w * w
    gm = g_id * id_
    gds = gm / g if g != 0 else math.nan
    errors: List[Tuple[str, float]] = []
    if gm_id is not None:
        errors.append(("gm/Id", (g_id - gm_id) / gm_id if abs(gm_id) > 1e-30 else g_id - gm_id))
    if gain is not None:
        errors.append(("gain", (g - gain) / gain if abs(gain) > 1e-30 else g - gain))
    if ids is not None:
        errors.append(("Ids", id_ / ids - 1))
    ours = TableSizing(w=w, l=length, id=id_, vgs=vgs, vds=vds_bias, gm=gm, gds=gds, gm_over_id=g_id,
                       gain=g, constraint_errors=errors)
    if native is not None and not _gain_error(ours) <= _gain_error(native):
        return native
    return ours
