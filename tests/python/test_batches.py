"""Batches, futures and asyncio on the pool: order, failures, cancellation and progress."""

import asyncio
import concurrent.futures as cf
import os
import subprocess
import signal
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import tavlo
from conftest import CLM_CARD, netlist, raised

DIVIDER = "divider\n.param r2=1k\nV1 in 0 dc 1\nR1 in out 1k\nR2 out 0 {r2}\n.end\n"




def received(log):
    return log.read_text().split() if log.exists() else []


def test_map_keeps_input_order_and_each_failure_in_its_place(fake_worker):
    # Later items finish first (slower ones lead), and item 2 crashes its worker.
    items = [netlist("slow", i, f"SLOW_SECS={0.05 * (5 - i)}") for i in range(6)]
    items[2] = netlist("crash")
    calls = []
    with tavlo.SimulationPool(2, 30.0, fake_worker) as pool:
        out = pool.map(items, ["run"], return_exceptions=True, progress=lambda d, t: calls.append((d, t)))
        assert [r.vector("value")[0] for i, r in enumerate(out) if i != 2] == [0, 1, 3, 4, 5]
        assert isinstance(out[2], RuntimeError) and str(out[2]).startswith("worker crashed")
        assert calls == [(d, 6) for d in range(1, 7)]
        with pytest.raises(RuntimeError, match="^worker crashed") as exc:
            pool.map(items, ["run"], progress=False)
        assert exc.value.__notes__ == ["(item 2 of the batch)"]
        # The pool goes on, and an empty batch is an empty list.
        assert pool.map([netlist(value=7)], ["run"])[0].vector("value")[0] == 7
        assert pool.map([], ["run"]) == []


def test_a_failure_or_ctrl_c_cancels_the_items_not_started(fake_worker, tmp_path, monkeypatch):
    log = tmp_path / "requests"
    monkeypatch.setenv("FAKE_LOG", str(log))
    with tavlo.SimulationPool(1, 30.0, fake_worker) as pool:
        with pytest.raises(RuntimeError, match="^worker crashed"):
            pool.map([netlist("crash")] + [netlist("slow", 0, "SLOW_SECS=0.05")] * 30, ["run"])
        time.sleep(0.5)  # whatever was already handed to the pool finishes
        assert len(received(log)) <= 3  # the crash, the other thread's request and at most one more, not 31
        log.unlink()
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            pool.map([netlist("slow", 0, "SLOW_SECS=0.2")] * 30, ["run"])
        assert time.monotonic() - start < 1.0
        time.sleep(0.6)
        assert len(received(log)) <= 4


def test_futures_can_be_cancelled_and_closing_drops_what_waits(fake_worker, tmp_path, monkeypatch):
    log = tmp_path / "requests"
    monkeypatch.setenv("FAKE_LOG", str(log))
    pool = tavlo.SimulationPool(1, 30.0, fake_worker)
    busy = [pool.submit(netlist("slow", i, "SLOW_SECS=0.3"), ["run"], id=f"busy{i}") for i in range(2)]
    queued = [pool.submit(netlist(value=i), ["run"], id=f"queued{i}") for i in range(5)]
    assert queued[0].cancel()
    assert [f.result(10).vector("value")[0] for f in busy + queued[1:]] == [0, 1, 1, 2, 3, 4]
    assert "queued0" not in received(log)
    # Close while a request runs and others wait: the waiting ones never start, the running one fails.
    log.unlink()
    running = pool.submit(netlist("hang"), ["run"], id="running")
    waiting = [pool.submit(netlist(), ["run"], id=f"waiting{i}") for i in range(6)]
    batch = []
    mapping = threading.Thread(target=lambda: batch.append(raised(pool.map, [netlist()] * 5, ["run"])), daemon=True)
    mapping.start()
    time.sleep(0.3)
    start = time.monotonic()
    pool.close()
    assert time.monotonic() - start < 2
    with pytest.raises(RuntimeError):
        running.result(5)
    mapping.join(5)
    assert batch == ["this SimulationPool was closed during map"]
    # One or two were already handed to the native pool and fail with it; the rest never start.
    cf.wait([f for f in waiting if not f.cancelled()], timeout=5)
    assert all(f.done() for f in waiting) and sum(f.cancelled() for f in waiting) >= 4
    assert [i for i in received(log) if i.startswith("waiting")] in ([], ["waiting0"])
    for call in (lambda: pool.submit(netlist(), ["run"]), lambda: pool.map([netlist()], ["run"])):
        with pytest.raises(RuntimeError, match="closed"):
            call()


