"""The gm/Id reference flow's table file: a MATLAB struct per device, arrays (L, VGS, VDS, VSB).

Lengths and widths are µm there, voltages ascending magnitudes (a PMOS mirrored as tavlo's are),
temperature in kelvin, capacitances positive. SciPy reads and writes the container; this module
only maps it to and from tavlo's native tables.
"""

from __future__ import annotations

import math
import os
import re
import struct
import zlib
from importlib import metadata
from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np

from ._files import CSV_HEADER, Loaded, PathLike, replace_atomically
from .tavlo import TransistorLut

__all__ = ["write_mat", "read_mat", "is_mat"]

# File field -> tavlo quantity, as the reference names them.
REFERENCE_FIELDS = {"ID": "id", "GM": "gm", "GDS": "gds", "VT": "vth", "GMB": "gmbs", "CGG": "cgg", "CGS": "cgs",
                    "CGD": "cgd", "CGB": "cgb", "CDD": "cdd", "CSS": "css", "STH": "sth", "SFL": "sfl",
                    "IGD": "igd", "IGS": "igs", "CSG": "csg", "CDG": "cdg"}
# ngspice's BSIM4 reports these as dQg/dVs, dQg/dVd, dQg/dVb (negative); the file holds capacitances.
_NEGATED = ("cgs", "cgd", "cgb")
_AXES = ("L", "VGS", "VDS", "VSB")
_METADATA = ("W", "TEMP", "CORNER", "NFING", "INFO")
_REQUIRED = ("ID", "GM", "GDS")
_MATLAB_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]{0,62}\Z")
_KELVIN = 273.15
_UM = 1e-6
# Bounds on what a file may make tavlo read: its size, and what its compressed parts expand to.
MAX_FILE_BYTES = 1 << 30
MAX_EXPANDED_BYTES = 4 << 30
_MI_COMPRESSED = 15


def _scipy_io() -> Any:
    try:
        import scipy.io
    except ImportError:
        raise ImportError("reading and writing .mat files needs SciPy; install it with: pip install scipy "
                          "(or pip install tavlo[mat])") from None
    return scipy.io


def is_mat(path: PathLike) -> bool:
    """A MATLAB file by its header, or one named ``*.mat`` that is not tavlo's own NPZ or CSV
    (``save`` wrote NPZ to any name before it wrote .mat files)."""
    target = os.fspath(path)
    with open(target, "rb") as f:
        head = f.read(len(CSV_HEADER))
    named = isinstance(target, str) and target.lower().endswith(".mat")
    return head.startswith(b"MATLAB") or (named and not head.startswith((b"PK\x03\x04", CSV_HEADER.encode())))


# -- writing ------------------------------------------------------------------------------------


