"""tavlo: parallel ngspice, MOS transistor characterisation and gm/Id sizing."""

from . import tavlo as _native

# Re-export every native name, the internal ones included.
for _name in ("_SimulationPool", "LutConfig", "TransistorLut", "SimulationResult", "DesignResult", "_run_worker"):
    if hasattr(_native, _name):
        globals()[_name] = getattr(_native, _name)
del _name

from ._pool import SimulationPool  # noqa: E402