def test_batches_on_real_ngspice_map_submit_and_await_alike(worker_exe):
    r2s = [500.0, 1e3, 2e3, 4e3, 8e3]
    expected = [r / (1e3 + r) for r in r2s]
    with tavlo.SimulationPool(2, 60.0, worker_exe) as pool:
        one_netlist = pool.map(DIVIDER, ["op"], params=[{"r2": r} for r in r2s], return_vectors=["out"])
        many = pool.map([DIVIDER.replace("{r2}", repr(r)) for r in r2s] + ["no end line\nR1 a 0 1k\n"], ["op"])
        shared = pool.map([DIVIDER, DIVIDER], ["op"], params={"r2": 3e3})
        future = pool.submit(DIVIDER, ["op"], params={"r2": 3e3})

        async def together():
            return await asyncio.gather(*(pool.run_async(DIVIDER, ["op"], params={"r2": r}) for r in r2s))

        awaited = asyncio.run(together())
        assert future.result(30).vector("v(out)")[0] == pytest.approx(0.75)
    for results in (one_netlist, many[:5], awaited):
        np.testing.assert_allclose([r.vector("out")[0] for r in results], expected, rtol=1e-9)
    # ngspice's rejection is a result, not an exception
    assert (many[5].success, many[5].error) == (False, "netlist does not end with .end")
    assert [r.vector("out")[0] for r in shared] == pytest.approx([0.75, 0.75])


def test_map_arguments_are_checked_before_anything_runs(fake_worker):
    with tavlo.SimulationPool(1, 30.0, fake_worker) as pool:
        for args, kw, error, message in [
            ((netlist(), ["run"]), {}, TypeError, "with one netlist, params must be a list"),
            ((netlist(), ["run"]), {"params": {"a": 1}}, TypeError, "with one netlist, params must be a list"),
            ((netlist(), ["run"]), {"params": [{"a": 1}, 3]}, TypeError, r"params\[1\] must be a dict"),
            (([netlist()] * 2, ["run"]), {"params": [{}]}, ValueError, "params has 1 entries for 2 netlists"),
            (([netlist(), b"x"], ["run"]), {}, TypeError, r"netlists\[1\] must be a str"),
            ((42, ["run"]), {}, TypeError, "netlists must be a netlist str or a list"),
            (([netlist()], "run"), {}, TypeError, "commands must be a list of str"),
            (([netlist()], ["run"]), {"progress": "yes"}, TypeError,
             "progress must be None, True, False or a callable"),
            (([netlist()], ["run"]), {"return_exceptions": 1}, TypeError, "return_exceptions must be True or False"),
        ]:
            with pytest.raises(error, match=message):
                pool.map(*args, **kw)


def test_characterisation_reports_every_job_and_stays_quiet_otherwise(worker_exe, tmp_path, capfd):
    card = tmp_path / "nch.mod"
    card.write_text(CLM_CARD + "\n")
    device = tavlo.Device("nch", [card], vdd=1.8, l_min=0.2e-6)
    calls = []
    with tavlo.SimulationPool(2, 60.0, worker_exe) as pool:
        table = pool.characterise(device, lengths=[0.2e-6, 0.5e-6, 1e-6], vgs=(0, 1.8, 0.05), vds=(0, 1.8, 0.1),
                                  n_chunks=2, progress=lambda d, t: calls.append((d, t)))
        assert calls == [(d, 6) for d in range(1, 7)]
        assert table.id.shape == (3, 37, 19)
        pool.characterise(device, vgs=(0, 1.8, 0.05), vds=(0, 1.8, 0.1))  # default: no bar off a terminal

        def stop(done, total):
            raise ValueError(f"stop at {done}")

        with pytest.raises(ValueError, match="^stop at 1$"):
            pool.characterise(device, vgs=(0, 1.8, 0.05), vds=(0, 1.8, 0.1), progress=stop)
    assert capfd.readouterr() == ("", "")


