"""Reading a MosTable between grid points: lookups, cross lookups and the body-bias axis.

Every value comes from the engine of ``_grid`` (the native design's interpolation and crossing).
"""

from __future__ import annotations

import math
from typing import Any, Optional, Tuple, Union

import numpy as np

from ._checks import ID_FLOOR, one_body_bias
from ._grid import as_float_array, crossing, index, interpolate, split_quantity
from .tavlo import TransistorLut

__all__ = ["LookupMixin", "body_argument"]

# The body effect goes as sqrt(2 phi_F - Vbs): in that variable the threshold between two Vbs grid
# points is close to linear. 2 phi_F of bulk CMOS is about 0.8 V; the exact value matters little.
_TWO_PHI_F = 0.8


def body_argument(vbs: Any, vsb: Any) -> Any:
    """The body bias as Vbs from a vbs or vsb (= -vbs) argument, arrays allowed; None when neither."""
    if vbs is not None and vsb is not None:
        raise ValueError(f"give vbs or vsb (= -vbs), not both; got vbs={vbs!r}, vsb={vsb!r}")
    if vsb is not None:
        return -as_float_array(vsb, "vsb") + 0.0
    return None if vbs is None else as_float_array(vbs, "vbs")


def _body_variable(vbs: np.ndarray) -> np.ndarray:
    return np.sqrt(np.maximum(_TWO_PHI_F - vbs, 1e-3))


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

        Raises
        ------
        ValueError
            For a value outside an axis (the message names the axis and its range), a target the
            curve does not reach, or an unknown quantity.
        TypeError
            For a voltage or length that is not a number (text included).
        """
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
        """One quantity at fractional positions; across a Vbs sweep, between the tables either side
        of position b at the same overdrive."""
        if name == "ft":  # a ratio like gm_cgg, each side interpolated on its own
            with np.errstate(divide="ignore", invalid="ignore"):
                return self._interpolate("gm", lam, p, v, b) / (2 * math.pi * self._interpolate("cgg", lam, p, v, b))
        if self._subs is None:
            return interpolate(self._tables[name], lam, p, v)
        subs = self._subs
        if len(subs) == 1:
            return subs[0]._interpolate(name, lam, p, v)
        lam, p, v, b = np.broadcast_arrays(*(np.asarray(a, dtype=np.float64) for a in (lam, p, v, b)))
        vbs = self._axes["vbs"]
        k = np.minimum(len(subs) - 2, index(b))
        out = np.zeros(b.shape)
        for i in np.unique(k):  # one pair of neighbouring tables at a time
            sel = k == i
            lo, hi = subs[i], subs[i + 1]
            s = _body_variable(vbs.value_at(b[sel]))
            s_lo, s_hi = _body_variable(vbs.values[i:i + 2])
            t = (s - s_lo) / (s_hi - s_lo)
            at = (lam[sel], p[sel], v[sel])
            p_lo, p_hi = at[1], at[1]
            if "vth" in self._tables:
                vth_lo, vth_hi = lo._interpolate("vth", *at), hi._interpolate("vth", *at)
                vgs = self._axes["vgs"].value_at(at[1])
                p_lo = self._axes["vgs"].position(vgs + t * (vth_lo - vth_hi))
                p_hi = self._axes["vgs"].position(vgs + (1.0 - t) * (vth_hi - vth_lo))
            out[sel] = ((1.0 - t) * lo._interpolate(name, at[0], p_lo, at[2])
                        + t * hi._interpolate(name, at[0], p_hi, at[2]))
        return out

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
        """The 3-D table at one body bias: a grid Vbs's own, else the table read between the two
        either side, as lookups read it."""
        x = one_body_bias(vbs, vsb)
        table = self._grid_vbs(x)
        if table is not None:
            return table
        axis = self._axes["vbs"]
        axis.check(np.float64(x))
        grid = np.meshgrid(*(np.arange(n, dtype=np.float64) for n in self._lengths.shape + self._vgs.shape
                             + self._vds.shape), indexing="ij")
        b = np.full(grid[0].shape, float(axis.locate(np.float64(x))))
        values = {name: self._interpolate(name, *grid, b) for name in self._tables if name != "ft"}
        lut = TransistorLut._from_arrays(self.width, x, self._lengths, self._vgs, self._vds,
                                         *(values.pop(name) for name in ("id", "gm", "gds")))
        return type(self)(lut, quantities=values)

    def _check_fixed_vbs(self, x: np.ndarray) -> None:
        """A table at one known Vbs answers only there."""
        mine = self._lut.vbs
        if math.isfinite(mine) and np.any(np.abs(x - mine) > 1e-9 * max(1.0, abs(mine))):
            first = float(np.ravel(x)[np.argmax(np.ravel(np.abs(x - mine)))])
            raise ValueError(f"vbs = {first:g} V: this table was characterised at vbs = {mine:g} V only")
