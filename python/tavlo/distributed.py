"""Characterisations and simulation batches on a Dask cluster (``pip install 'tavlo[dask]'``).

The same work as a local :class:`~tavlo.SimulationPool`, on the workers of a
``dask.distributed.Client``: Dask schedules, reruns the tasks of a worker that is lost and shows
them on its dashboard; tavlo runs ngspice. Each Dask worker keeps one tavlo pool, sized to its
threads, from its first task until it closes, so a worker parses a model library once however
many tasks it runs. Tasks return NumPy arrays and plain data, never native tavlo objects.

>>> from dask.distributed import Client                               # doctest: +SKIP
>>> client = Client("scheduler-address:8786")                         # doctest: +SKIP
>>> table = tavlo.distributed.characterise(client, pdk.sky130("nfet_01v8"), lengths=[0.15e-6, 1e-6])  # doctest: +SKIP
"""

from __future__ import annotations

import concurrent.futures as cf
import math
import re
import threading
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
try:
    from dask.base import tokenize
    from distributed import Client, Future, WorkerPlugin, as_completed, get_worker
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError(f"tavlo.distributed needs Dask: pip install 'tavlo[dask]' ({exc})") from exc

from ._characterise import Job, Plan, assemble, run_job
from ._kitset import plan_set
from ._device import Device
from ._batch import batch_items
from ._pool import SimulationPool
from ._progress import Progress, ProgressArg, check_progress

if TYPE_CHECKING:
    from ._table import MosTable

__all__ = ["characterise", "characterise_set", "map", "setup", "Result", "PoolPlugin"]

_PLUGIN = "tavlo-pool"


class PoolPlugin(WorkerPlugin):
    """One tavlo :class:`~tavlo.SimulationPool` per Dask worker, with one ngspice process per
    worker thread: started by the first task that needs it and closed, with its processes, when
    the Dask worker closes."""

    name = _PLUGIN

    def __init__(self, timeout_secs: float = 120.0, worker_exe: Optional[str] = None) -> None:
        self.timeout_secs = float(timeout_secs)
        self.worker_exe = worker_exe
        self._init_state()

    def _init_state(self) -> None:
        self._pool: Optional[SimulationPool] = None
        self._threads = 1
        self._lock = threading.Lock()

    def __getstate__(self) -> Dict[str, Any]:
        return {"timeout_secs": self.timeout_secs, "worker_exe": self.worker_exe}

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._init_state()

    def setup(self, worker: Any) -> None:
        self._threads = max(int(worker.state.nthreads), 1)

    def teardown(self, worker: Any) -> None:
        with self._lock:
            pool, self._pool = self._pool, None
        if pool is not None:
            pool.close()

    def pool(self) -> SimulationPool:
        with self._lock:
            if self._pool is None:
                self._pool = SimulationPool(self._threads, self.timeout_secs, self.worker_exe)
            return self._pool


def setup(client: Client, *, timeout_secs: float = 120.0, worker_exe: Optional[str] = None) -> None:
    """Set the per-worker pools' time-out per simulation and worker executable (optional: the
    first call that runs work sets the defaults). Pools already started are closed, busy or not,
    and started again with the new settings on their next task."""
    _check_client(client)
    if not (isinstance(timeout_secs, (int, float)) and not isinstance(timeout_secs, bool)
            and math.isfinite(timeout_secs) and timeout_secs > 0):
        raise ValueError(f"timeout_secs must be a positive number of seconds, got {timeout_secs!r}")
    client.register_plugin(PoolPlugin(timeout_secs, worker_exe), name=_PLUGIN)


def _check_client(client: Any) -> None:
    if not isinstance(client, Client):
        raise TypeError(f"client must be a dask.distributed.Client, got {type(client).__name__}")


def _ensure_pools(client: Client) -> None:
    # Registered once per scheduler, which also installs it on workers that join later; an
    # idempotent plugin leaves one already registered (and its pools) as it is.
    plugin = PoolPlugin()
    plugin.idempotent = True
    client.register_plugin(plugin, name=_PLUGIN)


