"""The designer's view of a characterised transistor: NumPy arrays, lookups, sizing, files, charts."""

from __future__ import annotations

import json
import math
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _files, _matfile
from ._charts import ChartsMixin
from ._sizing import TableSizing, size as _size
from .tavlo import DesignResult, LutConfig, TransistorLut

__all__ = ["MosTable", "load_table"]

PathLike = Union[str, "os.PathLike[str]"]

# The sizing solver's default current floor: points below it have no meaningful gm/Id.
_ID_FLOOR = 1e-12

_BASE = ("id", "gm", "gds")
_AXIS_TEXT = {"l": ("length", "m"), "vgs": ("Vgs", "V"), "vds": ("Vds", "V"), "vbs": ("Vbs", "V")}


def _sci(x: float) -> str:
    """3-decimal scientific form without '+' or exponent padding, as the native reprs print."""
    if not math.isfinite(x):
        return "NaN" if math.isnan(x) else ("inf" if x > 0 else "-inf")
    mantissa, exponent = f"{x:.3e}".split("e")
    return f"{mantissa}e{int(exponent)}"


def _split_quantity(name: Any, stored: Tuple[str, ...], allow_vgs: bool = False) -> Tuple[str, Optional[str]]:
    """('gm', 'id') for 'gm_id', ('gm', None) for 'gm'; ValueError listing what is allowed.

    A stored name wins over a ratio, so names holding '_' (gm_fd) stay readable."""
    if isinstance(name, str):
        if name in stored or (allow_vgs and name == "vgs"):
            return name, None
        for at in (i for i, c in enumerate(name) if c == "_"):
            num, den = name[:at], name[at + 1:]
            if num in stored and (den in stored or den == "w") and num != den:
                return num, den
    allowed = (f"one of {', '.join(stored)}, or a ratio num_den of two of them or over w "
               "(gm_id, gm_gds, id_w, ...)")
    if allow_vgs:
        allowed += ", or vgs"
    raise ValueError(f"quantity must be {allowed}; got {name!r}")


def _as_float_array(value: Any, name: str) -> np.ndarray:
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name} must be a number or an array of numbers, got {type(value).__name__}") from exc
    return array


class _Axis:
    """One axis in ascending order, with the native clamped search for fractional positions."""

    def __init__(self, key: str, values: np.ndarray) -> None:
        what, _ = _AXIS_TEXT[key]
        if values.size == 0:
            raise ValueError(f"the {what} axis is empty")
        self.key = key
        self.flipped = values.size > 1 and values[0] > values[-1]
        self.values = values[::-1].copy() if self.flipped else values
        if not np.all(np.isfinite(values)) or np.any(np.diff(self.values) <= 0):
            raise ValueError(f"the {what} axis must be finite and strictly monotonic, got {values!r}")
        self.lo, self.hi = lo, hi = float(self.values[0]), float(self.values[-1])
        # Slack for values typed by hand against axes computed as start + step * i.
        self.slack = 1e-9 * max(abs(lo), abs(hi), hi - lo)

    def check(self, x: np.ndarray) -> None:
        bad = ~((x >= self.lo - self.slack) & (x <= self.hi + self.slack))
        if np.any(bad):
            what, unit = _AXIS_TEXT[self.key]
            first = float(x[bad].flat[0])
            span = f"{self.lo:g} {unit}" if self.values.size == 1 else f"[{self.lo:g}, {self.hi:g}] {unit}"
            raise ValueError(f"{self.key} = {first:g} is outside the table's {what} axis {span}")

    def locate(self, x: np.ndarray) -> np.ndarray:
        """Fractional index of x, clamped to the axis (the same steps as the native search)."""
        a, n = self.values, self.values.size
        if n == 1:
            return np.zeros_like(x)
        count_below = np.searchsorted(a, x, side="left")
        i = np.clip(count_below - 1, 0, n - 2)
        t = np.clip((x - a[i]) / (a[i + 1] - a[i]), 0.0, 1.0)
        pos = i + t
        pos = np.where(x <= a[0], 0.0, pos)
        return np.where(x >= a[-1], float(n - 2) + 1.0, pos)

    def value_at(self, p: np.ndarray) -> np.ndarray:
        return _lerp(self.values, p)


