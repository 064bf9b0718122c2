"""Cost of the model's own quantities: the characterisation's sweeps with and without the saved
device outputs, side by side on one warm pool (the library already parsed by every worker).

sky130 nfet_01v8, N lengths x 181 Vgs x 181 Vds, Vgs in one chunk per worker:
- Id only: the dc command alone, only the drain current sent back;
- every quantity: the save line (drain current, gm, gds, gmbs, vth, vdsat, cgg, cgs, cgd, cgb, cdd,
  css) before the dc command, every saved vector sent back, as pool.characterise runs it.
Rounds alternate between the two; the ratio of the medians is printed.

Run: .venv/bin/python bench/quantities_bench.py [n_lengths]   (default 10)
"""

import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor


import numpy as np  # noqa: E402

import tavlo  # noqa: E402
from tavlo import pdk  # noqa: E402
from tavlo._characterise import job_request, netlist_for, saved_vectors  # noqa: E402


def main(n_lengths: int) -> None:
    device = pdk.sky130("nfet_01v8")
    lengths = np.geomspace(0.15e-6, 4e-6, n_lengths)
    vds = (0.0, 1.8, 0.01)
    netlist = netlist_for(device, 1e-6, 27.0)
    with tavlo.SimulationPool(workers=2) as pool:
        jobs = []
        for length in lengths:
            for first, last in ((0, 90), (91, 180)):
                jobs.append(job_request(device, float(length), 0.0, (first * 0.01, last * 0.01, 0.01), vds))

        def run(full: bool) -> float:
            def one(job):
                params, commands = job
                if full:
                    result = pool.run_simulation(netlist, commands, params=params, return_vectors=saved_vectors(device))
                else:
                    result = pool.run_simulation(netlist, commands[-1:], params=params, return_vectors=["vds#branch"])
                assert result.success, result.error
                return result
            start = time.perf_counter()
            with ThreadPoolExecutor(4) as ex:
                results = list(ex.map(one, jobs))
            elapsed = time.perf_counter() - start
            if full:
                assert results[0].vector(f"@{saved_vectors(device)[1][1:]}").size == 91 * 181
            return elapsed

        run(False)  # every worker parses the library here
        plain, full = [], []
        for _ in range(5):
            plain.append(run(False))
            full.append(run(True))
    a, b = statistics.median(plain), statistics.median(full)
    print(f"sky130 nfet_01v8, {n_lengths} x 181 x 181, 2 workers, median of 5 rounds")
    print(f"  Id only: {a * 1e3:.0f} ms; every quantity: {b * 1e3:.0f} ms; ratio {b / a:.2f}x")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 10)