def write_mat(table: Any, path: PathLike, name: Optional[str] = None) -> None:
    """Write ``table`` (a MosTable) as the reference flow's .mat file at exactly ``path``.

    One struct variable, ``nch`` or ``pch`` by the table's polarity unless ``name`` is given;
    the reference's fields where the table has the quantity, every other stored quantity under
    its name in capitals (reference readers ignore them; ``load_table`` restores them).
    """
    savemat = _scipy_io().savemat
    source = getattr(table, "source", None) or {}
    config = table.config
    polarity = source.get("polarity") or (config.device_type if config is not None else "nmos")
    mirror = table._magnitudes()  # a native PMOS table swept to negative voltages
    if mirror is not None:
        table = mirror
    if name is None:
        name = "pch" if polarity == "pmos" else "nch"
    if not isinstance(name, str) or not _MATLAB_NAME.match(name):
        raise ValueError(f"name must be a MATLAB variable name (a letter, then up to 62 letters, digits or "
                         f"'_'), got {name!r}")

    if table.vbs_axis is None:
        vbs = float(table.vbs)
        if not math.isfinite(vbs):
            raise ValueError("this table's vbs is unknown (NaN), and the file's VSB axis needs it; "
                             "load the CSV with load_table(path, width=..., vbs=...)")
        vsb = np.array([-vbs + 0.0])
        arranged = lambda a: np.asarray(a)[..., np.newaxis]  # noqa: E731
    else:
        vsb = -np.asarray(table.vbs_axis) + 0.0
        arranged = lambda a: np.moveaxis(np.asarray(a), 1, 3)  # noqa: E731 (L, Vbs, Vgs, Vds) -> (L, VGS, VDS, VSB)
    axes = (np.asarray(table.lengths), np.asarray(table.vgs), np.asarray(table.vds), vsb)
    order = np.ix_(*(np.argsort(a, kind="stable") for a in axes))

    record: Dict[str, Any] = {}
    to_field = {q: f for f, q in REFERENCE_FIELDS.items()}
    for quantity in table.quantities:
        field = to_field.get(quantity, quantity.upper())
        if (quantity == "ft" or field in record or field in _AXES or field in _METADATA
                or not _MATLAB_NAME.match(field)):
            continue  # ft is derived again on load; a name that clashes keeps its first quantity
        values = arranged(table.quantity(quantity))[order].astype(np.float64)
        record[field] = -values if quantity in _NEGATED else values
    record["L"] = np.sort(axes[0]) / _UM
    record["VGS"], record["VDS"], record["VSB"] = (np.sort(a).astype(np.float64) for a in axes[1:])
    record["W"] = float(table.width) / _UM
    temperature = source.get("temperature")
    record["TEMP"] = math.nan if temperature is None else float(temperature) + _KELVIN
    record["CORNER"] = str(source.get("corner") or "")
    record["NFING"] = 1.0
    record["INFO"] = _info(source, config, polarity)
    replace_atomically(path, lambda tmp: savemat(tmp, {name: record}, appendmat=False, do_compression=True,
                                                           oned_as="column"))


def tavlo_version() -> str:
    try:
        return metadata.version("tavlo")
    except metadata.PackageNotFoundError:
        return "unknown"


def _info(source: Dict[str, Any], config: Any, polarity: str) -> str:
    device = source.get("name") or (config.model_name if config is not None else "unknown device")
    if source.get("model") and source.get("model") != device:
        device += f" ({source['model']})"
    models = "; ".join(" ".join(str(p) for p in m if p) for m in source.get("model_files") or [])
    return f"{device}, {polarity}; models: {models or 'not recorded'}; written by tavlo {tavlo_version()}"


# -- reading ------------------------------------------------------------------------------------


