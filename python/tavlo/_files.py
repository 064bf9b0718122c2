"""Table files: NPZ (plain arrays, no pickle) and the CSV that to_csv writes, each replaced whole.

Works on native tables and settings only; the designer's MosTable is built from them elsewhere.
"""

from __future__ import annotations

import json
import math
import os
import re
import secrets
import warnings
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple, Union

import numpy as np

from ._checks import MAX_POINTS
from .tavlo import LutConfig, TransistorLut

__all__ = ["FORMAT", "VERSION", "CSV_HEADER", "QUANTITY_PREFIX", "Loaded", "replace_atomically", "write_npz",
           "table_arrays",
           "read_table"]

PathLike = Union[str, "os.PathLike[str]"]

FORMAT = "tavlo.MosTable"
# 2: further quantities as 'q_<name>' arrays and the table's source as a JSON string; a table over a
# Vbs sweep adds 'vbs_axis' and its arrays are L × Vbs × Vgs × Vds.
VERSION = 2
CSV_HEADER = "L,Vgs,Vds,Id,gm,gds"
_BASE = ("id", "gm", "gds")
QUANTITY_PREFIX = "q_"


class Loaded(NamedTuple):
    """A table loaded from a file and what it recorded beside the native arrays."""

    lut: TransistorLut
    config: Optional[LutConfig]
    fail: Callable[[str], ValueError]  # how to report what is wrong with the file
    quantities: Dict[str, np.ndarray]
    source: Optional[Dict[str, Any]]
    vbs_axis: Optional[np.ndarray] = None
    # Over a Vbs sweep: the native table and further quantities at each vbs_axis value.
    subs: Optional[List[Tuple[TransistorLut, Dict[str, np.ndarray]]]] = None


def replace_atomically(path: PathLike, write: Callable[[str], None]) -> None:
    """Write through a temporary file in the same directory, then rename it over ``path``."""
    target = os.fspath(path)
    if not isinstance(target, str):
        raise TypeError(f"path must be a str or os.PathLike of str, got {type(path).__name__}")
    folder, name = os.path.split(os.path.abspath(target))
    tmp = os.path.join(folder, f".{name}.{secrets.token_hex(6)}.tmp")
    try:
        write(tmp)
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise


def write_npz(path: PathLike, arrays: Dict[str, np.ndarray]) -> None:
    """Writes the arrays as an NPZ file at exactly ``path``, replaced whole or not at all."""
    replace_atomically(path, lambda tmp: _write_npz(tmp, arrays))


def _write_npz(path: str, arrays: Dict[str, np.ndarray]) -> None:
    # O_EXCL: never write into a file someone else made; mode 0666 so the umask applies as usual.
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    with os.fdopen(fd, "wb") as f:
        np.savez_compressed(f, **arrays)
        f.flush()
        os.fsync(f.fileno())


def table_arrays(width: float, vbs: float, axes: Tuple[np.ndarray, np.ndarray, np.ndarray],
                 tables: Dict[str, np.ndarray], config: Optional[LutConfig], source: Optional[Dict[str, Any]],
                 vbs_axis: Optional[np.ndarray]) -> Dict[str, np.ndarray]:
    """What ``MosTable.save`` writes: the axes, id/gm/gds, further quantities, settings and source."""
    lengths, vgs, vds = axes
    arrays: Dict[str, np.ndarray] = {
        "format": np.array(FORMAT), "version": np.array(VERSION),
        "width": np.array(width), "vbs": np.array(vbs),
        "lengths": np.asarray(lengths), "vgs": np.asarray(vgs), "vds": np.asarray(vds),
        **{name: np.asarray(tables[name]) for name in _BASE},
        **{QUANTITY_PREFIX + name: np.asarray(t) for name, t in tables.items() if name not in _BASE},
    }
    if source is not None:
        arrays["source"] = np.array(json.dumps(source, default=_plain))
    c = config
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
    if vbs_axis is not None:
        arrays["vbs_axis"] = np.asarray(vbs_axis)
    return arrays


