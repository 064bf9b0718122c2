"""Reading a MosTable between grid points: lookups, cross lookups and the body-bias axis.

Every value comes from the engine of ``_grid`` (the native design's interpolation and crossing).
"""

from __future__ import annotations

import math
from typing import Any, List, Optional, Tuple, Union

import numpy as np

from ._checks import ID_FLOOR, one_body_bias
from ._grid import as_float_array, crossing, index, interpolate, split_quantity
from ._offground import off_ground
from .tavlo import TransistorLut

__all__ = ["LookupMixin", "body_argument"]

# The body effect goes as sqrt(2 phi_F - Vbs): in that variable the threshold between two Vbs grid
# points is close to linear. 2 phi_F of bulk CMOS is about 0.8 V; the exact value matters little.
_TWO_PHI_F = 0.8
_GEOMETRIC = ("id", "gm", "gds", "gmbs", "gm_fd", "gds_fd")


def body_argument(vbs: Any, vsb: Any) -> Any:
    """The body bias as Vbs from a vbs or vsb (= -vbs) argument, arrays allowed; None when neither."""
    if vbs is not None and vsb is not None:
        raise ValueError(f"give vbs or vsb (= -vbs), not both; got vbs={vbs!r}, vsb={vsb!r}")
    if vsb is not None:
        return -as_float_array(vsb, "vsb") + 0.0
    return None if vbs is None else as_float_array(vbs, "vbs")


def _body_variable(vbs: np.ndarray) -> np.ndarray:
    return np.sqrt(np.maximum(_TWO_PHI_F - vbs, 1e-3))


def _blend(name: str, lo: np.ndarray, hi: np.ndarray, t: float) -> np.ndarray:
    """Between two Vbs tables at one overdrive: currents and conductances geometrically where both
    have one sign (exponential in weak inversion, they differ by a factor there), the rest linearly."""
    linear = (1.0 - t) * lo + t * hi
    if name not in _GEOMETRIC:
        return linear
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        same = (lo * hi > 0) & np.isfinite(lo) & np.isfinite(hi)
        geometric = np.sign(lo) * np.abs(lo) ** (1.0 - t) * np.abs(hi) ** t
    return np.where(same, geometric, linear)


def _shifted(table: Any, name: str, grid: List[np.ndarray], p: np.ndarray) -> np.ndarray:
    """A 3-D table on its grid at shifted Vgs positions p: a current or conductance between Vgs
    points of one sign in log (an exponential in weak inversion, where a straight line between
    points 50 mV apart overstates it by tens of per cent), anything else linearly."""
    linear = table._interpolate(name, grid[0], p, grid[2])
    if name not in _GEOMETRIC:
        return linear
    values = table._tables[name]
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        # A corner of the other sign or zero makes the log reading NaN there: linear then.
        up = np.exp(interpolate(np.log(np.where(values > 0, values, np.nan)), grid[0], p, grid[2]))
        down = -np.exp(interpolate(np.log(np.where(values < 0, -values, np.nan)), grid[0], p, grid[2]))
    return np.where(np.isfinite(up), up, np.where(np.isfinite(down), down, linear))