def _worker_pool() -> SimulationPool:
    plugin = get_worker().plugins.get(_PLUGIN)
    if plugin is None:  # a worker started without the plugin and not told about it
        raise RuntimeError("this Dask worker has no tavlo pool: run the work through tavlo.distributed")
    return plugin.pool()


# -- what runs on the workers ---------------------------------------------------------------------

def _characterise_job(job: Job) -> Tuple[np.ndarray, Dict[str, np.ndarray]]:
    return run_job(_worker_pool().run_simulation, job)


def _characterise_jobs(jobs: List[Job]) -> List[Tuple[np.ndarray, Dict[str, np.ndarray]]]:
    """A whole table on this worker's pool, its jobs in parallel on the pool's processes."""
    pool = _worker_pool()
    with cf.ThreadPoolExecutor(max_workers=pool.workers, thread_name_prefix="tavlo-dask") as threads:
        futures = [threads.submit(run_job, pool.run_simulation, job) for job in jobs]
        try:
            return [f.result() for f in futures]
        finally:
            for f in futures:  # a failure leaves the rest unstarted
                f.cancel()


@dataclass(frozen=True)
class Result:
    """A simulation's result as plain data: what :class:`~tavlo.SimulationResult` holds, with its
    vectors as NumPy arrays, so it pickles and outlives the pool that made it."""

    id: str
    success: bool
    error: Optional[str]
    log: List[str]
    measures: Dict[str, float]
    vectors: Dict[str, np.ndarray]
    complex_vectors: Dict[str, np.ndarray] = field(default_factory=dict)

    @classmethod
    def of(cls, result: Any) -> "Result":
        complex_vectors = {}
        for name in result.vector_names():
            try:
                complex_vectors[name] = result.complex_vector(name)
            except ValueError:  # a real vector
                pass
        return cls(result.id, result.success, result.error, list(result.log), dict(result.measures),
                   result.vectors_dict(), complex_vectors)

    def _name(self, name: str) -> str:
        # The names SimulationResult.vector accepts: any case, v(node) for node, i(src) for src#branch.
        found = {n.lower(): n for n in self.vectors}
        key = name.lower()
        wrapped = len(key) >= 3 and key[1] == "(" and key.endswith(")")
        for candidate in (key, *((key[2:-1],) if wrapped and key[0] == "v" else ()),
                          *((key[2:-1] + "#branch",) if wrapped and key[0] == "i" else (f"v({key})",))):
            if candidate in found:
                return found[candidate]
        raise KeyError(f"vector {name!r} not found; available: {', '.join(map(repr, self.vectors))}")

    def vector(self, name: str) -> np.ndarray:
        """A vector as a 1-D float64 array (the real part of an AC one); names as for
        :meth:`SimulationResult.vector <tavlo.SimulationResult.vector>`."""
        return self.vectors[self._name(name)]

    def complex_vector(self, name: str) -> np.ndarray:
        """An AC vector as a 1-D complex128 array."""
        key = self._name(name)
        if key not in self.complex_vectors:
            raise ValueError(f"vector {name!r} has no complex data (not an AC analysis result)")
        return self.complex_vectors[key]

    def vector_names(self) -> List[str]:
        return list(self.vectors)

    def vectors_dict(self) -> Dict[str, np.ndarray]:
        return dict(self.vectors)

    def __repr__(self) -> str:
        return f"Result(id={self.id!r}, success={self.success}, vectors={len(self.vectors)})"


def _simulate(netlist: str, commands: List[str], id: str, params: Optional[Dict[str, float]],
              return_vectors: Optional[List[str]]) -> Result:
    result = _worker_pool().run_simulation(netlist, commands, id, params=params, return_vectors=return_vectors)
    return Result.of(result)


# -- the client side ------------------------------------------------------------------------------

def _label(text: str) -> str:
    """A task-key part: Dask's dashboard groups tasks by the key's leading alphanumeric words."""
    return re.sub(r"[^A-Za-z0-9_.]+", "_", text).strip("_")


