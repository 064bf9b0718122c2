"""Completed-job progress for batches and characterisations: a tqdm bar or the caller's callback."""

from __future__ import annotations

import sys
import threading
from typing import Any, Callable, Optional, Union

ProgressArg = Union[None, bool, Callable[[int, int], Any]]


def check_progress(progress: Any) -> None:
    if not (progress is None or isinstance(progress, bool) or callable(progress)):
        raise TypeError(f"progress must be None, True, False or a callable(done, total), got {progress!r}")


def require_tqdm() -> None:
    """For progress=True: tqdm must be there, before any work starts."""
    try:
        from tqdm.auto import tqdm  # noqa: F401
    except ImportError:
        raise ImportError("progress=True needs tqdm; install it with: pip install tqdm") from None


class Progress:
    """Counts finished jobs and shows them.

    ``advance`` is called from the threads that finish jobs; calls are serialised, so a callback
    never runs twice at once. An exception from the callback is kept in ``error`` rather than lost
    in a future's done-callback, and raised by ``close``.
    """

    def __init__(self, progress: ProgressArg, total: int, desc: str) -> None:
        check_progress(progress)
        self.total = total
        self.done = 0
        self.error: Optional[BaseException] = None
        self._closed = False
        self._lock = threading.Lock()
        self._callback: Optional[Callable[[int, int], Any]] = None
        self._bar: Any = None
        if callable(progress) and not isinstance(progress, bool):
            self._callback = progress
        elif progress is not False:
            self._bar = _tqdm_bar(progress is True, total, desc)

    def advance(self, n: int = 1) -> None:
        with self._lock:
            if self._closed:  # a job that finished after its batch was given up
                return
            self.done += n
            if self._bar is not None:
                self._bar.update(n)
                if self.done == self.total:  # updates within tqdm's minimum interval are not drawn
                    self._bar.refresh()
            if self._callback is not None and self.error is None:
                try:
                    self._callback(self.done, self.total)
                except BaseException as exc:  # noqa: BLE001 - handed to the waiting thread
                    self.error = exc

    def close(self) -> None:
        self._stop()
        if self.error is not None:
            raise self.error

    def _stop(self) -> None:
        with self._lock:
            self._closed = True
            bar, self._bar = self._bar, None
        if bar is not None:
            bar.close()

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        if exc_type is not None:
            self._stop()
        else:
            self.close()


def _tqdm_bar(insist: bool, total: int, desc: str) -> Any:
    from ._pool import _in_notebook

    try:
        from tqdm.auto import tqdm
    except ImportError:
        if insist:
            require_tqdm()
        return None
    notebook = _in_notebook()
    if not insist and not (notebook or sys.stderr.isatty()):
        return None
    # tqdm shows the count, the rate and the time left; the bar goes away when the work is done.
    return tqdm(total=total, desc=desc, unit="job", leave=False, file=None if notebook else sys.stderr)
