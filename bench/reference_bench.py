"""The noise table against the reference flow's way of making it, side by side in one run.

The reference flow's techsweep: one `ngspice -b` with the full sky130 library, `set num_threads=1`,
and a control-language loop that for every length, Vsb, Vgs and Vds alters the sources, runs `op`
and `noise v(n) vgs lin 1 1 1 1` at 1 Hz (the drain current sensed by a 1 V/A CCVS), and appends
the device's `id` and `1overf` contributions with `wrdata`. Measured on sky130 nfet_01v8:

1. the noise table: a cold 2-worker pool (a new pool: its library parse included) against that run;
2. without noise: the same loop with `op` only, against `pool.characterise` without noise, on the
   same grid and on a denser one (the parse, the same on both sides, weighs less there);
3. the physical limit of a noise point: `noise` after `noise` unrolled inside one ngspice process,
   the per-point cost taken from two runs of different lengths (the parse cancels);
4. the peak memory of the workers and of the `ngspice -b` process, and whether sth and sfl agree.

Run: .venv/bin/python bench/reference_bench.py
"""

import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
import _common as c  # noqa: E402

import tavlo  # noqa: E402
from tavlo import pdk  # noqa: E402
from tavlo import _kitlib  # noqa: E402
from tavlo._characterise import instance_path, netlist_for, plan, run_job  # noqa: E402
from tavlo._noise import noise_netlist  # noqa: E402

LENGTHS = [0.15e-6, 1e-6]
VGS = (0.0, 1.8, 0.05)  # 37 points
VDS = (0.0, 1.8, 0.1)  # 19 points
VSB = (0.0, 0.6, 0.6)  # 2 points
DENSE = dict(vgs=(0.0, 1.8, 0.025), vds=(0.0, 1.8, 0.025))  # 73 x 73, for the sweeps without noise


def axis(start, stop, step):
    return start + step * np.arange(round((stop - start) / step) + 1)


def full_library_netlist(device):
    """The characterisation's netlist as the reference flow loads the kit: the whole library."""
    own = netlist_for(device, 1e-6, 27.0)
    return own.replace("\n".join(_kitlib.model_lines(device)), "\n".join(_kitlib.full_lines(device)))


def loop_deck(device, lengths, vgs, vds, vsb, out, noise):
    """The reference flow's control-language loop over lengths, Vsb, Vgs and Vds (Vds fastest)."""
    path = instance_path(device)
    body = noise_netlist(full_library_netlist(device)).replace(".end\n", "")
    if noise:
        measure = ["noise v(n) vgs lin 1 1 1 1", "setplot noise1",
                   f"let sth = onoise.{path}.id^2", f"let sfl = onoise.{path}.1overf^2", f"wrdata {out} sth sfl"]
    else:
        measure = [f"let idd = @{path}[id]", f"wrdata {out} idd"]
    lines = ["set num_threads=1", "set appendwrite", "set wr_singlescale",
             "foreach len " + " ".join(f"{device.to_library(x)!r}" for x in lengths),
             "alterparam l_char=$len", "reset",
             "foreach vsb " + " ".join(repr(float(x)) for x in axis(*vsb)),
             "alter vbs dc = -$vsb",
             "let ig = 0", f"while ig < {axis(*vgs).size}", f"let vg = {vgs[0]!r} + ig * {vgs[2]!r}",
             "alter vgs dc = $&vg",
             "let jd = 0", f"while jd < {axis(*vds).size}", f"let vd = {vds[0]!r} + jd * {vds[2]!r}",
             "alter vds dc = $&vd", "op", *measure,
             # Each analysis makes a plot: without this the process grows a plot a point.
             "destroy all",
             "let jd = jd + 1", "end", "let ig = ig + 1", "end", "end", "end"]
    return body + ".control\n" + "\n".join(lines) + "\n.endc\n.end\n"


def unrolled_deck(device, length, points):
    """`noise` after `noise` with nothing between: ngspice's own cost of a point (and, from two such
    runs, the full library's parse, which the loop pays)."""
    body = noise_netlist(full_library_netlist(device)).replace(".end\n", "")
    lines = ["set num_threads=1", f"alterparam l_char={device.to_library(length)!r}", "reset"]
    for vg, vd in points:
        lines += [f"alter vgs dc={vg!r}", f"alter vds dc={vd!r}", "noise v(n) vgs lin 1 1 1 1", "destroy all"]
    return body + ".control\n" + "\n".join(lines) + "\n.endc\n.end\n"