def _plain(value: Any) -> Any:
    """JSON for what a source dict holds beyond JSON's own types (NumPy numbers, tuples are lists)."""
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"table.source holds {type(value).__name__}, which a table file cannot record")


def read_table(path: PathLike, width: Optional[float], vbs: Optional[float], allow_control: bool) -> Loaded:
    """The native table and settings in a file written by ``MosTable.save`` or ``to_csv``; the
    kind is recognised from the content, not the name (see ``tavlo.load_table``)."""
    target = os.fspath(path)
    with open(target, "rb") as f:
        head = f.read(len(CSV_HEADER) + 2)
    if head.startswith(b"PK\x03\x04"):
        if width is not None or vbs is not None:
            raise ValueError("width and vbs are for CSV files; an NPZ table records its own")
        return _load_npz(target, allow_control)
    if head.startswith(CSV_HEADER.encode()):
        return _load_csv(target, width, vbs)
    raise ValueError(f"{target}: not a tavlo table (expected an NPZ file written by MosTable.save "
                     f"or a CSV file starting with the header {CSV_HEADER})")


def _load_npz(path: str, allow_control: bool) -> Loaded:
    def fail(why: str) -> ValueError:
        return ValueError(f"{path}: not a valid tavlo table file: {why}")

    # Our own handle: np.load leaks the one it opens when the archive turns out damaged.
    with open(path, "rb") as f:
        try:
            data = np.load(f, allow_pickle=False)
        except Exception as exc:  # a damaged archive surfaces as zipfile, OS or value errors
            raise fail(str(exc)) from exc
        return _npz_table(data, fail, allow_control)


# Lines of a model card that make ngspice run commands rather than read a model, or read another
# file, which may hold such commands.
_CONTROL_LINE = re.compile(r"^[ \t]*(\.control\b|\.exec\b|shell\b|\.include\b|\.inc\b|\.lib\b)",
                           re.IGNORECASE | re.MULTILINE)
# Values per stored array (256 MB of float64): a file declaring more is refused before it is read.
MAX_VALUES = 1 << 25


