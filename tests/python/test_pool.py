"""The pool under faults, driven by a scripted fake worker (real-ngspice behaviour is in test_simulation.py)."""

import math
import os
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest

import tavlo
from conftest import HERE, child_processes, netlist, raised


def value_and_pid(result):
    return result.vector("value")[0], int(result.vector("pid")[0])


def pool_lines(err):
    return [line for line in err.splitlines() if line.startswith("[pool]")]


def test_concurrent_callers_each_get_their_own_answer(fake_worker):
    pool = tavlo._SimulationPool(3, 30.0, fake_worker)
    errors = []

    def caller(t):
        for i in range(25):
            v = t * 1000 + i + 0.25
            r = pool.run_simulation(netlist(value=v), ["run"], id=f"t{t}-{i}")
            if r.id != f"t{t}-{i}" or r.vector("value")[0] != v:
                errors.append((t, i, r.id, r.vector("value")[0]))

    threads = [threading.Thread(target=caller, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not errors


def test_more_requests_than_the_queue_holds_all_complete(fake_worker):
    pool = tavlo._SimulationPool(1, 30.0, fake_worker)  # queue of 4
    results = [None] * 12

    def caller(i):
        results[i] = pool.run_simulation(netlist("slow", i, "SLOW_SECS=0.02"), ["run"]).vector("value")[0]

    threads = [threading.Thread(target=caller, args=(i,)) for i in range(12)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert results == list(range(12))


def test_worker_killed_between_requests_is_replaced_before_the_next(fake_worker, capfd):
    pool = tavlo._SimulationPool(1, 30.0, fake_worker)
    _, pid = value_and_pid(pool.run_simulation(netlist(value=1), ["run"]))
    os.kill(pid, signal.SIGKILL)
    time.sleep(0.2)
    value, new_pid = value_and_pid(pool.run_simulation(netlist(value=2), ["run"]))
    assert (value, new_pid != pid) == (2, True)
    assert pool_lines(capfd.readouterr().err) == ["[pool] worker 0: detected dead process, respawning"]


def test_worker_dying_mid_request_fails_only_that_request(fake_worker, capfd, caplog):
    pool = tavlo._SimulationPool(1, 30.0, fake_worker)
    with pytest.raises(RuntimeError) as exc:
        pool.run_simulation(netlist("crash"), ["run"])
    assert str(exc.value) == "worker crashed: stdout read (header len) failed: early eof"
    assert value_and_pid(pool.run_simulation(netlist(value=5), ["run"]))[0] == 5
    faults = [
        "[pool] worker 0: crashed during simulation — stdout read (header len) failed: early eof",
        "[pool] worker 0: respawned successfully",
    ]
    pool.close()
    assert pool_lines(capfd.readouterr().err) == faults + ["[pool] worker 0: channel closed, exiting"]
    # The faults, not the normal close, also reach the "tavlo" logger.
    assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [("tavlo", "WARNING", f) for f in faults]


def alive(pid):
    """True while the process exists (a zombie counts: it has not been reaped)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


def test_timed_out_worker_is_killed_and_its_late_answer_never_delivered(fake_worker, capfd):
    pool = tavlo._SimulationPool(1, 1.0, fake_worker)
    _, pid = value_and_pid(pool.run_simulation(netlist(value=0), ["run"]))
    start = time.monotonic()
    with pytest.raises(RuntimeError) as exc:
        pool.run_simulation(netlist("slow", 111, "SLOW_SECS=2"), ["run"])
    assert str(exc.value) == "simulation failed: worker timed out after 1s"
    assert time.monotonic() - start < 1.9
    assert not alive(pid)  # killed and reaped, not left to finish its answer
    value, new_pid = value_and_pid(pool.run_simulation(netlist(value=222), ["run"]))
    assert value == 222 and new_pid != pid
    assert "[pool] worker 0: crashed during simulation — worker timed out after 1s" in capfd.readouterr().err


def test_an_interrupted_call_leaves_its_late_answer_to_its_worker(fake_worker, capfd):
    pool = tavlo._SimulationPool(1, 30.0, fake_worker)
    _, pid = value_and_pid(pool.run_simulation(netlist(value=0), ["run"]))
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
    with pytest.raises(KeyboardInterrupt):
        pool.run_simulation(netlist("slow", 111, "SLOW_SECS=0.6"), ["run"])
    # The next caller gets its own answer from the same worker, which read and dropped the late one.
    assert value_and_pid(pool.run_simulation(netlist(value=222), ["run"])) == (222, pid)
    pool.close()
    assert pool_lines(capfd.readouterr().err) == ["[pool] worker 0: channel closed, exiting"]


def test_a_worker_that_stops_reading_times_out_the_write(fake_worker):
    pool = tavlo._SimulationPool(1, 1.0, fake_worker)
    pool.run_simulation(netlist("stall-after"), ["run"])
    big = netlist(extra="x" * (4 << 20))  # far more than a pipe holds
    outcome = []
    t = threading.Thread(target=lambda: outcome.append(raised(pool.run_simulation, big, ["run"])), daemon=True)
    t.start()
    t.join(10)
    assert outcome == ["simulation failed: worker timed out after 1s"]
    assert pool.run_simulation(netlist(value=7), ["run"]).vector("value")[0] == 7




@pytest.mark.parametrize("mode, exc_type, message", [
    ("badframe", ValueError, "serialization error: "),
    ("huge", RuntimeError, "worker crashed: stdout read (header) failed: announced header length 2147483648 "
                           "exceeds the limit"),
    ("stray", RuntimeError, "worker crashed: answer out of step: expected id 'r2', got 'stray'"),
])
def test_a_broken_stream_fails_its_request_and_the_worker_is_replaced(fake_worker, mode, exc_type, message):
    pool = tavlo._SimulationPool(1, 30.0, fake_worker)
    _, pid = value_and_pid(pool.run_simulation(netlist(value=1), ["run"], id="r1"))
    with pytest.raises(exc_type) as exc:
        pool.run_simulation(netlist(mode, 2), ["run"], id="r2")
    assert str(exc.value).startswith(message)
    # Whatever is left in that stream (a stray answer, the rest of a frame) never reaches a later request.
    for i in range(3, 6):
        result = pool.run_simulation(netlist(value=i), ["run"], id=f"r{i}")
        assert (result.id, value_and_pid(result)[0]) == (f"r{i}", i)
        assert value_and_pid(result)[1] != pid


def test_a_huge_header_announcement_allocates_nothing():
    # /bin/cat echoes the request line back: its first four bytes, '{"id', announce a header of 1.7 GB.
    import resource
    pool = tavlo._SimulationPool(1, 10.0, "/bin/cat")
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(RuntimeError, match="announced header length 1684611707 exceeds the limit"):
        pool.run_simulation("x\n.end", ["run"])
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 64 * 1024  # KiB


def test_missing_worker_executable_says_so(tmp_path, capfd):
    missing = str(tmp_path / "no-such-worker")
    pool = tavlo._SimulationPool(2, 30.0, missing)
    deadline = time.monotonic() + 10
    while len([line for line in capfd.readouterr().err.splitlines() if "failed to spawn" in line]) < 2:
        assert time.monotonic() < deadline
        time.sleep(0.05)
    with pytest.raises(RuntimeError) as exc:
        pool.run_simulation(netlist(), ["run"])
    assert str(exc.value) == (f"worker pool exhausted: no worker process could be started: '{missing}': "
                              "I/O error: No such file or directory (os error 2)")


def test_constructor_arguments():
    assert repr(tavlo._SimulationPool(3, 1.5, "/nonexistent")) == "SimulationPool(workers=3)"
    assert repr(tavlo._SimulationPool(worker_exe="/nonexistent")) == \
        f"SimulationPool(workers={len(os.sched_getaffinity(0))})"
    with pytest.raises(TypeError):
        tavlo._SimulationPool(1, None)
    with pytest.raises(TypeError):
        tavlo._SimulationPool(-1)
    with pytest.raises(ValueError, match="^workers must be at least 1, got 0$"):
        tavlo._SimulationPool(0)
    with pytest.raises(ValueError, match="^workers must be at most 1024, got 100000$"):
        tavlo._SimulationPool(100000)
    with pytest.raises(ValueError, match="^timeout_secs must be at least 0.001 seconds$"):
        tavlo._SimulationPool(1, 0.0)
    with pytest.raises(ValueError, match="^cannot convert float seconds to Duration: value is negative$"):
        tavlo._SimulationPool(1, -1.0)
    for bad in (math.nan, math.inf, 1e300):
        with pytest.raises(ValueError, match="value is either too big or NaN$"):
            tavlo._SimulationPool(1, bad)


def test_run_simulation_arguments_and_generated_ids(fake_worker):
    pool = tavlo._SimulationPool(1, 30.0, fake_worker)
    with pytest.raises(TypeError, match="argument 'commands'"):
        pool.run_simulation(netlist(), "run")
    with pytest.raises(TypeError, match="argument 'commands'"):
        pool.run_simulation(netlist(), ["run", 3])
    with pytest.raises(TypeError, match="argument 'netlist'"):
        pool.run_simulation(b"x", ["run"])
    with pytest.raises(TypeError, match="argument 'id'"):
        pool.run_simulation(netlist(), ["run"], 7)
    with pytest.raises(ValueError, match="^argument 'netlist': 'utf-8' codec can't encode character '\\\\ud800'"):
        pool.run_simulation("x\ud800\n.end", ["run"])
    with pytest.raises(ValueError, match="^argument 'commands': .*surrogates not allowed"):
        pool.run_simulation(netlist(), ["run", "\udfff"])
    first = int(pool.run_simulation(netlist(), ("run",)).id.removeprefix("py-"))
    assert pool.run_simulation(netlist(), ["run"], id="same").id == "same"
    assert pool.run_simulation(netlist(), ["run"], id="same").id == "same"
    assert pool.run_simulation(netlist(), ["run"]).id == f"py-{first + 1}"


def find_worker_candidates(tmp_path, names):
    dirs = {}
    for tag, name in enumerate(names, start=1):
        d = tmp_path / name / "bin"
        d.mkdir(parents=True)
        exe = d / "ngspice-worker"
        exe.write_text(f"#!/bin/sh\nFAKE_TAG={tag} exec '{sys.executable}' '{HERE / 'fake_worker.py'}'\n")
        exe.chmod(exe.stat().st_mode | stat.S_IXUSR)
        dirs[name] = (d, tag)
    return dirs


def test_worker_discovery_order(tmp_path, no_stale_env):
    own_dir = os.path.dirname(os.path.realpath(sys.executable))
    if os.path.exists(os.path.join(own_dir, "ngspice-worker")):
        pytest.skip("a worker next to the interpreter would win over every other candidate")
    c = find_worker_candidates(tmp_path, ["bin_env", "venv", "path1", "path2"])

    def chosen():
        return tavlo._SimulationPool(1, 30.0).run_simulation(netlist(), ["run"]).vector("value")[0]

    no_stale_env.setenv("PATH", f"{tmp_path / 'empty'}:{c['path1'][0]}:{c['path2'][0]}:{os.environ['PATH']}")
    assert chosen() == c["path1"][1]
    no_stale_env.setenv("VIRTUAL_ENV", str(tmp_path / "venv"))
    assert chosen() == c["venv"][1]
    no_stale_env.setenv("NGSPICE_WORKER_BIN", str(tmp_path / "missing"))
    assert chosen() == c["venv"][1]
    no_stale_env.setenv("NGSPICE_WORKER_BIN", str(c["bin_env"][0] / "ngspice-worker"))
    assert chosen() == c["bin_env"][1]
    # Nothing anywhere: the pool says so instead of starting the interpreter as a worker.
    for name in ("NGSPICE_WORKER_BIN", "VIRTUAL_ENV"):
        no_stale_env.delenv(name)
    no_stale_env.setenv("PATH", str(tmp_path / "empty"))
    with pytest.raises(RuntimeError, match="^ngspice init failed: could not find 'ngspice-worker' binary"):
        tavlo._SimulationPool(1, 30.0)


def test_dropped_pools_leave_no_zombies(fake_worker):
    for i in range(20):
        pool = tavlo._SimulationPool(2, 30.0, fake_worker)
        pool.run_simulation(netlist(value=i), ["run"])
        del pool
    deadline = time.monotonic() + 10
    while child_processes("Z") and time.monotonic() < deadline:
        time.sleep(0.05)
    assert child_processes("Z") == []


@pytest.mark.parametrize("close", ["close", "del"])
def test_closing_a_pool_ends_its_busy_workers(fake_worker, close):
    pool = tavlo._SimulationPool(2, 60.0, fake_worker)
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    with pytest.raises(KeyboardInterrupt):
        pool.run_simulation(netlist("hang"), ["run"])
    busy = child_processes()
    assert busy  # the hanging worker at least
    start = time.monotonic()
    if close == "close":
        pool.close()
        pool.close()
        with pytest.raises(RuntimeError, match="closed"):
            pool.run_simulation(netlist(), ["run"])
    del pool  # its worker is still inside the abandoned request
    assert time.monotonic() - start < 5  # SIGTERM, not a wait for the hour-long request
    assert child_processes() == []  # ended and reaped, busy one included


def test_queued_requests_of_a_failed_characterisation_never_run(fake_worker, tmp_path, monkeypatch):
    log = tmp_path / "requests"
    monkeypatch.setenv("FAKE_LOG", str(log))
    pool = tavlo._SimulationPool(1, 30.0, fake_worker)
    # The fake answers without a drain current, so the first job to finish fails the call.
    with pytest.raises(RuntimeError, match="'vds#branch' not found"):
        pool.generate_lut(tavlo.LutConfig(vgs=(0.0, 1.8, 0.05)), 37)
    pool.run_simulation(netlist(), ["run"], id="after")
    received = log.read_text().split()
    assert received[-1] == "after" and len(received) <= 3  # not the 36 jobs that were queued


def test_workers_are_recycled_invisibly(fake_worker):
    pool = tavlo._SimulationPool(1, 30.0, fake_worker, max_requests_per_worker=3)
    pids = [value_and_pid(pool.run_simulation(netlist(value=i), ["run"]))[1] for i in range(7)]
    assert len(set(pids[:3])) == 1 and len(set(pids[3:6])) == 1 and len(set(pids)) == 3


def test_interpreter_lock_is_free_while_waiting(fake_worker):
    pool = tavlo._SimulationPool(1, 30.0, fake_worker)
    ticks = 0
    stop = threading.Event()

    def spin():
        nonlocal ticks
        while not stop.is_set():
            ticks += 1
            time.sleep(0.001)

    t = threading.Thread(target=spin)
    t.start()
    pool.run_simulation(netlist("slow", 0, "SLOW_SECS=0.5"), ["run"])
    stop.set()
    t.join()
    assert ticks > 100


def test_ctrl_c_interrupts_a_call_and_the_pool_keeps_working(fake_worker):
    pool = tavlo._SimulationPool(2, 60.0, fake_worker)
    threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        pool.run_simulation(netlist("slow", 0, "SLOW_SECS=5"), ["run"])
    assert time.monotonic() - start < 1.5
    assert pool.run_simulation(netlist(value=9), ["run"]).vector("value")[0] == 9


def test_simulation_pool_wrapper_closes(fake_worker):
    with tavlo.SimulationPool(1, 30.0, fake_worker) as pool:
        assert pool.run_simulation(netlist(value=4), ["run"]).vector("value")[0] == 4
        assert pool.workers == 1
    pool.close()
    with pytest.raises(RuntimeError, match="closed"):
        pool.run_simulation(netlist(), ["run"])


def test_exiting_the_interpreter_ends_busy_workers(fake_worker):
    script = (
        "import sys, threading, tavlo\n"
        "sys.path.insert(0, sys.argv[2])\n"
        "from conftest import netlist\n"
        "pool = tavlo.SimulationPool(1, 60.0, sys.argv[1])\n"
        "print(int(pool.run_simulation(netlist(), ['run']).vector('pid')[0]), flush=True)\n"
        "threading.Thread(target=pool.run_simulation, args=(netlist('hang'), ['run']), daemon=True).start()\n"
        "threading.Event().wait(0.3)\n"  # the worker is busy now; exit without closing the pool
    )
    out = subprocess.run([sys.executable, "-c", script, fake_worker, str(HERE)], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    pid = int(out.stdout)
    deadline = time.monotonic() + 5
    while alive(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not alive(pid)