def test_progress_bar_on_request_and_a_clear_error_without_tqdm(fake_worker, capfd, monkeypatch):
    pytest.importorskip("tqdm")
    with tavlo.SimulationPool(1, 30.0, fake_worker) as pool:
        items = [netlist("slow", i, "SLOW_SECS=0.02") for i in range(5)]
        pool.map(items, ["run"], progress=True)
        err = capfd.readouterr().err
        assert "simulating" in err and "5/5" in err and "job/s" in err
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)  # as if tqdm were not installed
        with pytest.raises(ImportError, match=r"^progress=True needs tqdm; install it with: pip install tqdm$"):
            pool.map(items, ["run"], progress=True)
        assert len(pool.map(items[:2], ["run"])) == 2  # the default needs no tqdm


def test_leaving_the_program_drops_waiting_requests(fake_worker, tmp_path):
    log = tmp_path / "requests"
    script = (
        "import sys, time, tavlo\n"
        "sys.path.insert(0, sys.argv[2])\n"
        "from conftest import netlist\n"
        "pool = tavlo.SimulationPool(1, 60.0, sys.argv[1])\n"
        "futures = [pool.submit(netlist('slow', 0, 'SLOW_SECS=0.1'), ['run']) for _ in range(30)]\n"
        "time.sleep(0.2)\n"  # exit without closing the pool or waiting for the futures
    )
    out = subprocess.run([sys.executable, "-c", script, fake_worker, str(Path(__file__).parent)],
                         capture_output=True, text=True, timeout=60, env={**os.environ, "FAKE_LOG": str(log)})
    assert out.returncode == 0 and out.stderr == "", out.stderr
    assert len(received(log)) <= 5  # those under way at exit, not all 30


def v_out(results):
    return [r.vector("v(out)")[0] for r in results]


@pytest.mark.timeout(120)  # the nested batch used to deadlock for ever
def test_a_progress_callable_may_run_its_own_batch_and_ctrl_c_still_ends_both(worker_exe, tmp_path):
    card = tmp_path / "nch.mod"
    card.write_text(CLM_CARD + "\n")
    device = tavlo.Device("nch", [card], vdd=1.8, l_min=0.2e-6)
    with tavlo.SimulationPool(2, 60.0, worker_exe) as pool:
        inner = []

        def nested(done, total):
            if done in (1, total):  # once while the outer batch runs, once at its end
                inner.append(v_out(pool.map(DIVIDER, ["op"], params=[{"r2": 1e3}, {"r2": 3e3}], progress=False)))

        out = pool.map(DIVIDER, ["op"], params=[{"r2": 1e3 * (k + 1)} for k in range(8)], progress=nested)
        assert v_out(out) == pytest.approx([(k + 1) / (k + 2) for k in range(8)])
        assert inner == [pytest.approx([0.5, 0.75])] * 2
        # The same from a characterisation's progress, which reports from its jobs' threads.
        inner.clear()
        pool.characterise(device, vgs=(0, 1.8, 0.05), vds=(0, 1.8, 0.1), n_chunks=4, progress=nested)
        assert inner == [pytest.approx([0.5, 0.75])] * 2

        # Ctrl-C while the callable's batch runs ends the callable's batch and the outer one.
        slow = [{"r2": 1e3}] * 40

        def stuck(done, total):
            if done == 1:
                pool.map(DIVIDER, ["op", "shell sleep 0.2"], params=slow, progress=False)

        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        with pytest.raises(KeyboardInterrupt):
            pool.map(DIVIDER, ["op"], params=slow, progress=stuck)
        # A characterisation's progress bar is not held up by its callable either.
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        with pytest.raises(KeyboardInterrupt):
            pool.characterise(device, vgs=(0, 1.8, 0.05), vds=(0, 1.8, 0.1), n_chunks=4, progress=stuck)
        assert v_out(pool.map(DIVIDER, ["op"], params=[{"r2": 3e3}])) == pytest.approx([0.75])