def _lerp(a: np.ndarray, q: np.ndarray) -> np.ndarray:
    """Linear interpolation of the 1-D array a at positions q; extrapolates beyond the ends."""
    n = a.size
    if n == 1:
        return np.full(np.shape(q), a[0])
    k = np.minimum(n - 2, _index(q))
    w = q - k
    return w * a[k + 1] + (1.0 - w) * a[k]


def _index(q: np.ndarray) -> np.ndarray:
    """Floor, saturating at 0 (negative and NaN positions give entry 0)."""
    f = np.floor(q)
    return np.where(f > 0.0, f, 0.0).astype(np.intp)


class MosTable(ChartsMixin):
    """A characterised MOS transistor: NumPy arrays, gm/Id lookups, sizing, files and charts.

    ``id``, ``gm`` and ``gds`` are read-only float64 arrays of shape ``(n_l, n_vgs, n_vds)``, a
    single length included, indexed like the axes ``lengths``, ``vgs`` and ``vds``. Currents and
    conductances are those of the characterised width ``width``.

    Parameters
    ----------
    lut : TransistorLut
        The native table, as ``_SimulationPool.generate_lut`` returns it.
    config : LutConfig, optional
        The settings it was characterised with; saved with the table.
    quantities : dict of str to array, optional
        Further arrays of the same shape (the model's own vth, cgg, ... and the finite-difference
        gm_fd, gds_fd); ``ft`` is derived as gm / (2π·cgg) when ``cgg`` is among them.

    Examples
    --------
    >>> with tavlo.SimulationPool() as pool:                                   # doctest: +SKIP
    ...     nmos = pool.generate_lut(tavlo.LutConfig(lengths=(180e-9, 1e-6, 205e-9)))
    >>> nmos.lookup("gm_id", l=180e-9, vgs=0.6, vds=0.9)                       # doctest: +SKIP
    >>> nmos.lookup("id_w", gm_id=15, l=180e-9, vds=0.9)                       # doctest: +SKIP
    >>> nmos.design(gm_id=15, ids=100e-6)                                      # doctest: +SKIP
    >>> nmos.save("nmos.npz"); tavlo.load_table("nmos.npz")                    # doctest: +SKIP
    """

    def __init__(self, lut: TransistorLut, config: Optional[LutConfig] = None, *,
                 quantities: Optional[Dict[str, Any]] = None) -> None:
        if not isinstance(lut, TransistorLut):
            raise TypeError(f"lut must be a TransistorLut, got {type(lut).__name__}")
        if config is not None and not isinstance(config, LutConfig):
            raise TypeError(f"config must be a LutConfig or None, got {type(config).__name__}")
        self._lut = lut
        self._config = config
        self._subs: Optional[List["MosTable"]] = None  # per-Vbs tables, ascending Vbs, when Vbs is swept
        self._vbs_axis: Optional[np.ndarray] = None
        self._lengths = lut._length_axis
        self._vgs, self._vds = lut.vgs, lut.vds
        shape = (self._lengths.size, self._vgs.size, self._vds.size)
        self._tables = {name: getattr(lut, name).reshape(shape) for name in _BASE}
        for name, values in (quantities or {}).items():
            if not isinstance(name, str) or not name.isidentifier() or name in _BASE or name in ("vgs", "w", "ft"):
                raise ValueError(f"quantity names must be identifiers other than id, gm, gds, vgs, w and ft; "
                                 f"got {name!r}")
            array = np.array(values, dtype=np.float64)
            if array.shape != shape:
                raise ValueError(f"quantity {name!r} has shape {array.shape}, expected {shape}")
            self._tables[name] = array
        if "cgg" in self._tables:
            with np.errstate(divide="ignore", invalid="ignore"):
                self._tables["ft"] = self._tables["gm"] / (2 * math.pi * self._tables["cgg"])
        for array in (self._lengths, self._vgs, self._vds, *self._tables.values()):
            array.flags.writeable = False
        self._axes = {key: _Axis(key, a) for key, a in (("l", self._lengths), ("vgs", self._vgs), ("vds", self._vds))}
        self._ascending = self._in_ascending_order()

    def _in_ascending_order(self) -> Dict[str, np.ndarray]:
        """The tables in ascending axis order, as the interpolation reads them (copies only of
        tables swept downwards)."""
        flips = tuple(slice(None, None, -1) if self._axes[k].flipped else slice(None) for k in ("l", "vgs", "vds"))
        return {name: np.ascontiguousarray(t[flips]) for name, t in self._tables.items()}

    @classmethod
    def _stack(cls, subs: Sequence["MosTable"], vbs_axis: Any) -> "MosTable":
        """One table over L × Vbs × Vgs × Vds from one 3-D table per Vbs, given in the order of vbs_axis."""
        axis = np.array(vbs_axis, dtype=np.float64).reshape(-1)
        if axis.size == 0 or axis.size != len(subs):
            raise ValueError(f"vbs_axis has {axis.size} values for {len(subs)} tables")
        first = subs[0]
        for sub in subs:
            if not isinstance(sub, MosTable) or sub._subs is not None:
                raise ValueError("a table over Vbs is built from tables at one Vbs each")
            if not (sub.width == first.width and tuple(sub._tables) == tuple(first._tables)
                    and all(np.array_equal(getattr(sub, a), getattr(first, a)) for a in ("_lengths", "_vgs", "_vds"))):
                raise ValueError("the tables at each Vbs must share width, axes and quantities")
        self = cls.__new__(cls)
        self._lut = first._lut
        self._config = None
        self._lengths, self._vgs, self._vds = first._lengths, first._vgs, first._vds
        # One block per quantity, Vbs first, so that each per-Vbs table is a contiguous view of it and
        # the data is held once; the 4-D arrays users read are views of the same blocks.
        blocks = {name: np.stack([sub._tables[name] for sub in subs]) for name in first._tables}
        for array in (axis, *blocks.values()):
            array.flags.writeable = False
        self._tables = {name: np.moveaxis(block, 0, 1) for name, block in blocks.items()}
        for k, sub in enumerate(subs):
            sub._tables = {name: block[k] for name, block in blocks.items()}
            sub._ascending = sub._in_ascending_order()
        self._vbs_axis = axis
        self._axes = dict(first._axes, vbs=_Axis("vbs", axis))
        self._subs = [subs[i] for i in np.argsort(axis)]  # ascending, as the interpolation reads them
        self._ascending = {}
        return self

    # -- the arrays ---------------------------------------------------------------------------

    @property
    def lut(self) -> TransistorLut:
        """The native table (what ``design`` and ``to_csv`` run on); for a table over Vbs, the one
        at Vbs = 0 (``at_vbs(v).lut`` for another)."""
        return self._lut if self._subs is None else self.at_vbs(0.0)._lut

    @property
    def config(self) -> Optional[LutConfig]:
        """The characterisation settings, or None when unknown (a table loaded from CSV)."""
        return self._config

    @property
    def width(self) -> float:
        """Gate width W of the characterised device (m)."""
        return self._lut.width

    @property
    def vbs(self) -> float:
        """Bulk-source voltage of the characterisation (V); NaN when unknown or swept (see ``vbs_axis``)."""
        return math.nan if self._subs is not None else self._lut.vbs

    @property
    def vbs_axis(self) -> Optional[np.ndarray]:
        """Vbs axis (V), shape ``(n_vbs,)``, of a table characterised over a Vbs sweep; None for
        one at a single Vbs. A PMOS table reads it in magnitudes like its Vgs and Vds."""
        return self._vbs_axis

    @property
    def vsb(self) -> Optional[np.ndarray]:
        """The Vbs axis as the designer's source-bulk voltage, -vbs_axis (positive is reverse bias)."""
        return None if self._vbs_axis is None else -self._vbs_axis + 0.0

    def at_vbs(self, vbs: Any = None, *, vsb: Any = None) -> "MosTable":
        """The 3-D table at one Vbs on the grid (default 0); a table at one Vbs gives itself
        (refusing another Vbs).

        Raises
        ------
        ValueError
            For a Vbs that is not on the table's Vbs axis (the message lists the values).
        """
        x = _body_argument(vbs, vsb)
        if x is None:
            if self._subs is None:
                return self
            x = 0.0
        try:
            x = float(x)
        except (TypeError, ValueError):
            raise ValueError(f"vbs must be one number here, got {x!r}") from None
        if self._subs is None:
            self._check_fixed_vbs(np.float64(x))
            return self
        axis = self._axes["vbs"]
        hit = np.flatnonzero(np.abs(axis.values - x) <= axis.slack + 1e-12)
        if hit.size == 0:
            values = ", ".join(f"{v:g}" for v in self._vbs_axis)
            raise ValueError(f"vbs = {x:g} V is not on this table's Vbs axis; it has tables at vbs = {values} V")
        return self._subs[int(hit[0])]

    def _check_fixed_vbs(self, x: np.ndarray) -> None:
        """A table at one known Vbs answers only there."""
        mine = self._lut.vbs
        if math.isfinite(mine) and np.any(np.abs(x - mine) > 1e-9 * max(1.0, abs(mine))):
            first = float(np.ravel(x)[np.argmax(np.ravel(np.abs(x - mine)))])
            raise ValueError(f"vbs = {first:g} V: this table was characterised at vbs = {mine:g} V only")


    @property
    def lengths(self) -> np.ndarray:
        """Gate-length axis (m), shape ``(n_l,)``; one entry for a single length."""
        return self._lengths

    @property
    def vgs(self) -> np.ndarray:
        """Vgs axis (V), shape ``(n_vgs,)``."""
        return self._vgs

    @property
    def vds(self) -> np.ndarray:
        """Vds axis (V), shape ``(n_vds,)``."""
        return self._vds

    @property
    def id(self) -> np.ndarray:
        """Drain current (A), shape ``(n_l, n_vgs, n_vds)``, or ``(n_l, n_vbs, n_vgs, n_vds)`` over a Vbs sweep."""
        return self._tables["id"]

    @property
    def gm(self) -> np.ndarray:
        """Transconductance dId/dVgs (S), shape ``(n_l, n_vgs, n_vds)``, or ``(n_l, n_vbs, n_vgs, n_vds)`` over a Vbs sweep."""
        return self._tables["gm"]

    @property
    def gds(self) -> np.ndarray:
        """Output conductance dId/dVds (S), shape ``(n_l, n_vgs, n_vds)``, or ``(n_l, n_vbs, n_vgs, n_vds)`` over a Vbs sweep."""
        return self._tables["gds"]

    @property
    def quantities(self) -> Tuple[str, ...]:
        """Names of every stored quantity: id, gm, gds, then what the model gave (vth, cgg, ...,
        ft when cgg is there) and the finite-difference gm_fd and gds_fd when characterised."""
        return tuple(self._tables)

    def quantity(self, name: str) -> np.ndarray:
        """The array of one stored quantity (see ``quantities``), shaped like ``id``."""
        if name not in self._tables:
            raise ValueError(f"this table has no quantity {name!r}; it has {', '.join(self._tables)}")
        return self._tables[name]

    def __repr__(self) -> str:
        parts = []
        if self._config is not None:
            parts.append(f"device_type='{self._config.device_type}', model_name='{self._config.model_name}'")
        parts.append(f"W={_sci(self.width)}")
        ls = self._lengths
        parts.append(f"L={_sci(ls[0])}" if ls.size == 1 else f"L={_sci(ls[0])}..{_sci(ls[-1])} ({ls.size} pts)")
        for name, axis in (("Vgs", self._vgs), ("Vds", self._vds)):
            parts.append(f"{name}={axis[0]:.3f}..{axis[-1]:.3f} ({axis.size} pts)")
        if self._vbs_axis is not None:
            b = self._vbs_axis
            parts.append(f"Vbs={b[0]:.3f}" if b.size == 1 else f"Vbs={b[0]:.3f}..{b[-1]:.3f} ({b.size} pts)")
        return f"MosTable({', '.join(parts)})"

    # -- sizing -------------------------------------------------------------------------------

    def design(self, *, gm_id: Optional[float] = None, gain: Optional[float] = None, ids: Optional[float] = None,
               vds: Optional[float] = None, gm_id_min: float = 5.0, gm_id_max: float = 25.0,
               id_min: Optional[float] = None, l: Any = None, vbs: Optional[float] = None,
               vsb: Optional[float] = None) -> Union[DesignResult, "TableSizing"]:
        """Size a transistor with the gm/Id method.

        Without ``l`` and without a gm/Id plus gain pair this is ``TransistorLut.design``: with
        gm/Id and Id targets it takes the shortest length that reaches the gm/Id.

        ``l`` fixes the length: one length (between grid lengths too) or a sequence of candidate
        lengths. At each, the operating point at the target gm/Id is read on every grid length
        (as ``lookup("vgs", gm_id=...)`` finds it) and carried between neighbouring grid
        lengths at constant gm/Id: Vgs linearly and the current density, gm/Id and gain
        geometrically in L, which follows the device far better than mixing two devices at one
        Vgs. Among candidates the one closest to the gain target wins (the shortest on ties or
        without a gain target). With ``gain`` but no ``gm_id``, Vgs is where the gain meets its
        target at that length.

        With ``gm_id`` and ``gain`` but no ``l``, the length is where the gain at the target
        gm/Id equals the target on the gain-versus-length curve over the whole length grid,
        interpolated as above. Where the curve is not monotonic the shortest length meeting the
        target is taken.

        On a table over a body-bias sweep, ``vbs`` (or ``vsb`` = -vbs) picks the body bias (default
        0); between grid values the native sizing reads the table interpolated linearly in Vbs,
        while ``l`` and gain-across-lengths sizing take grid values only.

        A PMOS table swept towards negative voltages (a ``LutConfig`` with ``device_type="pmos"``)
        is sized in magnitudes, like the PMOS tables of ``characterise``: targets and the result
        carry |Vgs|, |Vds| and |Id|.

        W scales the current density to ``ids`` (the characterised width without ``ids``).
        ``constraint_errors`` are re-evaluated at the chosen point.

        Raises
        ------
        ValueError
            A target the table does not reach (named, with what it does reach), a gm/Id outside
            ``[gm_id_min, gm_id_max]``, or a length outside the length axis.

        ``vbs`` (or ``vsb`` = -vbs) is the body bias of a table over Vbs, default 0; between its
        ``vbs_axis`` values the table is interpolated linearly in Vbs, as ``lookup`` reads it.

        Examples
        --------
        >>> table.design(gm_id=15, ids=100e-6)                                    # doctest: +SKIP
        DesignResult(W=..., L=..., Vgs=..., Vds=0.900, Id=1.000e-4, gm/Id=15.00, gain=...)
        >>> table.design(gm_id=15, ids=10e-6, l=0.5e-6)                           # doctest: +SKIP
        >>> table.design(gm_id=15, gain=100, ids=10e-6)                           # doctest: +SKIP
        """
        mirror = self._magnitudes()
        if mirror is not None:
            magnitude = lambda x: None if x is None else abs(float(x))  # noqa: E731
            return mirror.design(gm_id=magnitude(gm_id), gain=gain, ids=magnitude(ids), vds=magnitude(vds),
                                 gm_id_min=gm_id_min, gm_id_max=gm_id_max, id_min=magnitude(id_min), l=l,
                                 vbs=None if vbs is None else -float(vbs), vsb=vsb)
        if l is None and (gain is None or gm_id is None):
            return self._lut_at(vbs, vsb).design(gm_id=gm_id, gain=gain, ids=ids, vds=vds, gm_id_min=gm_id_min,
                                                 gm_id_max=gm_id_max, id_min=id_min)
        table = self.at_vbs(vbs, vsb=vsb)
        return _size(table, gm_id, gain, ids, vds, gm_id_min, gm_id_max, id_min, l)

    def _magnitudes(self) -> Optional["MosTable"]:
        """A PMOS table swept towards negative voltages as magnitudes (|Vgs|, |Vds|, Id > 0), which
        the sizing reads like an NMOS table; None for any other table."""
        if (self._config is None or self._config.device_type != "pmos" or self._subs is not None
                or not (self._vgs.max() <= 0.0 and self._vds.max() <= 0.0 and self._vgs.min() < 0.0)):
            return None
        if getattr(self, "_mirror", None) is None:
            # Ascending magnitudes whichever way the sweeps ran.
            flip = tuple(slice(None, None, -1) if a[-1] > a[0] else slice(None) for a in (self._vgs, self._vds))
            t = {name: self._tables[name][(slice(None),) + flip] for name in _BASE}
            lut = TransistorLut._from_arrays(self.width, -self.vbs, self._lengths, -self._vgs[flip[0]],
                                             -self._vds[flip[1]], -t["id"], t["gm"], t["gds"])
            self._mirror = MosTable(lut)
        return self._mirror

    def _lut_at(self, vbs: Any, vsb: Any) -> TransistorLut:
        """The native table at a body bias: a grid Vbs's own, else one interpolated linearly in Vbs
        from the two either side, as lookups read it."""
        x = _body_argument(vbs, vsb)
        if self._subs is None or x is None:
            return self.at_vbs(x)._lut
        try:
            x = float(x)
        except (TypeError, ValueError):
            raise ValueError(f"vbs must be one number here, got {x!r}") from None
        axis = self._axes["vbs"]
        if np.any(np.abs(axis.values - x) <= axis.slack + 1e-12):
            return self.at_vbs(x)._lut
        axis.check(np.float64(x))
        b = float(axis.locate(np.float64(x)))
        k = min(len(self._subs) - 2, int(b))
        t = b - k
        lo, hi = self._subs[k], self._subs[k + 1]
        blend = {name: (1.0 - t) * lo._tables[name] + t * hi._tables[name] for name in _BASE}
        return TransistorLut._from_arrays(self.width, x, self._lengths, self._vgs, self._vds, **blend)

    # -- lookups ------------------------------------------------------------------------------

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
        ``vsb`` = -vbs) is the body bias, default 0, interpolated linearly between the tables of a
        Vbs sweep; a table at one Vbs answers only at that one. Array
        arguments broadcast against each other (NumPy rules) and give an array; scalars give a float.

        Raises
        ------
        ValueError
            For a value outside an axis (the message names the axis and its range), a target the
            curve does not reach, or an unknown quantity.
        """
        stored = tuple(self._tables)
        num, den = _split_quantity(quantity, stored, allow_vgs=bool(target))
        if len(target) > 1:
            raise ValueError(f"give one target for a cross lookup, got {', '.join(sorted(target))}")
        cross = None
        if target:
            ((key, value),) = target.items()
            try:
                key_parts = _split_quantity(key, stored)
            except ValueError:
                raise TypeError(f"lookup() got an unexpected keyword argument {key!r}") from None
            if vgs is not None:
                raise ValueError(f"give either vgs or the target {key}=..., not both")
            cross = (key_parts, key, _as_float_array(value, key))

        l_arr = self._length_argument(l)
        vds_arr = _as_float_array(self._vds[self._vds.size // 2] if vds is None else vds, "vds")
        self._axes["vds"].check(vds_arr)
        lam = self._axes["l"].locate(l_arr)
        v = self._axes["vds"].locate(vds_arr)
        body = _body_argument(vbs, vsb)
        b = None
        if self._subs is None:
            if body is not None:
                self._check_fixed_vbs(_as_float_array(body, "vbs"))
        else:
            vbs_arr = _as_float_array(0.0 if body is None else body, "vbs")
            self._axes["vbs"].check(vbs_arr)
            b = self._axes["vbs"].locate(vbs_arr)

        if cross is None:
            vgs_arr = _as_float_array(self._vgs if vgs is None else vgs, "vgs")
            self._axes["vgs"].check(vgs_arr)
            p = self._axes["vgs"].locate(vgs_arr)
            if b is None:
                lam, p, v = np.broadcast_arrays(lam, p, v)
            else:
                lam, p, v, b = np.broadcast_arrays(lam, p, v, b)
            out = self._at(num, den, lam, p, v, b)
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
        l_arr = _as_float_array(l, "l")
        self._axes["l"].check(l_arr)
        return l_arr

    def _interpolate(self, name: str, lam: np.ndarray, p: np.ndarray, v: np.ndarray,
                     b: Optional[np.ndarray] = None) -> np.ndarray:
        """The native trilinear scheme: corners clamped to the table, weights not; then linear in
        Vbs between the tables either side of position b."""
        if name == "ft":  # a ratio like gm_cgg, each side interpolated on its own
            with np.errstate(divide="ignore", invalid="ignore"):
                return self._interpolate("gm", lam, p, v, b) / (2 * math.pi * self._interpolate("cgg", lam, p, v, b))
        if self._subs is not None:
            subs = self._subs
            if len(subs) == 1:
                return subs[0]._interpolate(name, lam, p, v)
            k = np.minimum(len(subs) - 2, _index(b))
            t = b - k
            out = np.zeros(np.broadcast(lam, p, v, b).shape)
            for i in np.unique(k):  # one pair of neighbouring tables at a time
                lo, hi = subs[i]._interpolate(name, lam, p, v), subs[i + 1]._interpolate(name, lam, p, v)
                out = np.where(k == i, (1.0 - t) * lo + t * hi, out)
            return out
        table = self._ascending[name]
        nl, nvgs, _ = table.shape
        i = np.minimum(max(nl - 2, 0), _index(lam))
        i1 = np.minimum(nl - 1, i + 1)
        tl = lam - i
        j = np.minimum(max(nvgs - 2, 0), _index(p))
        j1 = np.minimum(nvgs - 1, j + 1)
        tv = p - j
        c00, c01 = _lerp_rows(table, i, j, v), _lerp_rows(table, i, j1, v)
        c10, c11 = _lerp_rows(table, i1, j, v), _lerp_rows(table, i1, j1, v)
        # Same terms in the same order as the native code, so the sums round alike.
        return tv * ((1.0 - tl) * c01) + (1.0 - tv) * ((1.0 - tl) * c00) + (1.0 - tv) * (tl * c10) + tv * (tl * c11)

    def _at(self, num: str, den: Optional[str], lam: np.ndarray, p: np.ndarray, v: np.ndarray,
            b: Optional[np.ndarray] = None) -> np.ndarray:
        top = self._interpolate(num, lam, p, v, b)
        if den is None:
            return top
        bottom = self.width if den == "w" else self._interpolate(den, lam, p, v, b)
        with np.errstate(divide="ignore", invalid="ignore"):
            return top / bottom

    def _crossing(self, key_parts: Tuple[str, Optional[str]], key: str, target: float, lam: float, v: float,
                  floor: float = _ID_FLOOR, b: Optional[float] = None) -> float:
        """Vgs position where the key quantity meets the target, found as the sizing solver does."""
        n = self._vgs.size
        j = np.arange(n, dtype=np.float64)
        lam_j, v_j = np.full(n, lam), np.full(n, v)
        b_j = None if b is None else np.full(n, b)
        curve = np.asarray(self._at(*key_parts, lam_j, j, v_j, b_j), dtype=np.float64)
        id_curve = self._interpolate("id", lam_j, j, v_j, b_j)
        curve = np.where((np.abs(id_curve) < floor) | ~np.isfinite(curve), np.nan, curve)
        g0, g1 = curve[:-1], curve[1:]
        brackets = ((g0 >= target) & (target >= g1)) | ((g0 <= target) & (target <= g1))
        hits = np.flatnonzero(brackets)  # NaN pairs compare False and drop out
        if hits.size == 0:
            finite = curve[np.isfinite(curve)]
            reach = f"[{finite.min():.4g}, {finite.max():.4g}]" if finite.size else "nothing (Id below 1 pA)"
            at = f"l = {self._axes['l'].value_at(np.float64(lam)):g} m, vds = {self._axes['vds'].value_at(np.float64(v)):g} V"
            if b is not None:
                at += f", vbs = {self._axes['vbs'].value_at(np.float64(b)):g} V"
            raise ValueError(f"{key} = {target:g} is not reached at {at}: the curve over Vgs spans {reach}")
        m = int(hits[-1]) + 1  # the highest-Vgs pair, as the solver takes it
        a, b = curve[m - 1], curve[m]
        frac = 0.5 if abs(a - b) <= 1e-30 else min(max((a - target) / (a - b), 0.0), 1.0)
        return (m - 1) + frac

    # -- files --------------------------------------------------------------------------------

    def save(self, path: PathLike, *, name: Optional[str] = None) -> None:
        """Write the table, every quantity, its settings and ``source`` to an NPZ file at exactly ``path``;
        a ``.mat`` path gets the gm/Id reference flow's MATLAB file instead (struct ``name``,
        default ``nch`` or ``pch``; needs SciPy).

        The file holds plain arrays and strings only (no pickled objects), so ``load_table``
        runs no code from it. It is written to a temporary file beside ``path`` and renamed,
        so an existing file is replaced whole or not at all.
        """
        if str(os.fspath(path)).lower().endswith(".mat"):
            return _matfile.write_mat(self, path, name)
        if name is not None:
            raise ValueError(f"name= names the struct of a .mat file; {os.fspath(path)!r} is not one")
        arrays: Dict[str, np.ndarray] = {
            "format": np.array(_files.FORMAT), "version": np.array(_files.VERSION),
            "width": np.array(self.width), "vbs": np.array(self.vbs),
            "lengths": np.asarray(self._lengths), "vgs": np.asarray(self._vgs), "vds": np.asarray(self._vds),
            **{name: np.asarray(self._tables[name]) for name in _BASE},
            # ft is derived again on load
            **{_files.QUANTITY_PREFIX + name: np.asarray(t) for name, t in self._tables.items()
               if name not in _BASE and name != "ft"},
        }
        source = getattr(self, "source", None)
        if source is not None:
            arrays["source"] = np.array(json.dumps(source, default=_plain))
        c = self._config
        if c is not None:
            arrays.update({
                "config_device_type": np.array(c.device_type), "config_model_name": np.array(c.model_name),
                "config_model_card": np.array(c.model_card), "config_width": np.array(c.width),
                "config_vbs": np.array(c.vbs),
                "config_lengths": np.array(c.lengths if c.lengths is not None else (c.length, c.length, 1.0)),
                "config_vgs": np.array(c.vgs), "config_vds": np.array(c.vds),
            })
            if c.model_file is not None:
                arrays["config_model_file"] = np.array(c.model_file)
            if c.model_section is not None:
                arrays["config_model_section"] = np.array(c.model_section)
        if self._vbs_axis is not None:
            arrays["vbs_axis"] = np.asarray(self._vbs_axis)
        _files.write_npz(path, arrays)

    def to_csv(self, path: PathLike) -> None:
        """Write the ``L,Vgs,Vds,Id,gm,gds`` CSV file (replaced whole or not at all); a table over
        Vbs has no such layout, write ``at_vbs(v).to_csv(...)`` per Vbs."""
        if self._subs is not None:
            raise ValueError("a CSV table holds one Vbs; write at_vbs(v).to_csv(path) for each of "
                             f"vbs = {', '.join(f'{x:g}' for x in self._vbs_axis)} V, or save() the whole table")
        self._lut.to_csv(path)


def _plain(value: Any) -> Any:
    """JSON for what a source dict holds beyond JSON's own types (NumPy numbers, tuples are lists)."""
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"table.source holds {type(value).__name__}, which a table file cannot record")


