"""Verified sizing on a warm pool with a parsed sky130 library, and the native design() time.

For sky130 nfet_01v8 and pfet_01v8, gm/Id in {8, 15, 22} and Id in {1 uA, 100 uA} (L = 4 um and
0.5 um), after the device's table is characterised on the same pool (every worker has parsed the
kit in the netlist the sizing runs on): the median wall time and the
median number of simulations of pool.size, against targets of 50 ms and 6 simulations. Then
TransistorLut.design() with gm/Id, gain and Id targets on a 10 x 181 x 181 table, against 100 us.

Run: .venv/bin/python bench/verify_bench.py
"""

import os
import statistics
import sys
import time
import timeit

sys.path.insert(0, os.path.dirname(__file__))
import _common as c  # noqa: E402

import tavlo  # noqa: E402
from tavlo import pdk  # noqa: E402
from tavlo._characterise import netlist_for, saved_vectors  # noqa: E402

TARGETS = [(g, i) for g in (8, 15, 22) for i in (1e-6, 100e-6)]
LENGTH = {1e-6: 4e-6, 100e-6: 0.5e-6}
ROUNDS = 3


def one_request(pool, device, k):
    """Time of one operating point on the parsed netlist: the simulator's own floor per
    simulation (the worker sets the parameters and resets the circuit for every request)."""
    netlist = netlist_for(device, 1e-6, device.temperature)
    s = -1 if device.polarity == "pmos" else 1
    params = {"w_char": float(device.to_library(2e-6 + 1e-8 * k)), "l_char": float(device.to_library(0.5e-6)),
              "vbs_char": 0.0}
    t = time.perf_counter()
    result = pool.run_simulation(netlist, ["save " + " ".join(saved_vectors(device)),
                                           f"dc vds {s * 0.9} {s * 0.9} 1 vgs {s * 0.7} {s * 0.7} 1"],
                                 params=params, return_vectors=saved_vectors(device))
    assert result.success, result.error
    return time.perf_counter() - t


def sizing(pool):
    times, sims, floor = [], [], []
    for name in ("nfet_01v8", "pfet_01v8"):
        device = pdk.sky130(name)
        t0 = time.perf_counter()
        table = pool.characterise(device, lengths=[device.l_min, 0.5e-6, 1e-6, 2e-6, 4e-6],
                                  vgs=(0.0, 1.8, 0.02), vds=(0.0, 1.8, 0.1), progress=False)
        print(f"{name}: table and parse on {pool.workers} workers {time.perf_counter() - t0:.1f} s")
        for _ in range(ROUNDS):
            for gm_id, ids in TARGETS:
                t = time.perf_counter()
                res = pool.size(device, gm_id=gm_id, ids=ids, l=LENGTH[ids], table=table)
                times.append(time.perf_counter() - t)
                sims.append(res.simulations)
                # Interleaved, so that both see the same load on a shared host.
                floor.append(one_request(pool, device, len(floor)))
        print(f"  e.g. {res!r}".replace("\n", "\n  "))
    med_t, med_n = statistics.median(times), statistics.median(sims)
    print(f"verified sizing, {len(times)} runs: median {med_t * 1e3:.1f} ms (target 50 ms: "
          f"{0.050 / med_t:.2f}x), min {min(times) * 1e3:.1f} ms, max {max(times) * 1e3:.1f} ms")
    print(f"simulations per sizing: median {med_n:g} (target 6: {6 / med_n:.2f}x), max {max(sims)}")
    one = statistics.median(floor)
    print(f"one bare operating-point request on this host: median {one * 1e3:.1f} ms; a sizing takes "
          f"{med_t / (med_n * one):.2f}x its simulations' own time")


def native_design(pool):
    cfg = tavlo.LutConfig(lengths=(0.2e-6, 2.0e-6, 0.2e-6), vgs=(0.0, 1.8, 0.01), vds=(0.0, 1.8, 0.01))
    lut = pool._native().generate_lut(cfg, None)
    for label, kwargs, target in (("gm_id + gain + ids", dict(gm_id=12.0, gain=50.0, ids=100e-6), 100e-6),
                                  ("gm_id + ids", dict(gm_id=12.0, ids=100e-6), 100e-6)):
        runs = timeit.repeat(lambda kwargs=kwargs: lut.design(**kwargs), number=20, repeat=15)
        per_call = sorted(runs)[len(runs) // 2] / 20
        print(f"design({label}) on {lut!r}: median {per_call * 1e6:.1f} us "
              f"(target 100 us: {target / per_call:.1f}x)")


def main():
    with tavlo.SimulationPool(2, 600.0, c.worker_exe()) as pool:
        sizing(pool)
        native_design(pool)


if __name__ == "__main__":
    main()
