"""Leaving, forking and closing with busy workers: nothing stuck, nothing left behind, said once."""

import math
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import tavlo
from conftest import netlist

NET = "t\nV1 a 0 1\nR1 a b 1k\nR2 b 0 {r}\n.param r=1k\n.end\n"


def running(marker):
    """Pids of live (not zombie) processes whose command line holds `marker`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace")
            with open(f"/proc/{entry}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if marker in cmdline and state != "Z" and int(entry) != os.getpid():
            found.append(int(entry))
    return found


def gone(marker, within=5.0):
    deadline = time.monotonic() + within
    while running(marker) and time.monotonic() < deadline:
        time.sleep(0.02)
    return not running(marker)


def end(marker):
    for pid in running(marker):
        try:
            os.kill(pid, 9)
        except OSError:
            pass


def run_script(body, *args, timeout=60):
    """Runs `body` in a fresh interpreter; a hang there fails here instead."""
    start = time.monotonic()
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(body), *args], capture_output=True,
                          text=True, timeout=timeout)
    return proc, time.monotonic() - start


def test_what_a_worker_started_ends_with_it(worker_exe):
    marker = "sleep 37.4161"
    pool = tavlo.SimulationPool(1, timeout_secs=1, worker_exe=worker_exe)
    try:
        with pytest.raises(RuntimeError, match="timed out after 1s"):
            pool.run_simulation(NET, [f"shell {marker}"])
        assert gone(marker)  # the timed-out worker's replacement ended its group
        pool.submit(NET, [f"shell {marker}"])
        time.sleep(0.5)
        assert running(marker)
    finally:
        pool.close()
        ok = gone(marker)
        end(marker)
    assert ok


@pytest.mark.parametrize("how", ["submitted", "daemon map"])
def test_leaving_with_busy_workers_ends_them_at_once(worker_exe, how):
    marker = "sleep 30.5161"
    calls = {
        "submitted": f"futures = [pool.submit(NET, ['shell {marker}']) for _ in range(4)]",
        "daemon map": ("threading.Thread(target=pool.map, daemon=True, "
                       f"args=([NET] * 4, ['shell {marker}'])).start()"),
    }[how]
    body = f"""
        import sys, threading, time
        import tavlo
        NET = {NET!r}
        pool = tavlo.SimulationPool(2, timeout_secs=60, worker_exe=sys.argv[1])
        {calls}
        time.sleep(1.0)
    """
    try:
        proc, took = run_script(body, worker_exe)
        left = not gone(marker)
    finally:
        end(marker)
    assert proc.returncode == 0, proc.stderr
    assert took < 15, f"exit took {took:.1f} s"  # the busy requests alone would hold it 30 s
    assert not left
    assert "leaked" not in proc.stderr, proc.stderr  # (a daemon thread's map may report the close)


def test_a_daemon_thread_in_a_call_at_exit_prints_nothing(worker_exe):
    marker = "sleep 30.6161"
    body = f"""
        import sys, threading, time
        import tavlo
        pool = tavlo._SimulationPool(1, 60.0, sys.argv[1], log_close=False)
        threading.Thread(target=pool.run_simulation, args=({NET!r}, ['shell {marker}']), daemon=True).start()
        time.sleep(0.5)
    """
    try:
        proc, took = run_script(body, worker_exe)
        left = not gone(marker)
    finally:
        end(marker)
    assert (proc.returncode, proc.stderr) == (0, "")
    assert not left


def test_a_forked_child_leaves_the_parents_pool_alone(worker_exe):
    body = f"""
        import os, sys
        import tavlo
        NET = {NET!r}
        def children():
            me = str(os.getpid())
            out = set()
            for e in os.listdir("/proc"):
                if e.isdigit():
                    try:
                        with open(f"/proc/{{e}}/stat") as f:
                            if f.read().rsplit(")", 1)[1].split()[1] == me:
                                out.add(int(e))
                    except OSError:
                        pass
            return out
        pool = tavlo.SimulationPool(1, timeout_secs=20, worker_exe=sys.argv[1])
        native = tavlo._SimulationPool(1, 20.0, sys.argv[1], log_close=False)
        assert pool.run_simulation(NET, ["op"]).success and native.run_simulation(NET, ["op"]).success
        before = children()
        pid = os.fork()
        if pid == 0:
            for p in (pool, native):
                try:
                    p.run_simulation(NET, ["op"])
                    print("child: answered")
                except RuntimeError as e:
                    print("child:", e)
            sys.exit(0)  # a normal exit: its exit handlers run
        _, status = os.waitpid(pid, 0)
        print("child exit", os.waitstatus_to_exitcode(status))
        print("same workers", children() == before)
        print("both work", *(p.run_simulation(NET, ["op"]).success for p in (pool, native)))
    """
    proc, _ = run_script(body, worker_exe, timeout=60)
    foreign = ("child: this SimulationPool belongs to the process this one was forked from; "
               "create a new one here")
    expected = [foreign, foreign, "child exit 0", "same workers True", "both work True True"]
    assert proc.stdout.splitlines() == expected, proc.stdout + proc.stderr
    assert "[pool]" not in proc.stderr


def test_each_fault_line_is_printed_once(fake_worker):
    body = f"""
        import sys
        import tavlo
        pool = tavlo.SimulationPool(1, worker_exe=sys.argv[1])
        try:
            pool.run_simulation({netlist("crash")!r}, ["run"])
        except RuntimeError:
            pass
        pool.run_simulation({netlist()!r}, ["run"])  # served by the replacement
        pool.close()
    """
    proc, _ = run_script(body, fake_worker)
    assert proc.stderr.splitlines() == [
        "[pool] worker 0: crashed during simulation — stdout read (header len) failed: early eof",
        "[pool] worker 0: respawned successfully",
    ]


def test_closing_during_a_call_says_the_pool_was_closed(worker_exe):
    marker = "sleep 30.7161"
    pool = tavlo.SimulationPool(1, timeout_secs=60, worker_exe=worker_exe)
    assert pool.run_simulation(NET, ["op"]).success  # the worker is idle: the call runs on its thread
    said = []

    def call():
        try:
            pool.run_simulation(NET, [f"shell {marker}"])
        except RuntimeError as exc:
            said.append(str(exc))

    caller = threading.Thread(target=call)
    caller.start()
    time.sleep(0.5)
    pool.close()
    caller.join(30)
    end(marker)
    assert said == ["worker crashed: the pool was closed"]


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_non_finite_params_are_refused_before_anything_is_sent(worker_exe, bad):
    with tavlo.SimulationPool(1, worker_exe=worker_exe) as pool:
        refused = r"^argument 'params': the value of 'r' must be a finite number, got "
        with pytest.raises(ValueError, match=refused):
            pool.run_simulation(NET, ["op"], params={"r": bad})
        result = pool.run_simulation(NET, ["op"], params={"r": 3e3})
        assert result.success and result.vector("v(b)")[0] == pytest.approx(0.75)
