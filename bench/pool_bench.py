"""Pool overhead per request, throughput with 1 and 2 workers, and against `ngspice -b`.

1. Overhead: median round trip of a tiny netlist (an `op` of a resistor divider) through a
   1-worker pool from Python, minus the same ngspice calls made in-process (the worker
   benchmark's harness), both measured here.
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

import tavlo  # noqa: E402
from worker_bench import DIVIDER, build_harness, harness_run  # noqa: E402


def overhead():
    pool = tavlo._SimulationPool(1, 60.0, c.worker_exe())
    rounds = []
    for _ in range(9):
        t = time.perf_counter()
        for _ in range(300):
            pool.run_simulation(DIVIDER, ["op"])
        rounds.append((time.perf_counter() - t) / 300 * 1e6)
    with tempfile.TemporaryDirectory(prefix="tavlo-pool-bench-") as tmp:
        local = harness_run(build_harness(Path(tmp)), Path(tmp), DIVIDER, 300, 9)["in_process_us"]
    through_pool = c.median(rounds)
    print(f"tiny netlist ({'op'} of a divider): through a 1-worker pool {through_pool:.1f} us, in-process "
          f"{local:.1f} us, overhead {through_pool - local:.1f} us (target < 100 us)")


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
    args = ap.parse_args()
    cores = len(os.sched_getaffinity(0))
    overhead()
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
