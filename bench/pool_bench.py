"""Pool throughput: 1 vs 2 workers, and against one `ngspice -b` process per netlist.

Run: .venv/bin/python bench/pool_bench.py [--batch N]
Every figure is measured in this one run; ratios are what to compare across machines.
"""

import argparse
import os
import sys
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(__file__))
import _common as c  # noqa: E402

import tavlo  # noqa: E402


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