def _body_argument(vbs: Any, vsb: Any) -> Any:
    """The body bias as Vbs from a vbs or vsb (= -vbs) argument; None when neither is given."""
    if vbs is not None and vsb is not None:
        raise ValueError(f"give vbs or vsb (= -vbs), not both; got vbs={vbs!r}, vsb={vsb!r}")
    if vsb is not None:
        return -_as_float_array(vsb, "vsb") + 0.0
    return vbs


def _lerp_rows(table: np.ndarray, i: np.ndarray, j: np.ndarray, v: np.ndarray) -> np.ndarray:
    """Each Vds row table[i, j] interpolated at v."""
    n = table.shape[2]
    if n == 1:
        return table[i, j, 0]
    k = np.minimum(n - 2, _index(v))
    w = v - k
    return w * table[i, j, k + 1] + (1.0 - w) * table[i, j, k]


def load_table(path: PathLike, *, width: Optional[float] = None, vbs: Optional[float] = None,
               allow_control: bool = False) -> MosTable:
    """Read a table written by ``MosTable.save`` (NPZ) or by ``to_csv`` (CSV), or a gm/Id reference .mat file.

    The kind is recognised from the file's content, not its name. NPZ files are read without
    pickle, so a file from someone else runs no code.

    Parameters
    ----------
    path : str or os.PathLike
    width : float, optional
        CSV only, and required there: the width W the table was characterised with (the CSV
        does not record it).
    vbs : float, optional
        CSV only: the bulk-source voltage; NaN (unknown) when not given.
    allow_control : bool, optional
        NPZ only: accept a stored model card that holds ``.control`` or ``shell`` commands, which
        would run when ``table.config`` is characterised again. Refused unless given.

    Raises
    ------
    ValueError
        When the file is not such a table, or what is missing or inconsistent in it.
    """
    if _matfile.is_mat(path):
        loaded = _matfile.read_mat(path, width, vbs)
    else:
        loaded = _files.read_table(path, width, vbs, allow_control)
    try:
        if loaded.vbs_axis is None:
            table = MosTable(loaded.lut, loaded.config, quantities=loaded.quantities)
        else:
            subs = [MosTable(lut, None, quantities=quantities) for lut, quantities in loaded.subs]
            table = MosTable._stack(subs, loaded.vbs_axis)
    except ValueError as exc:
        raise loaded.fail(str(exc)) from exc
    if loaded.source is not None:
        source = loaded.source
        if isinstance(source.get("model_files"), list):  # JSON keeps the pairs as lists
            source["model_files"] = [tuple(m) if isinstance(m, list) else m for m in source["model_files"]]
        table.source = source
    return table
