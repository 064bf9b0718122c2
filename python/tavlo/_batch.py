"""Batches on a pool's threads: results in input order, failures in their place or raised, progress
reported on the calling thread."""

from __future__ import annotations

import concurrent.futures as cf
import threading
from typing import Any, Callable, Iterator, List, Mapping, Optional, Sequence

from ._progress import Progress, ProgressArg, check_progress

__all__ = ["batch_items", "run_batch"]


def run_batch(threads: Callable[[], cf.ThreadPoolExecutor], run: Callable[..., Any], netlists: Any,
              commands: Sequence[str], *, params: Any, return_vectors: Optional[Sequence[str]],
              return_exceptions: bool, progress: ProgressArg) -> List[Any]:
    """:meth:`SimulationPool.map`: ``run(netlist, commands, id, params, return_vectors)`` per item
    on the executor ``threads()`` gives."""
    items = batch_items(netlists, params)
    if isinstance(commands, str) or not isinstance(commands, Sequence):
        raise TypeError(f"commands must be a list of str, got {type(commands).__name__}")
    if not isinstance(return_exceptions, bool):
        raise TypeError(f"return_exceptions must be True or False, got {return_exceptions!r}")
    check_progress(progress)
    executor = threads()
    if not items:
        return []
    results: List[Any] = [None] * len(items)
    # Progress is reported here, on the calling thread, never from the executor's threads: a
    # callable that itself runs a batch then holds no thread the requests need.
    with Progress(progress, len(items), "simulating") as shown:
        futures: dict = {}
        failed = threading.Event()

        def cancel_rest(future: cf.Future) -> None:
            # Runs in the thread that finished the request, before it takes the next one.
            if not future.cancelled() and future.exception() is not None:
                failed.set()
                for other in list(futures):
                    other.cancel()

        try:
            for i, (netlist, p) in enumerate(items):
                if failed.is_set():
                    break
                future = executor.submit(run, netlist, commands, None, p, return_vectors)
                futures[future] = i
                if not return_exceptions:
                    future.add_done_callback(cancel_rest)
            pending = set(futures)
            while pending:
                done, pending = cf.wait(pending, timeout=0.5, return_when=cf.FIRST_COMPLETED)
                # wait() never reports a future cancelled by someone else (a close) as done.
                dropped = {f for f in pending if f.cancelled()}
                done, pending = done | dropped, pending - dropped
                for future in sorted(done, key=cf.Future.cancelled):  # a failure before what it cancelled
                    i = futures[future]
                    if future.cancelled():
                        raise RuntimeError("this SimulationPool was closed during map")
                    exc = future.exception()
                    if exc is None:
                        results[i] = future.result()
                    elif return_exceptions:
                        results[i] = exc
                    else:
                        exc.add_note(f"(item {i} of the batch)")
                        raise exc
                    shown.advance()
                    if shown.error is not None:
                        raise shown.error
        except BaseException:
            for future in futures:
                future.cancel()
            raise
    return results


def batch_items(netlists: Any, params: Any) -> List[tuple]:
    """(netlist, params) per item of a batch, checking the shapes ``map`` accepts."""
    def mapping(p: Any, where: str) -> Optional[Mapping[str, float]]:
        if p is not None and not isinstance(p, Mapping):
            raise TypeError(f"{where} must be a dict of parameter values, got {type(p).__name__}")
        return None if p is None else dict(p)

    if isinstance(netlists, str):
        if isinstance(params, Mapping) or params is None or isinstance(params, (str, bytes)) \
                or not isinstance(params, Sequence):
            raise TypeError("with one netlist, params must be a list of parameter dicts, one per run, "
                            f"got {type(params).__name__}")
        return [(netlists, mapping(p, f"params[{i}]")) for i, p in enumerate(params)]
    if isinstance(netlists, (bytes, Mapping)) or not isinstance(netlists, (Sequence, Iterator)):
        raise TypeError(f"netlists must be a netlist str or a list of them, got {type(netlists).__name__}")
    netlists = list(netlists)
    for i, n in enumerate(netlists):
        if not isinstance(n, str):
            raise TypeError(f"netlists[{i}] must be a str, got {type(n).__name__}")
    if params is None or isinstance(params, Mapping):
        shared = mapping(params, "params")
        return [(n, shared) for n in netlists]
    if isinstance(params, (str, bytes)) or not isinstance(params, Sequence):
        raise TypeError(f"params must be a dict, a list of dicts or None, got {type(params).__name__}")
    if len(params) != len(netlists):
        raise ValueError(f"params has {len(params)} entries for {len(netlists)} netlists; give one per netlist")
    return [(n, mapping(p, f"params[{i}]")) for i, (n, p) in enumerate(zip(netlists, params, strict=True))]
