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

    ``advance`` may be called from any thread. The callback never runs twice at once, and no
    thread ever waits for it: a count that arrives while it runs is passed on by the thread
    running it, once it returns (several such counts as the latest one). So a callback that
    blocks, or itself runs work on the same pool, holds up no job and no ``close``. An exception
    from the callback is kept in ``error`` rather than lost in a future's done-callback, and
    raised by ``close``.
    """

    def __init__(self, progress: ProgressArg, total: int, desc: str) -> None:
        check_progress(progress)
        self.total = total
        self.done = 0
        self.error: Optional[BaseException] = None
        self._closed = False
        self._reporting = False  # a thread is in the callback
        self._reported: Optional[int] = None  # the count it was last given
        self._abandoned = False
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)  # notified when the callback returns
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
            report = self._take_report()
        if report:
            self._report()

    def _take_report(self) -> bool:
        """Under the lock: whether this thread is to call the callback now."""
        if (self._callback is None or self.error is not None or self._reporting or self._abandoned
                or self.done == self._reported):
            return False
        self._reporting = True
        return True

    def _report(self) -> None:
        while True:
            with self._lock:
                if self._abandoned or self.error is not None or self.done == self._reported:
                    self._reporting = False
                    self._idle.notify_all()
                    return
                self._reported = done = self.done
            try:
                self._callback(done, self.total)  # type: ignore[misc]
            except BaseException as exc:  # noqa: BLE001 - handed to the waiting thread
                with self._lock:
                    self.error = exc
                    self._reporting = False
                    self._idle.notify_all()
                return

    def close(self) -> None:
        """The work is done: the last count is reported (here, or by the thread whose callback is
        running, which is waited for once every job has finished: its call is part of the work),
        the bar goes, and a callback's exception is raised. Ctrl-C interrupts the wait."""
        with self._lock:
            self._closed = True
            report = self._take_report()
            while not report and self._reporting and self.done >= self.total:
                self._idle.wait(0.1)  # short waits let a signal handler run
        if report:
            self._report()
        self._close_bar()
        if self.error is not None:
            raise self.error

    def _stop(self) -> None:
        """The work was given up: nothing more is reported."""
        with self._lock:
            self._closed = self._abandoned = True
        self._close_bar()

    def _close_bar(self) -> None:
        with self._lock:
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


def in_notebook() -> bool:
    """Whether this runs in a Jupyter kernel (where tqdm draws a widget, not text)."""
    ipython = sys.modules.get("IPython")
    shell = ipython.get_ipython() if ipython is not None else None
    return getattr(shell, "kernel", None) is not None


def _tqdm_bar(insist: bool, total: int, desc: str) -> Any:
    try:
        from tqdm.auto import tqdm
    except ImportError:
        if insist:
            require_tqdm()
        return None
    notebook = in_notebook()
    if not insist and not (notebook or sys.stderr.isatty()):
        return None
    # tqdm shows the count, the rate and the time left; the bar goes away when the work is done.
    return tqdm(total=total, desc=desc, unit="job", leave=False, file=None if notebook else sys.stderr)
