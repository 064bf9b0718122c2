"""The user-facing simulation pool around the native ``_SimulationPool``."""

from __future__ import annotations

import atexit
import contextlib
import os
import sys
import sysconfig
import threading
import weakref
from typing import TYPE_CHECKING, Any, Iterator, Mapping, Optional, Sequence

from .tavlo import LutConfig, SimulationResult, _SimulationPool

if TYPE_CHECKING:
    from ._device import Device
    from ._table import MosTable

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
    max_requests_per_worker : int
        A worker is replaced, invisibly, after this many requests (0: never).
    max_memory_growth : int
        ... or once its resident memory has grown this many bytes over its size after its first
        request (0: never): ngspice keeps a little memory per failing netlist, and a huge
        request leaves a large heap behind.

    Closing the pool prints nothing; faults (a crash, a time-out, a respawn) are reported on
    standard error as ``[pool] worker N: ...`` lines.

    Examples
    --------
    >>> with SimulationPool() as pool:                      # doctest: +SKIP
    ...     result = pool.run_simulation(netlist, ["run"])
    ...     vout = result.vector("v(out)")
    """

    def __init__(self, workers: Optional[int] = None, timeout_secs: float = 120.0,
                 worker_exe: Optional[str] = None, *, max_requests_per_worker: int = 10000,
                 max_memory_growth: int = 256 << 20) -> None:
        if worker_exe is None:
            worker_exe = installed_worker()
        self._pool: Optional[_SimulationPool] = _SimulationPool(
            workers, timeout_secs, worker_exe, max_requests_per_worker=max_requests_per_worker,
            max_memory_growth=max_memory_growth, log_close=False)
        self._workers = workers if workers is not None else len(os.sched_getaffinity(0))
        _open_pools.add(self)

    def _native(self) -> _SimulationPool:
        if self._pool is None:
            raise RuntimeError("this SimulationPool is closed; create a new one")
        return self._pool

    @property
    def workers(self) -> int:
        """The number of worker processes."""
        return self._workers

    def run_simulation(self, netlist: str, commands: Sequence[str], id: Optional[str] = None, *,
                       params: Optional[Mapping[str, float]] = None,
                       return_vectors: Optional[Sequence[str]] = None) -> SimulationResult:
        """Run a SPICE netlist (ending with ``.end``) and return its :class:`SimulationResult`.

        ``params`` sets ``.param`` values with ``alterparam`` before the commands; such a request
        may run on a worker's already parsed copy of the same netlist (the parameters set again,
        then ``reset``) instead of parsing it again, which is how loops over one large netlist or
        model library stay fast. ``return_vectors`` limits the vectors sent back.
        """
        return self._native().run_simulation(netlist, commands, id, params=params, return_vectors=return_vectors)

    def generate_lut(self, config: LutConfig, n_chunks: Optional[int] = None, *,
                     progress: Optional[bool] = None) -> "MosTable":
        """Characterise the transistor described by ``config`` into a :class:`MosTable`.

        Every (length, Vgs chunk) job runs on the pool's workers at once.

        Parameters
        ----------
        config : LutConfig
            Device, model and sweeps.
        n_chunks : int, optional
            Number of Vgs chunks per length; by default about 50 000 points per chunk, at least
            one chunk per worker.
        progress : bool, optional
            Show an elapsed-time indicator while the characterisation runs (needs tqdm; the
            characterisation reports no per-job completions, so it is not a percentage). By
            default it appears when tqdm is installed and standard error is a terminal or a
            notebook; True insists on it, False never shows it. The two summary lines on standard
            output appear either way.
        """
        from ._table import MosTable

        pool = self._native()
        if not isinstance(config, LutConfig):
            raise TypeError(f"config must be a LutConfig, got {type(config).__name__}")
        with _elapsed_indicator(progress):
            lut = pool.generate_lut(config, n_chunks)
        return MosTable(lut, config)

    def characterise(self, device: "Device", **kw: Any) -> "MosTable":
        """Characterise a process-kit transistor into a :class:`MosTable`.

        Parameters
        ----------
        device : Device
            The transistor, e.g. ``tavlo.pdk.sky130("nfet_01v8")``.
        lengths : list or (start, stop, step), optional
            Gate lengths (m); a list may be uneven. Default: the device's smallest length.
        vgs, vds : (start, stop, step), optional
            Sweeps (V); default 0 to the device's supply. For a PMOS give magnitudes: the device
            is biased with the voltages negated and the table reads like an NMOS one (positive
            voltages and the current out of the drain).
        vbs : float
            Body-source voltage (V), mirrored like the others for a PMOS.
        temperature : float, optional
            °C; default the device's.
        n_chunks : int, optional
            Vgs chunks per length; by default enough to keep every worker busy.
        width : float
            Gate width of the characterised device (m).

        The table records where it came from in ``table.source`` (device, corner, temperature,
        model files).
        """
        from ._characterise import characterise

        self._native()
        return characterise(self, device, **kw)

    def close(self) -> None:
        """Stop the pool: every worker process ends, busy or not. Safe to call more than once."""
        pool, self._pool = self._pool, None
        if pool is not None:
            pool.close()

    def __enter__(self) -> "SimulationPool":
        self._native()
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __repr__(self) -> str:
        return "SimulationPool(closed)" if self._pool is None else repr(self._pool)


# Pools still open when the interpreter exits are closed while it can still run their clean-up,
# so that no worker outlives the program, busy or not.
_open_pools: "weakref.WeakSet[SimulationPool]" = weakref.WeakSet()


@atexit.register
def _close_open_pools() -> None:
    for pool in list(_open_pools):
        pool.close()


def _in_notebook() -> bool:
    ipython = sys.modules.get("IPython")
    shell = ipython.get_ipython() if ipython is not None else None
    return getattr(shell, "kernel", None) is not None


class _BarStream:
    """stderr for the indicator: the cursor goes back to the line start after each redraw, so the
    native summary line that ends the call overwrites the indicator instead of trailing it."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream

    def write(self, text: str) -> None:
        self._stream.write(text + "\r" if text and not text.endswith("\n") else text)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


@contextlib.contextmanager
def _elapsed_indicator(progress: Optional[bool]) -> Iterator[None]:
    if progress is not None and not isinstance(progress, bool):
        raise TypeError(f"progress must be True, False or None, got {progress!r}")
    if progress is False:
        yield
        return
    try:
        from tqdm.auto import tqdm
    except ImportError:
        if progress:
            raise ImportError("progress=True needs tqdm; install it with: pip install tqdm") from None
        yield
        return
    notebook = _in_notebook()
    if progress is None and not (notebook or sys.stderr.isatty()):
        yield
        return
    # The native call blocks this thread with the interpreter lock released; a helper thread redraws.
    bar = tqdm(total=None, desc="characterising", bar_format="{desc} {elapsed}", leave=False,
               file=None if notebook else _BarStream(sys.stderr))
    stop = threading.Event()

    def redraw() -> None:
        while not stop.wait(0.25):
            bar.refresh()

    ticker = threading.Thread(target=redraw, name="tavlo-progress", daemon=True)
    ticker.start()
    try:
        yield
    finally:
        stop.set()
        ticker.join()
        bar.close()
