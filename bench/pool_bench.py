"""Pool overhead per request, throughput with 1 and 2 workers, and against `ngspice -b`.

1. Overhead: median round trip of a tiny netlist (an `op` of a resistor divider) through a
   1-worker pool from Python, as a ratio to the same ngspice calls made in-process (the worker
   benchmark's harness), both measured here; then 2 000 of them from 2 threads on a 2-worker
   pool against 2 000 in-process one after another; then the default chunking (chunk_bench).
2. Scaling: a batch of 37 x 37 DC sweeps with 1 and 2 workers, level-3 and BSIM4 cards.
3. The same batch run as one `ngspice -b` process per netlist, two at a time.

Run: .venv/bin/python bench/pool_bench.py [--batch N]
Every figure is measured in this one run; ratios are what to compare across machines.
"""

import argparse
import os
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, os.path.dirname(__file__))
import _common as c  # noqa: E402
import chunk_bench  # noqa: E402

import tavlo  # noqa: E402
from worker_bench import DIVIDER, build_harness, harness_run  # noqa: E402


def overhead(harness, workdir):
    """Median round trip of the divider through a 1-worker pool from Python against the same
    ngspice calls made in-process (measured before and after, averaged, to cancel drift)."""
    before = harness_run(harness, workdir, DIVIDER, 300, 9)["in_process_us"]
    with tavlo.SimulationPool(1, 60.0, c.worker_exe()) as pool:
        for _ in range(200):
            pool.run_simulation(DIVIDER, ["run"])
        rounds = []
        for _ in range(9):
            t = time.perf_counter()
            for _ in range(300):
                pool.run_simulation(DIVIDER, ["run"])
            rounds.append((time.perf_counter() - t) / 300 * 1e6)
    after = harness_run(harness, workdir, DIVIDER, 300, 9)["in_process_us"]
    local = (before + after) / 2
    through_pool = c.median(rounds)
    print(f"tiny netlist (the divider's op): through a 1-worker pool {through_pool:.1f} us, in-process "
          f"{local:.1f} us: {through_pool / local:.2f}x in-process (target <= 1.8x)")
    return local


def two_threads(local_us, n=2000):
    """n requests from 2 threads on a 2-worker pool against n in-process one after another."""
    with tavlo.SimulationPool(2, 60.0, c.worker_exe()) as pool, ThreadPoolExecutor(2) as ex:
        list(ex.map(lambda _: [pool.run_simulation(DIVIDER, ["run"]) for _ in range(100)], range(2)))
        t = time.perf_counter()
        list(ex.map(lambda _: [pool.run_simulation(DIVIDER, ["run"]) for _ in range(n // 2)], range(2)))
        elapsed = time.perf_counter() - t
    sequential = local_us * n / 1e6
    print(f"{n} divider requests: 2 threads on a 2-worker pool {elapsed * 1e3:.0f} ms, in-process one after "
          f"another {sequential * 1e3:.0f} ms: the pool takes {elapsed / sequential:.2f}x (target < 1)")


def pool_batch(workers, netlists):
    pool = tavlo._SimulationPool(workers, 600.0, c.worker_exe())
    # Warm up every worker so process start-up is not counted.
    with ThreadPoolExecutor(2 * workers) as ex:
        list(ex.map(lambda n: pool.run_simulation(n, ["run"]), netlists[:2 * workers]))
        t = c.clock()
        results = list(ex.map(lambda n: pool.run_simulation(n, ["run"]), netlists))
        elapsed = c.clock() - t
    assert all(r.success for r in results), [r.error for r in results if not r.success][:1]
    return elapsed


def ngspice_b_batch(netlists, parallel):
    with c.tempdir() as d, ThreadPoolExecutor(parallel) as ex:
        t = c.clock()
        list(ex.map(lambda a: c.ngspice_batch(a[1], d, f"n{a[0]}"), enumerate(netlists)))
        return c.clock() - t


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--batch", type=int, default=200, help="netlists per batch")
    ap.add_argument("--no-chunks", dest="chunks", action="store_false", help="skip the chunking figures")
    args = ap.parse_args()
    cores = len(os.sched_getaffinity(0))
    with tempfile.TemporaryDirectory(prefix="tavlo-pool-bench-") as tmp:
        local = overhead(build_harness(Path(tmp)), Path(tmp))
    two_threads(local)
    if args.chunks:
        chunk_bench.main()
    print(f"batch of {args.batch} DC sweeps of 37 x 37 points, {cores} cores")
    for label, card in (("level 3", c.LEVEL3), ("BSIM4", c.BSIM4)):
        netlists = [c.sweep_netlist(card, tag=i) for i in range(args.batch)]
        t1 = pool_batch(1, netlists)
        t2 = pool_batch(2, netlists)
        nb = ngspice_b_batch(netlists[: max(20, args.batch // 5)], 2) * args.batch / max(20, args.batch // 5)
        print(f"  {label:8s} pool 1 worker {args.batch / t1:7.0f} sims/s | 2 workers {args.batch / t2:7.0f} "
              f"sims/s | scaling {t1 / t2:.2f}x | ngspice -b x2 processes {args.batch / nb:5.1f} sims/s "
              f"| pool speed-up {nb / t2:.0f}x")


if __name__ == "__main__":
    main()