class LookupMixin:
    """``lookup`` and the interpolation behind it, for MosTable."""

    def lookup(self, quantity: str, *, l: Any = None, vgs: Any = None, vds: Any = None,
               vbs: Any = None, vsb: Any = None, **target: Any) -> Union[float, np.ndarray]:
        """Read the table between grid points, interpolating as ``design`` does.

        Three forms:

        - a quantity at (L, Vgs, Vds): ``lookup("gm", l=180e-9, vgs=0.6, vds=0.9)`` for any of
          ``quantities`` (``id``, ``gm``, ``gds``, and e.g. ``vth``, ``cgg``, ``ft``);
        - a ratio, each side interpolated on its own: ``gm_id``, ``gm_gds``, ``id_w`` (current
          density, A/m), ``gm_cgg`` (2π·fT), ``cgg_w`` or any ``num_den`` of two quantities or
          of one over ``w``;
        - a cross lookup at a target value of another quantity instead of a Vgs:
          ``lookup("id_w", gm_id=15, l=180e-9, vds=0.9)``; ``lookup("vgs", gm_id=15, ...)`` gives
          the Vgs itself. As in ``design``, the target is found on the curve over the Vgs grid,
          from the highest Vgs down, skipping points where abs(Id) is below 1 pA.

        ``l`` may be left out for a single-length table; ``vds`` defaults to the one ``design``
        uses (the middle of the Vds axis); ``vgs`` left out means the whole Vgs axis. ``vbs`` (or
        ``vsb`` = -vbs) is the body bias, default 0. Between the Vbs points of a table over Vbs the
        two neighbouring tables are read at the same overdrive Vgs - Vth (Vth from the stored
        ``vth``, carried in sqrt(0.8 V - Vbs) as the body effect goes), which follows the moving
        threshold; a table without ``vth`` is blended at one Vgs. A table at one Vbs answers only
        there. Array arguments broadcast against each other (NumPy rules) and give an array;
        scalars give a float.

        A source off ground (a table over Vbs): ``lookup("vgs", gm_id=12, l=1e-6, vdb=1.2, vgb=1.0)``
        gives the Vgs, and ``lookup("vsb", ...)`` the Vsb, at which the device with its drain and
        gate at vdb and vgb above the bulk meets the target (Vgs = vgb - Vsb, Vds = vdb - Vsb).

        Raises
        ------
        ValueError
            For a value outside an axis (the message names the axis and its range), a target the
            curve does not reach, or an unknown quantity.
        TypeError
            For a voltage or length that is not a number (text included).
        """
        if "vdb" in target or "vgb" in target:
            vdb, vgb = target.pop("vdb", None), target.pop("vgb", None)
            return off_ground(self, quantity, l, vdb, vgb, target, dict(vgs=vgs, vds=vds, vbs=vbs, vsb=vsb))
        stored = tuple(self._tables)
        num, den = split_quantity(quantity, stored, allow_vgs=bool(target))
        if len(target) > 1:
            raise ValueError(f"give one target for a cross lookup, got {', '.join(sorted(target))}")
        cross = None
        if target:
            ((key, value),) = target.items()
            try:
                key_parts = split_quantity(key, stored)
            except ValueError:
                raise TypeError(f"lookup() got an unexpected keyword argument {key!r}") from None
            if vgs is not None:
                raise ValueError(f"give either vgs or the target {key}=..., not both")
            cross = (key_parts, key, as_float_array(value, key))

        l_arr = self._length_argument(l)
        vds_arr = as_float_array(self._vds[self._vds.size // 2] if vds is None else vds, "vds")
        self._axes["vds"].check(vds_arr)
        lam = self._axes["l"].locate(l_arr)
        v = self._axes["vds"].locate(vds_arr)
        body = body_argument(vbs, vsb)
        b = None
        if self._subs is None:
            if body is not None:
                self._check_fixed_vbs(body)
        else:
            vbs_arr = np.float64(0.0) if body is None else body
            self._axes["vbs"].check(vbs_arr)
            b = self._axes["vbs"].locate(vbs_arr)

        if cross is None:
            vgs_arr = as_float_array(self._vgs if vgs is None else vgs, "vgs")
            self._axes["vgs"].check(vgs_arr)
            p = self._axes["vgs"].locate(vgs_arr)
            arrays = np.broadcast_arrays(lam, p, v) if b is None else np.broadcast_arrays(lam, p, v, b)
            out = self._at(num, den, *arrays)
        else:
            key_parts, key, values = cross
            if b is None:
                lam, v, values = np.broadcast_arrays(lam, v, values)
            else:
                lam, v, values, b = np.broadcast_arrays(lam, v, values, b)
            p = np.empty(values.shape)
            for idx in np.ndindex(values.shape):
                p[idx] = self._crossing(key_parts, key, float(values[idx]), float(lam[idx]), float(v[idx]),
                                        b=None if b is None else float(b[idx]))
            out = self._axes["vgs"].value_at(p) if num == "vgs" else self._at(num, den, lam, p, v, b)
        return float(out) if np.ndim(out) == 0 else out

    def _length_argument(self, l: Any) -> np.ndarray:
        if l is None:
            if self._lengths.size > 1:
                axis = self._axes["l"]
                raise ValueError(f"l is required: this table has {self._lengths.size} lengths "
                                 f"in [{axis.lo:g}, {axis.hi:g}] m")
            return self._lengths[:1].reshape(())
        l_arr = as_float_array(l, "l")
        self._axes["l"].check(l_arr)
        return l_arr

    def _interpolate(self, name: str, lam: Any, p: Any, v: Any, b: Any = None) -> np.ndarray:
        """One quantity at fractional positions; across a Vbs sweep, on the table at each Vbs
        position b (see ``_at_position``)."""
        if name == "ft":  # a ratio like gm_cgg, each side interpolated on its own
            with np.errstate(divide="ignore", invalid="ignore"):
                return self._interpolate("gm", lam, p, v, b) / (2 * math.pi * self._interpolate("cgg", lam, p, v, b))
        if self._subs is None:
            return interpolate(self._tables[name], lam, p, v)
        lam, p, v, b = np.broadcast_arrays(*(np.asarray(a, dtype=np.float64) for a in (lam, p, v, b)))
        out = np.empty(b.shape)
        for x in np.unique(b):
            sel = b == x
            out[sel] = self._at_position(float(x))._interpolate(name, lam[sel], p[sel], v[sel])
        return out

    def _at_position(self, b: float) -> Any:
        """The 3-D table at Vbs position b: a grid table's own, else one sampled on the grid from the
        two tables either side at the same overdrive Vgs - Vth, so that lookups and every sizing
        mode read the same table there."""
        subs = self._subs
        k = min(len(subs) - 2, int(index(np.float64(b)))) if len(subs) > 1 else 0
        if b == k or len(subs) == 1:
            return subs[k]
        if b == k + 1:
            return subs[k + 1]
        cache = self.__dict__.setdefault("_between", {})
        if b not in cache:
            if len(cache) >= 8:
                cache.pop(next(iter(cache)))
            cache[b] = self._sample_between(k, b)
        return cache[b]

    def _threshold_between(self, k: int, s: float) -> np.ndarray:
        """Vth on the grid at body variable s between tables k and k + 1: through three
        neighbouring tables where there are three (the body effect bends), else the two."""
        n = len(self._subs)
        first = min(max(k - (k + 2 >= n), 0), n - 3)
        pick = [k, k + 1] if n == 2 else list(range(first, first + 3))
        xs = _body_variable(self._axes["vbs"].values[pick])
        vth = 0.0
        for a, i in enumerate(pick):  # Lagrange form
            w = np.prod([(s - xs[c]) / (xs[a] - xs[c]) for c in range(len(pick)) if c != a])
            vth = vth + w * self._subs[i]._tables["vth"]
        return vth

    def _sample_between(self, k: int, b: float) -> Any:
        vbs, vgs_axis = self._axes["vbs"], self._axes["vgs"]
        lo, hi = self._subs[k], self._subs[k + 1]
        s, (s_lo, s_hi) = _body_variable(vbs.value_at(b)), _body_variable(vbs.values[k:k + 2])
        t = float((s - s_lo) / (s_hi - s_lo))
        grid = np.meshgrid(*(np.arange(n, dtype=np.float64) for n in self._lengths.shape + self._vgs.shape
                             + self._vds.shape), indexing="ij")
        p_lo = p_hi = grid[1]
        if "vth" in self._tables:
            vgs = vgs_axis.value_at(grid[1])
            vth = self._threshold_between(k, s)
            p_lo = vgs_axis.position(vgs + lo._tables["vth"] - vth)
            p_hi = vgs_axis.position(vgs + hi._tables["vth"] - vth)
        values = {name: _blend(name, _shifted(lo, name, grid, p_lo), _shifted(hi, name, grid, p_hi), t)
                  for name in self._tables if name != "ft"}
        x = float(vbs.value_at(b))
        lut = TransistorLut._from_arrays(self.width, x, self._lengths, self._vgs, self._vds,
                                         *(values.pop(name) for name in ("id", "gm", "gds")))
        return type(self)(lut, quantities=values)

    def _at(self, num: str, den: Optional[str], lam: np.ndarray, p: np.ndarray, v: np.ndarray,
            b: Optional[np.ndarray] = None) -> np.ndarray:
        top = self._interpolate(num, lam, p, v, b)
        if den is None:
            return top
        bottom = self.width if den == "w" else self._interpolate(den, lam, p, v, b)
        with np.errstate(divide="ignore", invalid="ignore"):
            return top / bottom

    def _crossing(self, key_parts: Tuple[str, Optional[str]], key: str, target: float, lam: float, v: float,
                  floor: float = ID_FLOOR, b: Optional[float] = None) -> float:
        """Vgs position where the key quantity meets the target, found as the sizing solver does."""
        n = self._vgs.size
        j = np.arange(n, dtype=np.float64)
        lam_j, v_j = np.full(n, lam), np.full(n, v)
        b_j = None if b is None else np.full(n, b)
        curve = np.asarray(self._at(*key_parts, lam_j, j, v_j, b_j), dtype=np.float64)
        id_curve = self._interpolate("id", lam_j, j, v_j, b_j)
        curve = np.where((np.abs(id_curve) < floor) | ~np.isfinite(curve), np.nan, curve)
        p = crossing(curve, target)
        if p is None:
            finite = curve[np.isfinite(curve)]
            reach = f"[{finite.min():.4g}, {finite.max():.4g}]" if finite.size else "nothing (Id below 1 pA)"
            at = f"l = {self._axes['l'].value_at(lam):g} m, vds = {self._axes['vds'].value_at(v):g} V"
            if b is not None:
                at += f", vbs = {self._axes['vbs'].value_at(b):g} V"
            raise ValueError(f"{key} = {target:g} is not reached at {at}: the curve over Vgs spans {reach}")
        return p

    def _grid_vbs(self, x: Optional[float]) -> Any:
        """The table at Vbs x (default 0) when it is on the grid, else None."""
        if self._subs is None:
            if x is not None:
                self._check_fixed_vbs(np.float64(x))
            return self
        x = 0.0 if x is None else x
        axis = self._axes["vbs"]
        hit = np.flatnonzero(np.abs(axis.values - x) <= axis.slack + 1e-12)
        return self._subs[int(hit[0])] if hit.size else None

    def _at_body(self, vbs: Any, vsb: Any) -> Any:
        """The 3-D table at one body bias: a grid Vbs's own, else the one read between the two
        either side, as lookups read it."""
        x = one_body_bias(vbs, vsb)
        table = self._grid_vbs(x)
        if table is not None:
            return table
        axis = self._axes["vbs"]
        axis.check(np.float64(x))
        return self._at_position(float(axis.locate(np.float64(x))))

    def _check_fixed_vbs(self, x: np.ndarray) -> None:
        """A table at one known Vbs answers only there."""
        mine = self._lut.vbs
        if math.isfinite(mine) and np.any(np.abs(x - mine) > 1e-9 * max(1.0, abs(mine))):
            first = float(np.ravel(x)[np.argmax(np.ravel(np.abs(x - mine)))])
            raise ValueError(f"vbs = {first:g} V: this table was characterised at vbs = {mine:g} V only")
