"""The same characterisation on a local Dask cluster and on a local pool, measured side by side.

1. sky130 nfet_01v8, 10 lengths x 181 Vgs x 181 Vds: a LocalCluster of 2 worker processes x 1
   thread (tavlo.distributed.characterise) against a 2-worker SimulationPool, cold (each ngspice
   process parses the model library: a new pool, or a fresh cluster's first call) and warm (the
   same pool or cluster again), alternating, medians. The cluster's start-up is not counted.
2. A set of 5 corners x 3 temperatures of sky130 nfet_01v8 tables (3 lengths x 91 x 37) on the
   cluster, and the same set by a local pool's characterise_set: the cost per table and per point.
3. On paper, from those figures: a full kit on a cluster of 100 nodes.

Run: .venv/bin/python bench/dask_bench.py [rounds, default 2; 0 runs the set alone]
"""

import os
import sys
import warnings

sys.path.insert(0, os.path.dirname(__file__))
import _common as c  # noqa: E402

import numpy as np  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402

import tavlo  # noqa: E402
import tavlo.distributed as td  # noqa: E402
from tavlo import pdk  # noqa: E402

GRID = dict(lengths=list(np.geomspace(0.15e-6, 4e-6, 10)), vgs=(0.0, 1.8, 0.01), vds=(0.0, 1.8, 0.01))
SET_GRID = dict(lengths=[0.15e-6, 0.5e-6, 2e-6], vgs=(0.0, 1.8, 0.02), vds=(0.0, 1.8, 0.05))
CORNERS, TEMPERATURES = ("tt", "ss", "ff", "sf", "fs"), (-40.0, 27.0, 125.0)
# The kit on paper: 4 devices x 5 corners x 3 temperatures x 5 Vbs values, each 10 x 181 x 181.
KIT_TABLES, KIT_VBS, NODE_CORES, NODES = 4 * 5 * 3, 5, 2, 100
POINTS = 10 * 181 * 181  # one table of GRID


def timed(fn, *args, **kw):
    start = c.clock()
    out = fn(*args, **kw)
    return c.clock() - start, out


def single_tables(rounds):
    """Section 1; returns the core-seconds per point and the library parse per core."""
    nfet = pdk.sky130("nfet_01v8")
    local_cold, local_warm, dask_cold, dask_warm = [], [], [], []
    for _ in range(rounds):
        with tavlo.SimulationPool(2) as pool:
            t, local = timed(pool.characterise, nfet, progress=False, **GRID)
            local_cold.append(t)
            local_warm.append(timed(pool.characterise, nfet, progress=False, **GRID)[0])
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                          silence_logs=50) as cluster, Client(cluster) as client:
            t, remote = timed(td.characterise, client, nfet, progress=False, **GRID)
            dask_cold.append(t)
            dask_warm.append(timed(td.characterise, client, nfet, progress=False, **GRID)[0])
            if not all(np.array_equal(local.quantity(q), remote.quantity(q)) for q in local.quantities):
                sys.exit("the cluster's table differs from the local one")
    lc, lw, dc, dw = map(c.median, (local_cold, local_warm, dask_cold, dask_warm))
    print(f"sky130 nfet_01v8, 10 lengths x 181 x 181, medians of {rounds} alternating rounds")
    print(f"  cold: local 2-worker pool {lc:.2f} s, LocalCluster 2 x 1 {dc:.2f} s: ratio {dc / lc:.2f} "
          "(target <= 1.3)")
    print(f"  warm: local {lw:.2f} s, LocalCluster {dw:.2f} s: ratio {dw / lw:.2f}")
    per_point = dw * 2 / POINTS  # core-seconds per point, library parsed
    parse = (dc - dw)  # each ngspice process parses the library once, all in parallel
    return per_point, parse


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 2
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # Dask's notes about ports and versions
        figures = single_tables(rounds) if rounds > 0 else None
        devices = [pdk.sky130("nfet_01v8", corner=k) for k in CORNERS]
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                          silence_logs=50) as cluster, Client(cluster) as client:
            t, tables = timed(td.characterise_set, client, devices, TEMPERATURES, progress=False, **SET_GRID)
            cluster_load = os.getloadavg()[0]
        with tavlo.SimulationPool(2) as pool:
            t_local, local = timed(pool.characterise_set, devices, TEMPERATURES, progress=False, **SET_GRID)
            local_load = os.getloadavg()[0]
    if local.keys() != tables.keys() or not all(
            np.array_equal(local[k].quantity(q), tables[k].quantity(q)) for k in tables for q in tables[k].quantities):
        sys.exit("the cluster's set differs from the local one")
    n = len(tables)
    set_points = n * 3 * 91 * 37
    print(f"sky130 nfet_01v8, {len(CORNERS)} corners x {len(TEMPERATURES)} temperatures = {n} tables of "
          f"3 x 91 x 37, 2 workers each:")
    print(f"  LocalCluster 2 x 1: {t:.1f} s, {t / n:.2f} s per table ({t * 2 / set_points * 1e6:.0f} core-us per "
          f"point; load {cluster_load:.2f})")
    print(f"  local pool.characterise_set: {t_local:.1f} s, {t_local / n:.2f} s per table "
          f"({t_local * 2 / set_points * 1e6:.0f} core-us per point; load {local_load:.2f}); the cluster takes "
          f"{t / t_local:.2f} x")
    if figures is None:
        return
    per_point, parse = figures

    kit_points = KIT_TABLES * KIT_VBS * POINTS
    kit_jobs = KIT_TABLES * KIT_VBS * 10  # one job per length at 181 x 181
    cores = NODES * NODE_CORES
    sweeps = kit_points * per_point / cores
    # A core parses a table's library before its first job of that table: once per core at best
    # (each core keeps to one table), once per job at worst (its jobs come from different tables).
    best, worst = sweeps + parse, sweeps + kit_jobs * parse / cores
    print(f"on paper: {KIT_TABLES} tables (4 devices x 5 corners x 3 temperatures) x {KIT_VBS} Vbs x 10 x 181 x 181 "
          f"= {kit_points / 1e6:.0f} M points at {per_point * 1e6:.1f} core-us = {kit_points * per_point:.0f} core-s "
          f"of sweeps, and a library parse of {parse:.1f} s per core and table")
    print(f"  on {NODES} nodes of {NODE_CORES} cores: {best:.0f} s (each core keeps to one table) to {worst:.0f} s "
          f"(every job parses); one such node: {kit_points * per_point / NODE_CORES + KIT_TABLES * parse:.0f} s")


if __name__ == "__main__":
    main()