def _table_name(p: Plan) -> str:
    device = p.device
    parts = ["characterise", device.name or device.model, device.corner or "", f"{p.temperature:g}C"]
    return _label("_".join(x for x in parts if x))


def _submit_plan(client: Client, p: Plan, retries: int, priority: int, whole: bool) -> List[Future]:
    # Pure, content-named tasks: a rerun after a lost worker computes the same thing, and the key
    # says which device, corner, temperature, length and Vgs rows it is.
    name = _table_name(p)
    if whole:
        token = tokenize([(j.netlist, j.params, j.commands, j.return_vectors) for j in p.jobs])
        key = f"{name}-{len(p.jobs)}_jobs-{token}"
        return [client.submit(_characterise_jobs, p.jobs, key=key, pure=True, retries=retries, priority=priority)]
    futures = []
    for job in p.jobs:
        bi, li, first, stop = job.index
        key = (f"{name}-L{p.lengths[li]:.4g}-Vbs{p.vbs_values[bi]:.3g}-Vgs{first}_{stop}-"
               f"{tokenize(job.netlist, job.params, job.commands, job.return_vectors)}")
        futures.append(client.submit(_characterise_job, job, key=key, pure=True, retries=retries, priority=priority))
    return futures


def _wait(client: Client, futures: Sequence[Future], progress: ProgressArg, desc: str,
          return_exceptions: Optional[bool]) -> List[Any]:
    """Results in the order of ``futures`` as they complete; ``return_exceptions=None`` is
    all-or-nothing: the first failure cancels the rest and raises."""
    results: List[Any] = [None] * len(futures)
    index = {f.key: i for i, f in enumerate(futures)}
    try:
        _collect(futures, index, results, progress, desc, return_exceptions)
    except Exception as exc:
        # A closed client surfaces as a cancelled future or as a closed connection, whichever
        # it meets first; the caller is told the cause either way.
        if client.status in ("running", "connecting"):
            raise
        raise RuntimeError(f"the Dask client was closed while {desc} (status {client.status!r})") from exc
    finally:
        # Whatever has not run yet is dropped, on failure or Ctrl-C alike; a closed client has
        # dropped it already, and cannot be asked to (the error on its way out is the one to see).
        pending = [f for f in futures if not f.done()]
        if pending and client.status in ("running", "connecting"):
            client.cancel(pending)
    return results


def _collect(futures: Sequence[Future], index: Dict[Any, int], results: List[Any], progress: ProgressArg,
             desc: str, return_exceptions: Optional[bool]) -> None:
    """Fill ``results`` as the futures complete, counting them on the progress bar."""
    with Progress(progress, len(futures), desc) as shown:
        for future in as_completed(futures):
            i = index[future.key]
            if future.status == "error":
                exc = future.exception()
                if not return_exceptions:
                    if return_exceptions is False:
                        exc.add_note(f"(item {i} of the batch)")
                    raise exc
                results[i] = exc
            else:
                results[i] = future.result()
            shown.advance()
            if shown.error is not None:
                raise shown.error


def _total_threads(client: Client) -> int:
    return max(sum(client.nthreads().values()), 1)


def characterise(client: Client, device: Device, *, progress: ProgressArg = None, retries: int = 0,
                 **kw: Any) -> "MosTable":
    """Characterise ``device`` on the cluster's workers into one :class:`~tavlo.MosTable`, equal
    to what :meth:`SimulationPool.characterise <tavlo.SimulationPool.characterise>` gives with the
    same arguments (``lengths``, ``vgs``, ``vds``, ``vbs`` or ``vsb``, ``temperature``,
    ``n_chunks``, ``width``).

    One task per (Vbs, length, Vgs chunk); by default the chunks are sized on the cluster's threads
    when called. All or nothing: a job that fails cancels the others and raises its error.
    ``progress`` is as for the local call; the dashboard shows the tasks under the device, corner
    and temperature. ``retries`` reruns a failed task that many times (a lost worker's tasks are
    rerun by Dask anyway).
    """
    return characterise_set(client, [device], progress=progress, retries=retries, **kw).popitem()[1]


