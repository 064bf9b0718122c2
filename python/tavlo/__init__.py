"""tavlo: parallel ngspice, MOS transistor characterisation and gm/Id sizing."""

from typing import TYPE_CHECKING as _TYPE_CHECKING

from . import tavlo as _native  # noqa: F401 - the native module, as tavlo._native

# Every native name is re-exported, the internal ones included.
from .tavlo import (  # noqa: F401
    DesignResult,
    LutConfig,
    SimulationResult,
    TransistorLut,
    _run_worker,
    _SimulationPool,
)

__all__ = ["SimulationPool", "LutConfig", "TransistorLut", "SimulationResult", "DesignResult", "MosTable",
           "load_table", "Device", "ModelFile", "VerifiedSizing", "pdk"]

# Loaded on first use: they import NumPy, which a worker process (importing tavlo._worker) never needs.
_LAZY = {"SimulationPool": "._pool", "MosTable": "._table", "load_table": "._table", "Device": "._device",
         "ModelFile": "._device", "VerifiedSizing": "._verify"}

if _TYPE_CHECKING:
    from . import pdk
    from ._pool import SimulationPool
    from ._device import Device, ModelFile
    from ._table import MosTable, load_table
    from ._verify import VerifiedSizing


def __getattr__(name: str) -> object:
    if name == "pdk":
        import importlib

        value = importlib.import_module(".pdk", __name__)
        globals()[name] = value
        return value
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(_LAZY[name], __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'tavlo' has no attribute {name!r}")


def __dir__() -> list:
    return sorted(set(globals()) | set(_LAZY) | {"pdk"})
