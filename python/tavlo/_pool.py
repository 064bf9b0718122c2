"""The user-facing simulation pool around the native ``_SimulationPool``."""

from __future__ import annotations

import asyncio
import atexit
import concurrent.futures as cf
import concurrent.futures.thread  # noqa: F401 - registers its exit join before _drop_waiting_requests
import os
import sysconfig
import threading
import weakref
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Union

from . import _characterise, _kitset, _verify
from ._batch import run_batch
from ._device import Device
from ._progress import Progress, ProgressArg, check_progress, require_tqdm
from ._table import MosTable
from ._verify import VerifiedSizing
from ._verify_start import default_table
from .tavlo import LutConfig, SimulationResult, _SimulationPool

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
        # Threads for submit, map and run_async: twice the workers keeps every worker fed while
        # the native pool queues the next request; the rest wait here, where they can be cancelled.
        self._executor: Optional[cf.ThreadPoolExecutor] = None
        self._executor_lock = threading.Lock()
        self._sizing_tables: dict = {}
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

    def _threads(self) -> cf.ThreadPoolExecutor:
        with self._executor_lock:
            self._native()
            if self._executor is None:
                self._executor = cf.ThreadPoolExecutor(max_workers=2 * self._workers,
                                                       thread_name_prefix="tavlo-pool")
            return self._executor

    def _run_open(self, netlist: str, commands: Sequence[str], id: Optional[str],
                  params: Optional[Mapping[str, float]],
                  return_vectors: Optional[Sequence[str]]) -> SimulationResult:
        return self._native().run_simulation(netlist, commands, id, params=params, return_vectors=return_vectors)

    def submit(self, netlist: str, commands: Sequence[str], id: Optional[str] = None, *,
               params: Optional[Mapping[str, float]] = None,
               return_vectors: Optional[Sequence[str]] = None) -> "cf.Future[SimulationResult]":
        """Start :meth:`run_simulation` in the background and return its ``concurrent.futures.Future``.

        At most twice as many requests as there are workers are handed to the pool at once; the
        others wait, and ``future.cancel()`` drops one that has not started. Closing the pool
        cancels every waiting request; those already running fail with ``RuntimeError``.
        """
        return self._threads().submit(self._run_open, netlist, commands, id, params, return_vectors)

    async def run_async(self, netlist: str, commands: Sequence[str], id: Optional[str] = None, *,
                        params: Optional[Mapping[str, float]] = None,
                        return_vectors: Optional[Sequence[str]] = None) -> SimulationResult:
        """:meth:`run_simulation` for asyncio code (``await pool.run_async(...)``, also in a
        Jupyter cell): the event loop keeps running while the simulation does, and cancelling the
        awaiting task drops the request if it has not started."""
        future = self.submit(netlist, commands, id, params=params, return_vectors=return_vectors)
        return await asyncio.wrap_future(future)

    def map(self, netlists: Union[str, Sequence[str]], commands: Sequence[str], *,
            params: Union[None, Mapping[str, float], Sequence[Mapping[str, float]]] = None,
            return_vectors: Optional[Sequence[str]] = None, return_exceptions: bool = False,
            progress: ProgressArg = None) -> List[Any]:
        """Run a batch and return its results in input order.

        Either a list of netlists (``params`` then one mapping for all of them, or one per
        netlist) or one netlist with a list of parameter sets in ``params``, which each worker
        parses once and only re-parameterises afterwards. Every item runs ``commands``.

        A netlist ngspice rejects is a result with ``success`` False like any other. A request
        the pool fails (time-out, crash) raises: by default the first such failure raises here
        once the requests that have not started are cancelled; with ``return_exceptions=True``
        every item runs and a failed one is its exception object in the returned list.

        ``progress``: a bar with the count, rate and time left (tqdm; by default only when
        standard error is a terminal or a notebook), ``False`` for none, or a
        ``callable(done, total)`` called as each item finishes, on the thread that called
        ``map`` (so it may run work on this pool itself). Ctrl-C cancels the requests that have
        not started and raises ``KeyboardInterrupt``.
        """
        return run_batch(self._threads, self._run_open, netlists, commands, params=params,
                         return_vectors=return_vectors, return_exceptions=return_exceptions, progress=progress)

    def generate_lut(self, config: LutConfig, n_chunks: Optional[int] = None, *,
                     progress: ProgressArg = None) -> MosTable:
        """Characterise the transistor described by ``config`` into a :class:`MosTable`.

        Every (length, Vgs chunk) job runs on the pool's workers at once.

        Parameters
        ----------
        config : LutConfig
            Device, model and sweeps.
        n_chunks : int, optional
            Number of Vgs chunks per length; by default about 50 000 points per chunk, with
            lengths × chunks a multiple of the workers (so at least one job per worker).
        progress : bool or callable, optional
            A bar of the jobs completed, with their rate and the time left (tqdm), as the jobs
            complete. By default it appears when tqdm is installed and standard error is a
            terminal or a notebook; True insists on it, False never shows it; a
            ``callable(done, total)`` gets the counts instead. The two summary lines on standard
            output appear either way.
        """
        pool = self._native()
        if not isinstance(config, LutConfig):
            raise TypeError(f"config must be a LutConfig, got {type(config).__name__}")
        check_progress(progress)
        if progress is True:
            require_tqdm()
        shown: List[Progress] = []

        def report(done: int, total: int) -> None:
            if not shown:  # the job count is known once the native call has planned the jobs
                shown.append(Progress(progress, total, "characterising"))
            shown[0].advance(done - shown[0].done)
            if shown[0].error is not None:
                raise shown[0].error

        try:
            lut = pool.generate_lut(config, n_chunks, progress=report if progress is not False else None)
        finally:
            for bar in shown:
                bar._stop()
        return MosTable(lut, config)

    def characterise(self, device: Device, **kw: Any) -> MosTable:
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
        vbs : float, (start, stop, step) or list, optional
            Body-source voltage (V), default 0, mirrored like the others for a PMOS. A sweep (a
            tuple of three or a list of values) gives a table over L × Vbs × Vgs × Vds whose
            lookups and ``design`` take ``vbs=``; one value keeps the table 3-D.
        vsb : same forms, optional
            The body bias as the designer's source-bulk voltage instead, vsb = -vbs (positive is
            reverse bias, for a PMOS too).
        temperature : float, optional
            °C; default the device's.
        n_chunks : int, optional
            Vgs chunks per length; by default about 50 000 points a job, with lengths × chunks a
            multiple of the workers so that none sits idle in the last round.
        width : float
            Gate width of the characterised device (m).
        progress : bool or callable, optional
            Completed jobs as they complete: a tqdm bar with the rate and time left (by default
            only when tqdm is installed and standard error is a terminal or a notebook), False
            for nothing, or a ``callable(done, total)`` called from the pool's threads, one call
            at a time; no job waits for it, and it may run work on this pool itself.

        The table records where it came from in ``table.source`` (device, corner, temperature,
        model files).
        """
        self._native()
        return _characterise.characterise(self, device, **kw)

    def characterise_set(self, devices: Iterable[Device], temperatures: Optional[Iterable[float]] = None, *,
                         progress: ProgressArg = None, **kw: Any) -> Dict[_kitset.SetKey, MosTable]:
        """Characterise every device at every temperature into a dict keyed by
        ``(device name, corner, temperature)``, as ``tavlo.distributed.characterise_set`` does on a
        cluster.

        ``devices``: e.g. ``[pdk.sky130(d, corner=c) for d in ("nfet_01v8", "pfet_01v8") for c in
        ("tt", "ff")]``; ``temperatures`` in °C, default each device's own. The other keywords are
        those of :meth:`characterise`, the same for every table. Every argument is checked before
        anything runs; all or nothing: a failing table raises and no table is returned.
        ``progress`` counts the jobs of the whole set. The tables run one after another, each on
        every worker, so that each worker parses each table's library once.
        """
        self._native()
        return _kitset.characterise_set(self, devices, temperatures, progress=progress, **kw)

    def size(self, device: Device, *, gm_id: float, ids: float, l: Any = None, gain: Optional[float] = None,
             vds: Optional[float] = None, vbs: Optional[float] = None, vsb: Optional[float] = None,
             table: Optional[MosTable] = None, temperature: Optional[float] = None,
             max_simulations: int = 12) -> VerifiedSizing:
        """Size a transistor from a table, then correct W and Vgs by simulating it.

        The table's ``design`` gives the start (W, L, Vgs); the sized device is then simulated at
        its operating point with the kit's models, and W (Id scales about linearly with it) and
        Vgs (Newton then secant steps on gm/Id) are corrected until the simulated Id is within
        0.5 % and gm/Id within 1 % of the targets. With a ``gain`` target L is corrected too,
        until the simulated gain is within 2 %.

        Parameters
        ----------
        device : Device
            The transistor, e.g. ``tavlo.pdk.sky130("nfet_01v8")``.
        gm_id, ids : float
            Targets: gm/Id (1/V) and drain current (A, a magnitude for a PMOS).
        l : float or sequence, optional
            The length (m), between the table's grid lengths too, or candidate lengths. Without
            ``l`` or ``gain``: the shortest length reaching the gm/Id.
        gain : float, optional
            Intrinsic gain gm/gds; the length is chosen to meet it. Not with one ``l``.
        vds : float, optional
            Drain-source voltage (V, a magnitude for a PMOS); default half the supply.
        vbs, vsb : float, optional
            Body bias, vsb = -vbs (positive vsb is reverse bias, for a PMOS too); default 0.
        table : MosTable, optional
            The table to start from. By default one is characterised for the device (lengths
            l_min to 16 l_min, the given length too) and kept on this pool per device,
            temperature and body bias. A given table must be of the device's polarity, and
            characterised at the asked body bias (one Vbs) or over a Vbs sweep that spans it.
        temperature : float, optional
            °C; default the table's, else the device's.
        max_simulations : int
            Simulations allowed before giving up.

        Returns
        -------
        VerifiedSizing
            Total W, L, Vgs, the split (``m`` parallel devices, or ``nf`` fingers when the device's
            ``params`` name ``nf``) once W exceeds ``device.w_max``, the simulated Id, gm, gds,
            gm/Id, gain, fT, vdsat and Vth, the table's estimate and the number of simulations.

        Raises
        ------
        ValueError
            For a target that cannot be met, naming it and why (a gm/Id above the device's
            weak-inversion peak, a W outside the model bins, ...), a table of the other polarity
            or of another body bias, or a bad argument.
        """
        self._native()
        return _verify.size(self, device, gm_id=gm_id, ids=ids, l=l, gain=gain, vds=vds, vbs=vbs, vsb=vsb,
                            table=table, temperature=temperature, max_simulations=max_simulations,
                            table_for=self._sizing_table)

    def _sizing_table(self, device: Device, temperature: float, vbs: float, lengths: tuple) -> MosTable:
        """The table ``size`` starts from, characterised once per device, temperature, Vbs and lengths."""
        key = (device, temperature, vbs, lengths)
        with self._executor_lock:
            table = self._sizing_tables.get(key)
        if table is None:
            table = default_table(self, device, temperature, vbs, lengths)
            with self._executor_lock:
                table = self._sizing_tables.setdefault(key, table)
        return table

    def close(self) -> None:
        """Stop the pool: every worker process ends, busy or not. Safe to call more than once."""
        with self._executor_lock:
            pool, self._pool = self._pool, None
            threads, self._executor = self._executor, None
        if threads is not None:
            # Waiting requests never start; running ones end when their workers do, just below.
            threads.shutdown(wait=False, cancel_futures=True)
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


def _drop_waiting_requests() -> None:
    for pool in list(_open_pools):
        with pool._executor_lock:
            threads = pool._executor
        if threads is not None:
            threads.shutdown(wait=False, cancel_futures=True)


# At exit the interpreter joins the executors' threads before atexit handlers run, which would
# first run every request still waiting; these hooks run before that join (later ones first).
_register_thread_exit = getattr(threading, "_register_atexit", None)
if _register_thread_exit is not None:
    _register_thread_exit(_drop_waiting_requests)

