"""Characterisation speed and memory, measured side by side in one run.

1. 5 lengths x 181 Vgs x 181 Vds of the built-in NMOS on a 2-worker pool: op/s, and wall time
   against the physical limit (the in-process ngspice time of the same netlists, summed and
   divided by the cores), both measured here.
2. The same grid the way common Python gm/Id scripts do it: one `ngspice -b` run per length
   writing a text file that Python parses.
3. Peak memory of the host process for that grid, against the size of the three tables.

Run: .venv/bin/python bench/lut_bench.py
"""

import os
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(__file__))
import _common as c  # noqa: E402
from worker_bench import build_harness, harness_run  # noqa: E402

LENGTHS = (0.2e-6, 1.0e-6, 0.2e-6)
STEP = 0.01
BUILTIN = (".model nch nmos level=3 tox=10n vto=0.7 kp=80u gamma=0.5 phi=0.6 nsub=1e17 nss=0 "
           "nfs=1e11 xj=0.05u ld=0.01u delta=0 theta=0.1 eta=0 kappa=0.2")


def sci(x, d):
    m, e = f"{x:.{d}e}".split("e")
    return f"{m}e{int(e)}"


def testbench(length, vgs_first, vgs_last):
    """The pool's own test bench for one length and Vgs slice (same text, same sweep)."""
    return "\n".join([
        f"nmos characterisation W={sci(1e-5, 3)} L={sci(length, 3)}", "", "* model", BUILTIN, "",
        "* test bench: M1 drain gate source bulk", f"M1 drain gate source bulk nch W={sci(1e-5, 3)} L={sci(length, 3)}",
        "Vds drain source dc 0", "Vgs gate  source dc 0", f"Vbs bulk  source dc {sci(0.0, 3)}", "Vs  source 0    dc 0",
        "", "* sweep",
        f".dc Vds {sci(0, 6)} {sci(1.8, 6)} {sci(STEP, 6)} Vgs {sci(vgs_first, 6)} {sci(vgs_last, 6)} {sci(STEP, 6)}",
        "", ".end"])


# Peak RSS is read as VmHWM: unlike ru_maxrss it starts afresh in the exec'd child.
CHILD = """
import sys, tavlo
def peak_kb():
    return int(next(l for l in open("/proc/self/status") if l.startswith("VmHWM")).split()[1])
pool = tavlo._SimulationPool(2, 600.0, sys.argv[1])
pool.run_simulation("warm\\nR1 a 0 1\\nV1 a 0 1\\n.end", ["op"])
pool.run_simulation("warm\\nR1 a 0 1\\nV1 a 0 1\\n.end", ["op"])
before = peak_kb()
cfg = tavlo.LutConfig(lengths={lengths!r}, vgs=(0.0, 1.8, {step!r}), vds=(0.0, 1.8, {step!r}))
import time
t = time.perf_counter()
lut = pool.generate_lut(cfg)
wall = time.perf_counter() - t
after = peak_kb()
print("RESULT", wall, before, after, lut.id.size)
"""


def main():
    cores = len(os.sched_getaffinity(0))
    exe = c.worker_exe()
    child = subprocess.run([sys.executable, "-c", CHILD.format(lengths=LENGTHS, step=STEP), exe],
                           capture_output=True, text=True, check=True)
    wall, before_kb, after_kb, points = next(line.split()[1:] for line in child.stdout.splitlines()
                                             if line.startswith("RESULT"))
    wall, points = float(wall), int(points)
    lengths = [LENGTHS[0] + LENGTHS[2] * i for i in range(5)]
    print(f"grid: 5 L x 181 Vgs x 181 Vds = {points} points, 2 workers, {cores} cores")
    print(f"1. pool: {wall * 1e3:.0f} ms, {points / wall:.0f} op/s")

    # The same netlists the pool ran (default chunking: 2 chunks of Vgs per length), timed in-process.
    with tempfile.TemporaryDirectory(prefix="tavlo-lut-bench-") as tmp:
        workdir = Path(tmp)
        harness = build_harness(workdir)
        chunks = [(0, 90), (91, 180)]
        in_process_s = sum(harness_run(harness, workdir, testbench(L, a * STEP, b * STEP), 1, 5)["in_process_us"]
                           for L in lengths for a, b in chunks) * 1e-6
        limit = in_process_s / cores
        print(f"   in-process ngspice time of the same netlists {in_process_s * 1e3:.0f} ms -> physical limit "
              f"{limit * 1e3:.0f} ms on {cores} cores; wall / limit = {wall / limit:.2f} (target <= 1.2)")

        t = c.clock()
        for i, L in enumerate(lengths):
            data = c.ngspice_batch(testbench(L, 0.0, 1.8), tmp, f"len{i}")
            assert data.size == 181 * 181, data.size
        batch = c.clock() - t
        print(f"2. one `ngspice -b` per length + text parsing: {batch * 1e3:.0f} ms, {points / batch:.0f} op/s; "
              f"pool speed-up {batch / wall:.1f}x")

    table_mb = 3 * 8 * points / 2**20
    grew_mb = (int(after_kb) - int(before_kb)) / 1024
    print(f"3. host peak RSS {int(after_kb) / 1024:.1f} MiB, of which the characterisation added {grew_mb:.1f} MiB; "
          f"the three tables are {table_mb:.1f} MiB ({grew_mb / table_mb:.2f}x)")


if __name__ == "__main__":
    main()
