"""What becomes of open pools when the program exits or forks, and where their fault lines go."""

from __future__ import annotations

import atexit
import concurrent.futures.thread  # noqa: F401 - registers its exit join before _end_at_exit
import logging
import os
import threading
import weakref
from typing import Any

# The pool's fault lines are printed on standard error by the native side already: the logger's
# records are for the program's own handlers, never for Python's last-resort printer as well.
logging.getLogger("tavlo").addHandler(logging.NullHandler())

# Pools still open when the interpreter exits are closed while it can still run their clean-up,
# so that no worker outlives the program, busy or not.
_open_pools: "weakref.WeakSet[Any]" = weakref.WeakSet()


def opened(pool: Any) -> None:
    """Track `pool` (a SimulationPool) until it is garbage."""
    _open_pools.add(pool)


@atexit.register
def _close_open_pools() -> None:
    for pool in list(_open_pools):
        pool.close()


def _end_at_exit() -> None:
    for pool in list(_open_pools):
        pool._end_for_exit()


# At exit the interpreter joins the executors' threads before atexit handlers run, which would
# first run every request still waiting and wait for every running one; this hook runs before
# that join (later ones first).
_register_thread_exit = getattr(threading, "_register_atexit", None)
if _register_thread_exit is not None:
    _register_thread_exit(_end_at_exit)


def _forget_parent_pools() -> None:
    # The child's copies of the parent's pools: their workers, threads and locks are the parent's.
    for pool in list(_open_pools):
        pool._forked()


os.register_at_fork(after_in_child=_forget_parent_pools)