def ngspice_b(deck, workdir, name):
    """Runs one deck with `ngspice -b`: (wall time, CPU time, peak RSS in MB)."""
    path = os.path.join(workdir, name + ".cir")
    with open(path, "w") as f:
        f.write(deck)
    start = c.clock()
    # ngspice -b exits 1 after mere warnings: judge by the data.
    proc = subprocess.Popen(["ngspice", "-b", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, _, usage = os.wait4(proc.pid, 0)
    proc.returncode = 0
    return c.clock() - start, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def loaded(path, n, columns):
    if not os.path.exists(path):
        sys.exit(f"ngspice -b wrote no results to {path}")
    data = np.loadtxt(path, ndmin=2)
    if data.shape[0] != n:
        sys.exit(f"ngspice -b wrote {data.shape[0]} rows to {path}, expected {n}")
    return data[:, 1:1 + columns]


def workers_status():
    """(peak RSS in MB, CPU seconds) of each ngspice-worker child of this process."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/status") as f:
                status = dict(line.split(":", 1) for line in f if ":" in line)
        except OSError:
            continue
        if status.get("PPid", "").strip() == str(os.getpid()) and "ngspice-worker" in status.get("Name", ""):
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
            found.append((int(status["VmHWM"].split()[0]) / 1024, cpu))
    return found


def cold_characterise(device, **grid):
    """A new 2-worker pool, its parse included: (seconds, table, peak RSS of its workers, and with
    noise the wall and worker CPU seconds of the noise jobs alone run once more on the same pool,
    whose workers keep the noise circuit)."""
    start = c.clock()
    with tavlo.SimulationPool(2) as pool:
        table = pool.characterise(device, **grid)
        seconds = c.clock() - start
        peaks = [rss for rss, _ in workers_status()]
        again = None
        if grid.get("noise"):
            jobs = [job for job in plan(device, pool.workers, **grid).jobs if job.noise]
            start, cpu = c.clock(), sum(t for _, t in workers_status())
            # run_job raises on a failed or short job.
            with ThreadPoolExecutor(2 * pool.workers) as ex:
                list(ex.map(lambda job: run_job(pool.run_simulation, job), jobs))
            again = (c.clock() - start, sum(t for _, t in workers_status()) - cpu)
    return seconds, table, peaks, again


def as_loop_order(table, name):
    """A table quantity in the loop's order: length, Vsb ascending, Vgs, Vds."""
    values = table.quantity(name)  # (L, Vbs, Vgs, Vds)
    order = np.argsort(table.vsb)
    return values[:, order].reshape(-1)


def main():
    device = pdk.sky130("nfet_01v8")
    n_vgs, n_vds, n_vsb = axis(*VGS).size, axis(*VDS).size, axis(*VSB).size
    n = len(LENGTHS) * n_vsb * n_vgs * n_vds
    grid = dict(lengths=LENGTHS, vgs=VGS, vds=VDS, vsb=VSB)
    with c.tempdir() as tmp:
        noisy, table, peaks, noise_only = cold_characterise(device, noise=True, **grid)
        out = os.path.join(tmp, "noise.txt")
        batch, batch_cpu, batch_rss = ngspice_b(loop_deck(device, LENGTHS, VGS, VDS, VSB, out, True), tmp, "noise")
        ref = loaded(out, n, 2)

        plain, plain_table, _, _ = cold_characterise(device, **grid)
        out = os.path.join(tmp, "op.txt")
        batch_op, batch_op_cpu, _ = ngspice_b(loop_deck(device, LENGTHS, VGS, VDS, VSB, out, False), tmp, "op")
        ref_id = loaded(out, n, 1)[:, 0]

        dense = dict(grid, **DENSE)
        n_dense = len(LENGTHS) * n_vsb * axis(*DENSE["vgs"]).size * axis(*DENSE["vds"]).size
        plain_dense, _, _, _ = cold_characterise(device, **dense)
        out = os.path.join(tmp, "op_dense.txt")
        batch_dense, _, _ = ngspice_b(loop_deck(device, LENGTHS, DENSE["vgs"], DENSE["vds"], VSB, out, False), tmp,
                                   "op_dense")
        loaded(out, n_dense, 1)

        points = [(vg, vd) for vg in axis(*VGS) for vd in axis(*VDS)]
        # The parse's CPU time varies by a few tenths of a second: many points, the least of two runs.
        short = min(ngspice_b(unrolled_deck(device, LENGTHS[0], points[:20]), tmp, "few")[1] for _ in range(2))
        long_ = min(ngspice_b(unrolled_deck(device, LENGTHS[0], points * 10), tmp, "many")[1] for _ in range(2))
        own = (long_ - short) / (10 * len(points) - 20)

    # CPU seconds, not wall: the difference of two runs stays meaningful on a loaded machine.
    tavlo_point = noise_only[1] / n
    sth, sfl = as_loop_order(table, "sth"), as_loop_order(table, "sfl")
    # The ngspice text has 9 significant digits; an exact zero (no flicker noise at Vds = 0) stays zero.
    agree = all(np.allclose(ours, theirs, rtol=1e-6, atol=0) for ours, theirs in ((sth, ref[:, 0]), (sfl, ref[:, 1])))
    worst = max(float(np.max(np.abs(ours - theirs) / np.maximum(np.abs(theirs), 1e-300)))
                for ours, theirs in ((sth, ref[:, 0]), (sfl, ref[:, 1])))
    # Where the channel conducts: at Vds = 0 the drain terminal carries leakage only.
    on = np.abs(ref_id) > 1e-6 * np.max(np.abs(ref_id))
    id_abs = float(np.max(np.abs(as_loop_order(plain_table, "id") - ref_id)))
    id_worst = float(np.max(np.abs(as_loop_order(plain_table, "id")[on] - ref_id[on]) / np.abs(ref_id[on])))

    parse = short - 20 * own  # CPU seconds of ngspice's parse of the full library
    print(f"sky130 nfet_01v8, {len(LENGTHS)} L x {n_vgs} Vgs x {n_vds} Vds x {n_vsb} Vsb = {n} points, "
          f"2 workers; load average {os.getloadavg()[0]:.2f}")
    print(f"  noise: ngspice -b loop {batch:.2f} s; pool cold {noisy:.2f} s: {batch / noisy:.1f}x faster (target >= 2)")
    print(f"  without noise: ngspice -b loop {batch_op:.2f} s; pool cold {plain:.2f} s: "
          f"{batch_op / plain:.1f}x faster (target >= 20)")
    print(f"  without noise, {n_dense} points (73 x 73 Vgs x Vds): ngspice -b loop {batch_dense:.2f} s; "
          f"pool cold {plain_dense:.2f} s: {batch_dense / plain_dense:.1f}x faster")
    print(f"  ngspice CPU: parse of the full library {parse:.2f} s; a loop point "
          f"{1000 * (batch_cpu - parse) / n:.2f} ms "
          f"(op + noise + wrdata), {1000 * (batch_op_cpu - parse) / n:.2f} ms (op + wrdata)")
    print(f"  a noise point: ngspice's own (noise after noise in one process, CPU) {1000 * own:.3f} ms; "
          f"the pool's noise jobs alone (the circuit kept) {noise_only[0]:.2f} s, "
          f"CPU {1000 * tavlo_point:.3f} ms a point "
          f"= {tavlo_point / own:.2f} x the limit")
    print(f"  without any parse the noise table would be {(batch_cpu - parse) / n / (tavlo_point / 2):.1f}x faster "
          f"than the loop on 2 workers (the loop point against half the pool's)")
    print(f"  the pool's cold noise run less its run without noise: {noisy - plain:.2f} s (each worker parses the "
          f"noise netlist, a circuit of its own, as well)")
    print(f"  peak RSS: workers {', '.join(f'{p:.0f}' for p in peaks)} MB; ngspice -b {batch_rss:.0f} MB")
    print(f"  sth, sfl against the loop's: {'agree' if agree else 'DIFFER'} at rtol 1e-6 (worst {worst:.1e}); "
          f"id (-I(Vds) against the model's @m[id]) worst relative "
          f"{id_worst:.1e} above 1e-6 of the largest, worst absolute {id_abs:.1e} A")

if __name__ == "__main__":
    main()
