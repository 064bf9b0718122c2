"""The designer's view of a characterised transistor: NumPy arrays, lookups, sizing, files, charts."""

from __future__ import annotations

import math
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _files, _matfile
from ._charts import ChartsMixin
from ._checks import number, one_body_bias
from ._format import sci as _sci
from ._grid import Axis, ascending_order
from ._lookup import LookupMixin
from ._sizing import TableSizing, size as _size
from .tavlo import DesignResult, LutConfig, TransistorLut

__all__ = ["MosTable", "load_table"]

PathLike = Union[str, "os.PathLike[str]"]

_BASE = ("id", "gm", "gds")


class MosTable(LookupMixin, ChartsMixin):
    """A characterised MOS transistor: NumPy arrays, gm/Id lookups, sizing, files and charts.

    ``id``, ``gm`` and ``gds`` are read-only float64 arrays of shape ``(n_l, n_vgs, n_vds)``, a
    single length included, indexed like the axes ``lengths``, ``vgs`` and ``vds``, which ascend
    whatever the direction of the sweeps. Currents and conductances are those of the characterised
    width ``width``.

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
        axes = (("l", lut._length_axis), ("vgs", lut.vgs), ("vds", lut.vds))
        shape = tuple(a.size for _, a in axes)
        tables = {name: getattr(lut, name).reshape(shape) for name in _BASE}
        for name, values in (quantities or {}).items():
            if not isinstance(name, str) or not name.isidentifier() or name in _BASE or name in ("vgs", "w", "ft"):
                raise ValueError(f"quantity names must be identifiers other than id, gm, gds, vgs, w and ft; "
                                 f"got {name!r}")
            array = np.array(values, dtype=np.float64)
            if array.shape != shape:
                raise ValueError(f"quantity {name!r} has shape {array.shape}, expected {shape}")
            tables[name] = array
        # Ascending axes whatever the sweep's direction, so that every reader (the native design
        # included) sees a table it can search.
        orders = [ascending_order(key, a) for key, a in axes]
        if any(np.any(o != np.arange(o.size)) for o in orders):
            pick = np.ix_(*orders)
            tables = {name: np.ascontiguousarray(t[pick]) for name, t in tables.items()}
            sorted_axes = (a[o] for (_, a), o in zip(axes, orders, strict=True))
            lut = TransistorLut._from_arrays(lut.width, lut.vbs, *sorted_axes,
                                             *(tables[name] for name in _BASE))
        self._lut = lut
        self._config = config
        self._subs: Optional[List["MosTable"]] = None  # per-Vbs tables, ascending Vbs, when Vbs is swept
        self._vbs_axis: Optional[np.ndarray] = None
        self._lengths = lut._length_axis
        self._vgs, self._vds = lut.vgs, lut.vds
        self._tables = tables
        if "cgg" in self._tables:
            with np.errstate(divide="ignore", invalid="ignore"):
                self._tables["ft"] = self._tables["gm"] / (2 * math.pi * self._tables["cgg"])
        for array in (self._lengths, self._vgs, self._vds, *self._tables.values()):
            array.flags.writeable = False
        self._axes = {key: Axis(key, a) for key, a in (("l", self._lengths), ("vgs", self._vgs), ("vds", self._vds))}

    @classmethod
    def _stack(cls, subs: Sequence["MosTable"], vbs_axis: Any) -> "MosTable":
        """One table over L × Vbs × Vgs × Vds from one 3-D table per Vbs, given in the order of vbs_axis."""
        axis = np.array(vbs_axis, dtype=np.float64).reshape(-1)
        if axis.size == 0 or axis.size != len(subs):
            raise ValueError(f"vbs_axis has {axis.size} values for {len(subs)} tables")
        order = ascending_order("vbs", axis)
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
        self._vbs_axis = axis
        self._axes = dict(first._axes, vbs=Axis("vbs", axis[order]))
        self._subs = [subs[i] for i in order]  # ascending, as the interpolation reads them
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
        x = one_body_bias(vbs, vsb)
        sub = self._grid_vbs(x)
        if sub is None:
            values = ", ".join(f"{v:g}" for v in self._vbs_axis)
            raise ValueError(f"vbs = {x:g} V is not on this table's Vbs axis; it has tables at vbs = {values} V")
        return sub

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
        """Transconductance dId/dVgs (S), shape ``(n_l, n_vgs, n_vds)``, or ``(n_l, n_vbs, n_vgs, n_vds)``
        over a Vbs sweep."""
        return self._tables["gm"]

    @property
    def gds(self) -> np.ndarray:
        """Output conductance dId/dVds (S), shape ``(n_l, n_vgs, n_vds)``, or ``(n_l, n_vbs, n_vgs, n_vds)``
        over a Vbs sweep."""
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

        A gm/Id or gain target chooses the operating point; ``ids`` scales W to the current (the
        characterised width without it). Without ``l`` and without a gm/Id plus gain pair this is
        ``TransistorLut.design``: with gm/Id and Id targets it takes the shortest length that
        reaches the gm/Id.

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
        interpolated as above (the shortest such length where the curve is not monotonic). A gain
        the curve does not reach (the shortest length already exceeds it, or the longest falls
        short) gives ``TransistorLut.design``'s answer, the length closest to the target, with
        its error in ``constraint_errors``; so does any target where that answer's gain error
        is smaller.

        ``vbs`` (or ``vsb`` = -vbs) is the body bias of a table over Vbs, default 0; between its
        ``vbs_axis`` values every mode sizes on the table read as ``lookup`` reads it there.

        A PMOS table swept towards negative voltages (a ``LutConfig`` with ``device_type="pmos"``)
        is sized in magnitudes, like the PMOS tables of ``characterise``: targets and the result
        carry |Vgs|, |Vds| and |Id|.

        Raises
        ------
        ValueError
            A target that is not a finite number (``gm_id`` and ``ids`` positive), no gm/Id or
            gain target, a gm/Id the table does not reach (named, with what it does reach), a
            gm/Id outside ``[gm_id_min, gm_id_max]``, or a length outside the length axis.

        Examples
        --------
        >>> table.design(gm_id=15, ids=100e-6)                                    # doctest: +SKIP
        DesignResult(W=..., L=..., Vgs=..., Vds=0.900, Id=1.000e-4, gm/Id=15.00, gain=...)
        >>> table.design(gm_id=15, ids=10e-6, l=0.5e-6)                           # doctest: +SKIP
        >>> table.design(gm_id=15, gain=100, ids=10e-6)                           # doctest: +SKIP
        """
        mirror = self._magnitudes()
        targets = dict(gm_id=gm_id, gain=gain, ids=ids, vds=vds, gm_id_min=gm_id_min, gm_id_max=gm_id_max,
                       id_min=id_min)
        if mirror is not None:
            body = mirror._at_body(None if vbs is None else -number(vbs, "vbs", unit="V"), vsb)
            return _size(body, l=l, magnitudes=True, **targets)
        return _size(self._at_body(vbs, vsb), l=l, **targets)

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
        tables = {key: t for key, t in self._tables.items() if key != "ft"}  # ft is derived again on load
        _files.write_npz(path, _files.table_arrays(
            self.width, self.vbs, (self._lengths, self._vgs, self._vds), tables, self._config,
            getattr(self, "source", None), self._vbs_axis))

    def to_csv(self, path: PathLike) -> None:
        """Write the ``L,Vgs,Vds,Id,gm,gds`` CSV file (replaced whole or not at all); a table over
        Vbs has no such layout, write ``at_vbs(v).to_csv(...)`` per Vbs."""
        if self._subs is not None:
            raise ValueError("a CSV table holds one Vbs; write at_vbs(v).to_csv(path) for each of "
                             f"vbs = {', '.join(f'{x:g}' for x in self._vbs_axis)} V, or save() the whole table")
        self._lut.to_csv(path)



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
