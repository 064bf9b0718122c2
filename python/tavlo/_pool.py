"""The user-facing simulation pool around the native ``_SimulationPool``."""

from __future__ import annotations

import os
import sysconfig
from typing import Optional, Sequence

from .tavlo import _SimulationPool

__all__ = ["SimulationPool", "installed_worker"]


def installed_worker() -> Optional[str]:
    """The ``ngspice-worker`` installed with this package, or None to let the native search decide.

    The scripts directory of the running interpreter's installation is found even when a virtual
    environment was never activated; ``NGSPICE_WORKER_BIN`` still wins.
    """
    if os.environ.get("NGSPICE_WORKER_BIN"):
        return None
    candidate = os.path.join(sysconfig.get_path("scripts"), "ngspice-worker")
    return candidate if os.path.exists(candidate) else None


class SimulationPool:
    """A pool of ngspice worker processes with a synchronous API.

    Parameters
    ----------
    workers : int, optional
        Number of worker processes; defaults to the number of available CPU cores.
    timeout_secs : float
        Time-out for each answer, in seconds.
    worker_exe : str, optional
        Worker executable; by default the ``ngspice-worker`` installed with tavlo.

    Examples
    --------
    >>> with SimulationPool() as pool:                      # doctest: +SKIP
    ...     result = pool.run_simulation(netlist, ["run"])
    ...     vout = result.vector("v(out)")
    """

    def __init__(self, workers: Optional[int] = None, timeout_secs: float = 120.0,
                 worker_exe: Optional[str] = None) -> None:
        if worker_exe is None:
            worker_exe = installed_worker()
        self._pool: Optional[_SimulationPool] = _SimulationPool(workers, timeout_secs, worker_exe)
        self._workers = workers if workers is not None else len(os.sched_getaffinity(0))

    def _native(self) -> _SimulationPool:
        if self._pool is None:
            raise RuntimeError("this SimulationPool is closed; create a new one")
        return self._pool

    @property
    def workers(self) -> int:
        """The number of worker processes."""
        return self._workers

    def run_simulation(self, netlist: str, commands: Sequence[str], id: Optional[str] = None):
        """Run a SPICE netlist (ending with ``.end``) and return its :class:`SimulationResult`."""
        return self._native().run_simulation(netlist, commands, id)

    def generate_lut(self, config, n_chunks: Optional[int] = None):
        """Characterise the transistor described by ``config`` (a :class:`LutConfig`)."""
        return self._native().generate_lut(config, n_chunks)

    def close(self) -> None:
        """Stop the workers. Safe to call more than once."""
        self._pool = None

    def __enter__(self) -> "SimulationPool":
        self._native()
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self) -> str:
        return "SimulationPool(closed)" if self._pool is None else repr(self._pool)