def read_mat(path: PathLike, width: Optional[float] = None, vbs: Optional[float] = None) -> Loaded:
    """The native tables in a reference .mat file (tavlo's own or the reference flow's), one per
    VSB point, for ``load_table`` to build the MosTable from; ValueError naming what is wrong."""
    target = os.fspath(path)

    def fail(why: str) -> ValueError:
        return ValueError(f"{target}: not a gm/Id table file tavlo can read: {why}")

    if width is not None or vbs is not None:
        raise ValueError("width and vbs are for CSV files; a .mat table records its own")
    sio = _scipy_io()
    variable, record = _load_struct(target, sio, fail)
    # Field names in capitals, as the reference readers take them; the first of a clash wins.
    fields: Dict[str, str] = {}
    for stored in record.dtype.names:
        fields.setdefault(stored.upper(), stored)

    def field(key: str) -> Any:
        if key not in fields:
            raise fail(f"field {key} is missing")
        return record[fields[key]].flat[0]

    def numbers(key: str) -> np.ndarray:
        value = field(key)
        if not isinstance(value, np.ndarray) or value.dtype.kind not in "fiu":
            raise fail(f"field {key} must hold real numbers, got {_kind(value)}")
        return value.astype(np.float64)

    def axis(key: str, scale: float = 1.0) -> np.ndarray:
        a = numbers(key)
        if a.size == 0 or sum(d > 1 for d in a.shape) > 1:
            raise fail(f"field {key} must be a non-empty vector, got shape {a.shape}")
        a = a.reshape(-1)
        if not np.all(np.isfinite(a)) or (a.size > 1 and not (np.all(np.diff(a) > 0) or np.all(np.diff(a) < 0))):
            raise fail(f"field {key} must be finite and strictly monotonic, got {a.tolist()[:8]}")
        return a * scale

    def scalar(key: str, default: Optional[float] = None) -> float:
        if key not in fields and default is not None:
            return default
        a = numbers(key)
        if a.size != 1:
            raise fail(f"field {key} must be one number, got shape {a.shape}")
        return float(a.reshape(()))

    ls, vgs, vds, vsb = axis("L", _UM), axis("VGS"), axis("VDS"), axis("VSB")
    if np.any(ls <= 0):
        raise fail(f"field L must hold positive lengths (µm), got {(ls / _UM).tolist()[:8]}")
    w = scalar("W")
    if not (math.isfinite(w) and w > 0):
        raise fail(f"field W must be a positive width (µm), got {w!r}")
    shape = (ls.size, vgs.size, vds.size, vsb.size)

    def data(key: str) -> np.ndarray:
        a = numbers(key)
        # MATLAB drops trailing singleton dimensions and squeezing readers drop all of them.
        if [d for d in a.shape if d != 1] != [d for d in shape if d != 1]:
            raise fail(f"field {key} has shape {a.shape}, expected (L, VGS, VDS, VSB) = {shape}")
        return a.reshape(shape)

    arrays: Dict[str, np.ndarray] = {}
    for key in _REQUIRED:
        arrays[REFERENCE_FIELDS[key]] = a = data(key)
        if not np.all(np.isfinite(a)):
            raise fail(f"field {key} holds values that are not finite")
    for key in fields:  # in the file's order, which tavlo writes in the table's
        quantity = REFERENCE_FIELDS.get(key, key.lower())
        if key in _REQUIRED or key in _AXES or key in _METADATA or quantity in ("id", "gm", "gds", "vgs", "w", "ft"):
            continue
        if key not in REFERENCE_FIELDS and not _is_table(field(key), shape):
            continue  # foreign extras (notes, settings) are not quantities
        arrays[quantity] = -data(key) if quantity in _NEGATED else data(key)

    temperature = scalar("TEMP", math.nan) - _KELVIN
    source = {"name": variable, "polarity": {"nch": "nmos", "pch": "pmos"}.get(variable),
              "corner": _text(field("CORNER"), fail, "CORNER") if "CORNER" in fields else None,
              "temperature": None if math.isnan(temperature) else temperature, "width": w * _UM,
              "nfing": scalar("NFING", 1.0), "info": _text(field("INFO"), fail, "INFO") if "INFO" in fields else "",
              "file": os.path.abspath(target)}
    subs: List[Tuple[TransistorLut, Dict[str, np.ndarray]]] = []
    for k in range(vsb.size):
        at = {name: a[..., k] for name, a in arrays.items()}
        try:
            lut = TransistorLut._from_arrays(w * _UM, -vsb[k] + 0.0, ls, vgs, vds, at.pop("id"), at.pop("gm"),
                                             at.pop("gds"))
        except (TypeError, ValueError) as exc:
            raise fail(str(exc)) from exc
        subs.append((lut, at))
    if vsb.size == 1:
        return Loaded(subs[0][0], None, fail, subs[0][1], dict(source, vbs=float(-vsb[0] + 0.0)))
    vbs_axis = -vsb + 0.0
    return Loaded(subs[0][0], None, fail, {}, dict(source, vbs=vbs_axis.tolist()), vbs_axis, subs)