def _npz_table(data: Any, fail: Any, allow_control: bool) -> Loaded:
    with data:
        def get(key: str, kind: str, ndim: Optional[int] = None) -> np.ndarray:
            if key not in data.files:
                raise fail(f"'{key}' is missing")
            try:
                value = data[key]
            except Exception as exc:  # object arrays (pickle) and damaged members
                raise fail(f"'{key}' cannot be read: {exc}") from exc
            if value.dtype.kind not in kind or (ndim is not None and value.ndim != ndim):
                want = {"U": "a string", "fiu": "numbers"}[kind]
                raise fail(f"'{key}' must be {want}" + (f" with {ndim} dimension(s)" if ndim is not None else "")
                           + f", got dtype {value.dtype} and shape {value.shape}")
            return value

        if "format" not in data.files or str(get("format", "U", 0)) != FORMAT:
            raise fail(f"'format' is missing or not '{FORMAT}'")
        version = int(get("version", "fiu", 0))
        if version > VERSION:
            raise fail(f"version {version} is newer than this tavlo reads ({VERSION}); upgrade tavlo")
        def declared(key: str, shape: Tuple[int, ...]) -> None:
            # Read from the member's header, so that a hostile size is refused before allocation.
            got = _stored_shape(data, key, fail)
            if got is not None and got != shape:
                raise fail(f"{key} has shape {got}, expected {shape} from the axes")

        axis_keys = ("lengths", "vgs", "vds") + (("vbs_axis",) if "vbs_axis" in data.files else ())
        for key in axis_keys:
            got = _stored_shape(data, key, fail)
            if got is not None and (len(got) != 1 or got[0] > MAX_POINTS):
                raise fail(f"'{key}' must be an axis of at most {MAX_POINTS} values, got shape {got}")
        axes = {key: _finite(key, get(key, "fiu", 1).astype(np.float64), fail) for key in axis_keys}
        vbs_axis = axes.pop("vbs_axis", None)
        if np.any(axes["lengths"] <= 0):
            raise fail(f"'lengths' must be positive, got {axes['lengths'].tolist()}")
        shape = tuple(axes[k].size for k in ("lengths", "vgs", "vds"))
        if vbs_axis is not None:
            shape = shape[:1] + (vbs_axis.size,) + shape[1:]
        if math.prod(shape) > MAX_VALUES:
            raise fail(f"its axes declare {math.prod(shape)} values per quantity, more than {MAX_VALUES}")
        ndim = len(shape)
        keys = _BASE + tuple(k for k in data.files if k.startswith(QUANTITY_PREFIX))
        for key in keys:
            declared(key, shape)
        parts = dict(axes, **{key: _finite(key, get(key, "fiu", ndim), fail) for key in _BASE})
        quantities = {key[len(QUANTITY_PREFIX):]: _finite(key, get(key, "fiu", ndim), fail, nan=True)
                      for key in keys if key.startswith(QUANTITY_PREFIX)}
        width = float(get("width", "fiu", 0))
        subs = None
        try:
            if vbs_axis is None:
                lut = TransistorLut._from_arrays(width, float(get("vbs", "fiu", 0)), **parts)
            else:
                for name, array in (*((k, parts[k]) for k in _BASE), *quantities.items()):
                    if array.shape[1] != vbs_axis.size:
                        raise ValueError(f"'{name}' has {array.shape[1]} Vbs entries, the Vbs axis {vbs_axis.size}")
                axes = {k: parts[k] for k in ("lengths", "vgs", "vds")}
                subs = [(TransistorLut._from_arrays(width, float(x), **axes,
                                                    **{k: np.ascontiguousarray(parts[k][:, i]) for k in _BASE}),
                         {k: np.ascontiguousarray(q[:, i]) for k, q in quantities.items()})
                        for i, x in enumerate(vbs_axis)]
                lut = subs[0][0]
        except ValueError as exc:
            raise fail(str(exc)) from exc
        config = None
        if "config_device_type" in data.files:
            optional = {k: str(get("config_" + k, "U", 0)) for k in ("model_file", "model_section")
                        if "config_" + k in data.files}
            config = LutConfig(device_type=str(get("config_device_type", "U", 0)),
                               width=float(get("config_width", "fiu", 0)),
                               lengths=tuple(float(x) for x in _triple(get("config_lengths", "fiu", 1), fail)),
                               vgs=tuple(float(x) for x in _triple(get("config_vgs", "fiu", 1), fail)),
                               vds=tuple(float(x) for x in _triple(get("config_vds", "fiu", 1), fail)),
                               vbs=float(get("config_vbs", "fiu", 0)), model_card=str(get("config_model_card", "U", 0)),
                               model_name=str(get("config_model_name", "U", 0)), **optional)
            found = _CONTROL_LINE.search(config.model_card)
            if found and not allow_control:
                what = "commands" if found.group(1).lower() in (".control", ".exec", "shell") else \
                    "a line reading another file, which may hold commands"
                raise fail(f"its stored model card holds {what} ({found.group(1)!r} line), which would run "
                           "when table.config is characterised again; inspect table files from others before "
                           "use, and pass allow_control=True to load it anyway")
        source = None
        if "source" in data.files:
            try:
                source = json.loads(str(get("source", "U", 0)))
            except ValueError as exc:
                raise fail(f"'source' is not valid JSON: {exc}") from exc
            if not isinstance(source, dict):
                raise fail(f"'source' must hold a JSON object, got {type(source).__name__}")
    return Loaded(lut, config, fail, quantities, source, vbs_axis, subs)


def _stored_shape(data: Any, key: str, fail: Any) -> Optional[Tuple[int, ...]]:
    """The shape an NPZ member's header declares; None when the member is missing (reported later)."""
    if key not in data.files:
        return None
    try:
        with data.zip.open(key + ".npy") as member:
            version = np.lib.format.read_magic(member)
            read = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
            shape, _, _ = read(member)
    except Exception as exc:  # a damaged or foreign member
        raise fail(f"'{key}' cannot be read: {exc}") from exc
    return tuple(int(n) for n in shape)