def characterise_set(client: Client, devices: Iterable[Device], temperatures: Optional[Iterable[float]] = None,
                     *, progress: ProgressArg = None, retries: int = 0,
                     **kw: Any) -> Dict[Tuple[str, Optional[str], float], "MosTable"]:
    """Characterise every device at every temperature, all on the cluster at once, into a dict
    keyed by ``(device name, corner, temperature)``.

    ``devices``: e.g. ``[pdk.sky130(d, corner=c) for d in ("nfet_01v8", "pfet_01v8") for c in
    ("tt", "ss", "ff")]``; ``temperatures`` in °C, default each device's own. The other keywords
    are those of :func:`characterise`, the same for every table. All or nothing, as there. With
    at least as many tables as workers, each table is one task (named after its device, corner and
    temperature), so that a worker parses each table's library once.
    """
    _check_client(client)
    check_progress(progress)
    if isinstance(retries, bool) or not isinstance(retries, int) or retries < 0:
        raise ValueError(f"retries must be a non-negative integer, got {retries!r}")
    plans = plan_set(devices, temperatures, _total_threads(client), kw)
    _ensure_pools(client)
    # An ngspice process keeps one parsed circuit, so a worker moving between tables parses a
    # library at each move: with a table for every worker, each table is one task on one worker
    # (its jobs spread over that worker's processes); fewer tables are split into their jobs.
    # Tables go in turn, earlier ones first: a worker left to its own order mixes them.
    whole = len(plans) > 1 and len(plans) >= len(client.nthreads())
    submitted = [_submit_plan(client, p, retries, len(plans) - t, whole) for t, p in enumerate(plans.values())]
    everything = [f for futures in submitted for f in futures]
    done = _wait(client, everything, progress, "characterising", None)
    if whole:
        return {key: assemble(p, r) for (key, p), r in zip(plans.items(), done, strict=True)}
    results = iter(done)
    return {key: assemble(p, [next(results) for _ in p.jobs]) for key, p in plans.items()}


def map(client: Client, netlists: Union[str, Sequence[str]], commands: Sequence[str], *,
        params: Union[None, Mapping[str, float], Sequence[Mapping[str, float]]] = None,
        return_vectors: Optional[Sequence[str]] = None, return_exceptions: bool = False,
        progress: ProgressArg = None, retries: int = 0, name: str = "simulate") -> List[Any]:
    """Run a batch on the cluster and return its :class:`Result` objects in input order.

    The arguments are those of :meth:`SimulationPool.map <tavlo.SimulationPool.map>`, with the
    same outcomes: a netlist ngspice rejects is a result with ``success`` False; a simulation the
    pool fails (time-out, crash) fails its own task, and raises here once the items not started
    are cancelled, or with ``return_exceptions=True`` is its exception in the list. Tasks are
    named ``<name>-<item index>-<token>`` on the dashboard.
    """
    _check_client(client)
    items = batch_items(netlists, params)
    if isinstance(commands, str) or not isinstance(commands, Sequence):
        raise TypeError(f"commands must be a list of str, got {type(commands).__name__}")
    if not isinstance(return_exceptions, bool):
        raise TypeError(f"return_exceptions must be True or False, got {return_exceptions!r}")
    if isinstance(retries, bool) or not isinstance(retries, int) or retries < 0:
        raise ValueError(f"retries must be a non-negative integer, got {retries!r}")
    if not isinstance(name, str) or not name:
        raise ValueError(f"name must be a non-empty str, got {name!r}")
    check_progress(progress)
    if not items:
        return []
    commands = list(commands)
    vectors = None if return_vectors is None else list(return_vectors)
    _ensure_pools(client)
    prefix = _label(name) or "simulate"
    futures = []
    for i, (netlist, p) in enumerate(items):
        key = f"{prefix}-{i}-{tokenize(netlist, commands, p, vectors)}"
        futures.append(client.submit(_simulate, netlist, commands, f"{prefix}-{i}", p, vectors,
                                     key=key, pure=True, retries=retries))
    return _wait(client, futures, progress, "simulating", return_exceptions)
