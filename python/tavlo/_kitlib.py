"""The netlist lines that load a device's models: the reduced library where it can be built.

A process kit's full library costs ngspice seconds and hundreds of MB to parse for one transistor;
the part the transistor reaches costs a fraction of that and gives the same answers. The reduced
deck is built once per process (kept in memory) and once per library content (kept on disk, so a
new process does not scan the kit again). Where the reducer is not certain, the full library is
loaded as before.
"""

from __future__ import annotations

import hashlib
import json
import os
import tempfile
import threading
from typing import Dict, List, Optional, Tuple

from ._device import Device
from ._kitreduce import Reduction, Unsure, reduce_library, resolve

__all__ = ["model_lines", "full_lines", "cache_dir"]

# Part of every key: a deck written by another reducer version is never read.
_VERSION = "1"
_lock = threading.Lock()
# (model, model files, working directory) -> (stat of every file read, outcome)
_memory: Dict[Tuple, Tuple[Optional[Tuple], Reduction]] = {}


def full_lines(device: Device) -> List[str]:
    """The full library, as the device's model files name it."""
    return [m.netlist_line() for m in device.models]


def cache_dir() -> str:
    """``$TAVLO_CACHE_DIR``, else ``$XDG_CACHE_HOME/tavlo``, else ``~/.cache/tavlo``."""
    if os.environ.get("TAVLO_CACHE_DIR"):
        return os.path.abspath(os.environ["TAVLO_CACHE_DIR"])
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(os.path.abspath(base), "tavlo")


def _hash(*parts: str) -> str:
    return hashlib.sha256("\0".join(parts).encode("utf-8", "surrogateescape")).hexdigest()


def _stats(paths) -> Optional[Tuple]:
    try:
        return tuple((p, s.st_mtime_ns, s.st_size, s.st_ino) for p in sorted(paths) for s in [os.stat(p)])
    except OSError:
        return None


def _file_hash(path: str) -> Optional[str]:
    try:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except OSError:
        return None


def _spiceinit_changes_reading() -> bool:
    """A .spiceinit may set a source path or another dialect, which changes how files are found
    and read: then only the full library is certain."""
    for folder in (os.getcwd(), os.path.expanduser("~")):
        try:
            with open(os.path.join(folder, ".spiceinit"), encoding="latin-1") as f:
                text = f.read().lower()
        except OSError:
            continue
        if "sourcepath" in text or "ngbehavior" in text:
            return True
    return False


def _write_atomic(path: str, text: str) -> None:
    """Write beside the target and rename over it: a reader sees the old file or the whole new one."""
    folder = os.path.dirname(path)
    os.makedirs(folder, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".tmp-")
    try:
        # The kit's own lines came in as latin-1 and go out byte for byte; only the header comment,
        # which names the files, may hold other characters.
        with os.fdopen(fd, "w", encoding="latin-1", errors="backslashreplace", newline="\n") as f:
            f.write(text)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _index_path(root: str, device: Device) -> str:
    sources = [f"{m.path}\0{m.section or ''}" for m in device.models]
    return os.path.join(root, "index", _hash(_VERSION, device.model.lower(), os.getcwd(), *sources) + ".json")


def _deck_path(root: str, device: Device, red: Reduction) -> str:
    """Named by what it was built from: the model name, the sections and every file's content."""
    parts = [_VERSION, device.model.lower()] + [m.section or "" for m in device.models]
    parts += [f"{p}\0{h}" for p, h in sorted(red.files.items())]
    parts += ["\0".join(r) for r in red.resolutions]
    return os.path.join(root, "decks", _hash(*parts) + ".spice")


def _still_resolves(resolutions: List[Tuple[str, str, str]]) -> bool:
    return all(resolve(name, folder) == found for name, folder, found in resolutions)


def _from_disk(root: str, device: Device) -> Optional[Reduction]:
    """The cached outcome (``text`` empty: the full library) while every file read still has its
    content and every name still resolves where it did; None otherwise."""
    try:
        with open(_index_path(root, device), encoding="utf-8") as f:
            entry = json.load(f)
        files, resolutions, deck = entry["files"], [tuple(r) for r in entry["resolutions"]], entry["deck"]
    except (OSError, ValueError, KeyError, TypeError):
        return None
    if not _still_resolves(resolutions) or any(_file_hash(p) != h for p, h in files.items()):
        return None
    if deck is not None and not os.path.isfile(deck):
        return None
    return Reduction(deck or "", files, resolutions)


def _build(root: str, device: Device) -> Reduction:
    """Scan the library, write the deck and its index entry; ``text`` is the deck's path, or empty
    where only the full library is certain."""
    try:
        red = reduce_library(device)
        deck: Optional[str] = _deck_path(root, device, red)
    except Unsure as exc:
        # Remembered like a deck: the next process does not scan a library it cannot reduce.
        red, deck = Reduction("", exc.files, exc.resolutions), None
    if deck is not None and any(c.isspace() for c in deck):
        deck = None  # ngspice cuts a file name at the first blank
    try:
        if deck is not None and not os.path.isfile(deck):
            _write_atomic(deck, red.text)
        entry = {"files": red.files, "resolutions": red.resolutions, "deck": deck}
        _write_atomic(_index_path(root, device), json.dumps(entry))
    except OSError:
        deck = None  # nowhere to write it: the full library is slower but as right
    return Reduction(deck or "", red.files, red.resolutions)


def model_lines(device: Device) -> List[str]:
    """The netlist lines that load ``device``'s models: one ``.include`` of the reduced library the
    instance reaches, or the full library's lines where the reducer cannot be certain."""
    if _spiceinit_changes_reading():
        return full_lines(device)
    key = (device.model.lower(), tuple((m.path, m.section) for m in device.models), os.getcwd())
    with _lock:
        known = _memory.get(key)
        if known is not None:
            stats, red = known
            if (_stats(red.files) == stats and _still_resolves(red.resolutions)
                    and (not red.text or os.path.isfile(red.text))):
                return [f".include {red.text}"] if red.text else full_lines(device)
        root = cache_dir()
        red = _from_disk(root, device) or _build(root, device)
        _memory[key] = (_stats(red.files), red)
        return [f".include {red.text}"] if red.text else full_lines(device)