def _finite(key: str, value: np.ndarray, fail: Any, nan: bool = False) -> np.ndarray:
    """Refuses infinite values (and NaN unless ``nan``: a quantity the model left out at a point)."""
    bad = np.isinf(value) if nan else ~np.isfinite(value)
    if np.any(bad):
        raise fail(f"'{key}' holds {float(value[bad].flat[0])!r}; a table holds finite numbers")
    return value


def _triple(value: np.ndarray, fail: Any) -> np.ndarray:
    if value.shape != (3,):
        raise fail(f"a sweep must hold (start, stop, step), got shape {value.shape}")
    return value


def _load_csv(path: str, width: Optional[float], vbs: Optional[float]) -> Loaded:
    def fail(why: str) -> ValueError:
        return ValueError(f"{path}: not a valid tavlo CSV table: {why}")

    if width is None:
        raise ValueError("a CSV table does not record the transistor width: pass width=... "
                         "(the W it was characterised with)")
    with open(path, encoding="ascii", errors="replace") as f:
        header = f.readline().rstrip("\r\n")
        if header != CSV_HEADER:
            raise fail(f"the header is {header!r}, expected {CSV_HEADER!r}")
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # "input contained no data": reported below as an error
                rows = np.loadtxt(f, delimiter=",", ndmin=2, dtype=np.float64)
        except ValueError as exc:
            raise fail(str(exc)) from exc
    if rows.size == 0:
        raise fail("it has no data rows")
    if not np.all(np.isfinite(rows)):
        line = int(np.flatnonzero(~np.isfinite(rows).all(axis=1))[0]) + 2
        raise fail(f"line {line} holds a value that is not finite")
    if np.any(rows[:, 0] <= 0):
        raise fail(f"line {int(np.flatnonzero(rows[:, 0] <= 0)[0]) + 2} has a length that is not positive")
    if rows.shape[1] != 6:
        raise fail(f"rows have {rows.shape[1]} columns, expected 6")
    L, VGS, VDS = rows[:, 0], rows[:, 1], rows[:, 2]
    n = len(rows)
    new_length = np.flatnonzero(L != L[0])
    per_length = int(new_length[0]) if new_length.size else n
    new_vgs = np.flatnonzero((L[:per_length] != L[0]) | (VGS[:per_length] != VGS[0]))
    n_vds = int(new_vgs[0]) if new_vgs.size else per_length
    if per_length % n_vds or n % per_length:
        raise fail(f"{n} rows do not form a grid of lengths × Vgs × Vds points "
                   f"(first length has {per_length} rows, first Vgs {n_vds})")
    shape = (n // per_length, per_length // n_vds, n_vds)
    L3, VGS3, VDS3 = (c.reshape(shape) for c in (L, VGS, VDS))
    lengths, vgs, vds = L3[:, 0, 0], VGS3[0, :, 0], VDS3[0, 0, :]
    expected = {"L": np.broadcast_to(lengths[:, None, None], shape),
                "Vgs": np.broadcast_to(vgs[None, :, None], shape),
                "Vds": np.broadcast_to(vds[None, None, :], shape)}
    for (name, want), got in zip(expected.items(), (L3, VGS3, VDS3), strict=True):
        wrong = np.flatnonzero((got != want).ravel())
        if wrong.size:
            r = int(wrong[0])
            raise fail(f"line {r + 2} has {name}={got.flat[r]:g}, expected {want.flat[r]:g}: rows must run "
                       "over L, then Vgs, then Vds, as to_csv writes them")
    tables = {name: rows[:, 3 + k].reshape(shape) for k, name in enumerate(_BASE)}
    lut = TransistorLut._from_arrays(float(width), math.nan if vbs is None else float(vbs),
                                     lengths, vgs, vds, **tables)
    return Loaded(lut, None, fail, {}, None)