def _load_struct(target: str, sio: Any, fail: Callable[[str], ValueError]) -> Tuple[str, np.ndarray]:
    """The file's first struct variable (the reference readers take the first), read within bounds."""
    try:
        size = os.path.getsize(target)
    except OSError as exc:
        raise ValueError(f"{target}: cannot be read: {exc.strerror or exc}") from None
    if size > MAX_FILE_BYTES:
        raise fail(f"it is {size} bytes, more than the {MAX_FILE_BYTES} tavlo reads")
    with open(target, "rb") as f:
        head = f.read(128)
        if not head.startswith(b"MATLAB"):
            raise fail("it has no MATLAB 5 header")
        if head.startswith(b"MATLAB 7.3"):
            raise fail("MATLAB 7.3 (HDF5) files are not supported; save it with save(..., '-v7')")
        _check_expansion(f, head, fail)
        try:
            f.seek(0)
            listed = sio.whosmat(f)
            structs = [name for name, _, kind in listed if kind == "struct"]
            if not structs:
                raise fail(f"it holds no struct variable (the table is one struct such as nch or pch); "
                           f"it has {', '.join(name for name, _, _ in listed) or 'nothing'}")
            f.seek(0)
            loaded = sio.loadmat(f, variable_names=structs[:1], squeeze_me=False, struct_as_record=True,
                                 chars_as_strings=True, verify_compressed_data_integrity=True)
        except ValueError as exc:
            if str(exc).startswith(target):
                raise
            raise fail(str(exc)) from exc
        except Exception as exc:  # a damaged container surfaces as many kinds of error
            raise fail(f"{type(exc).__name__}: {exc}") from exc
    record = loaded.get(structs[0])
    if not isinstance(record, np.ndarray) or record.dtype.names is None or record.size != 1:
        raise fail(f"variable {structs[0]} must be one struct, got {_kind(record)}")
    return structs[0], record


def _check_expansion(f: Any, head: bytes, fail: Callable[[str], ValueError]) -> None:
    """Refuse a file whose compressed elements expand beyond the bound, before SciPy reads it
    (it would hold all of it in memory)."""
    endian = {b"IM": "<", b"MI": ">"}.get(head[126:128])
    if endian is None:
        raise fail("its MATLAB 5 header has no byte-order mark")
    total = 0
    f.seek(128)
    while True:
        tag = f.read(8)
        if not tag:
            return
        if len(tag) < 8:
            raise fail("it ends inside an element's tag")
        kind, n = struct.unpack(endian + "II", tag)
        if kind != _MI_COMPRESSED:
            total += n
            f.seek(n, os.SEEK_CUR)
        else:
            inflate, left = zlib.decompressobj(), n
            while left > 0:
                chunk = f.read(min(left, 1 << 20))
                if not chunk:
                    raise fail("it ends inside a compressed element")
                left -= len(chunk)
                while chunk:
                    try:
                        total += len(inflate.decompress(chunk, 1 << 20))
                    except zlib.error as exc:
                        raise fail(f"a compressed element is damaged: {exc}") from None
                    chunk = inflate.unconsumed_tail
                    if total > MAX_EXPANDED_BYTES:
                        raise fail(f"its data expands beyond the {MAX_EXPANDED_BYTES} bytes tavlo reads")
        if total > MAX_EXPANDED_BYTES:
            raise fail(f"its data expands beyond the {MAX_EXPANDED_BYTES} bytes tavlo reads")


def _is_table(value: Any, shape: Tuple[int, ...]) -> bool:
    return (isinstance(value, np.ndarray) and value.dtype.kind in "fiu"
            and [d for d in value.shape if d != 1] == [d for d in shape if d != 1])


def _text(value: Any, fail: Callable[[str], ValueError], key: str) -> str:
    if isinstance(value, np.ndarray) and value.dtype.kind == "U":
        return " ".join(str(s).strip() for s in value.flat)[:4096]
    if isinstance(value, np.ndarray) and value.dtype.kind in "fiu" and value.size == 0:
        return ""  # MATLAB writes '' as an empty double matrix
    raise fail(f"field {key} must be text, got {_kind(value)}")


def _kind(value: Any) -> str:
    if isinstance(value, np.ndarray):
        return f"{value.dtype} array of shape {value.shape}"
    return type(value).__name__
