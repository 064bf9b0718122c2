"""Worker start-up and per-request overhead, measured side by side in one run.

(a) start-up: process start to the first answered request, native `ngspice-worker` against the
    interpreter-based `ngspice-worker-py`;
(b) overhead per request: a round trip through the native worker's pipes, driven from C++ as the
    pool drives it, minus the same ngspice calls made in-process; both timed by
    bench/worker_harness.cpp (compiled here with c++ against the core's sources) in short
    alternating rounds (overhead = median of the rounds' differences), for an `op` of a resistor
    divider and a 37 x 37 DC sweep of a level-3 NMOS.

Run: .venv/bin/python bench/worker_bench.py
"""

import json
import os
import select
import shutil
import statistics
import struct
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(__file__))
import _common as c  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
SCRIPTS = Path(sysconfig.get_path("scripts"))

DIVIDER = "* divider\nV1 in 0 1\nR1 in out 1k\nR2 out 0 1k\n.op\n.end\n"
SWEEP = ("* level-3 nmos sweep\n"
         ".model nch nmos level=3 tox=10n vto=0.7 kp=80u gamma=0.5 phi=0.6\n"
         "+nsub=1e17 nss=0 nfs=1e11 xj=0.05u ld=0.01u delta=0 theta=0.1 eta=0 kappa=0.2\n"
         "M1 d g 0 0 nch W=10u L=0.5u\nVds d 0 0\nVgs g 0 0\n"
         ".dc Vds 0 1.8 0.05 Vgs 0 1.8 0.05\n.end\n")
# (label, netlist, requests per round, rounds)
CASES = [("op, resistor divider", DIVIDER, 50, 81), ("37x37 DC sweep, level 3", SWEEP, 5, 81)]


class Pipe:
    def __init__(self, exe):
        self.proc = subprocess.Popen([str(exe)], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.out = self.proc.stdout.fileno()

    def read(self, n):
        buf = bytearray()
        while len(buf) < n:
            if not select.select([self.out], [], [], 60)[0]:
                sys.exit("worker did not answer within 60 s")
            chunk = os.read(self.out, n - len(buf))
            if not chunk:
                sys.exit("worker ended unexpectedly")
            buf += chunk
        return buf

    def ask(self, line):
        self.proc.stdin.write(line)
        self.proc.stdin.flush()
        header = json.loads(self.read(struct.unpack("<I", self.read(4))[0]))
        self.read(sum(v["len"] * (16 if v["is_complex"] else 8) for v in header["vecs"]))
        if not header["success"]:
            sys.exit(f"request failed: {header.get('error')}")
        return header

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()
        self.proc.stdout.close()


def request_line(netlist):
    return (json.dumps({"id": "b", "netlist": netlist, "commands": ["run"]}) + "\n").encode()


def start_up_ms(exe, repeat=15):
    line = request_line(DIVIDER)
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        p = Pipe(exe)
        p.ask(line)
        times.append((time.perf_counter() - t0) * 1e3)
        p.close()
    return statistics.median(times)


def build_harness(workdir):
    return Path(c.build_bench_program("worker_harness", str(workdir)))


def harness_run(harness, workdir, netlist, n, rounds):
    path = workdir / "netlist.cir"
    path.write_text(netlist)
    out = subprocess.run([str(harness), str(SCRIPTS / "ngspice-worker"), str(path), str(n), str(rounds)],
                         capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(out.stderr)
    return json.loads(out.stdout)


def main():
    for exe in ("ngspice-worker", "ngspice-worker-py"):
        if not (SCRIPTS / exe).exists():
            sys.exit(f"{SCRIPTS / exe} not found: install tavlo first (bash scripts/setup.sh)")
    with tempfile.TemporaryDirectory(prefix="tavlo-worker-bench-") as tmp:
        workdir = Path(tmp)
        harness = build_harness(workdir)

        native = start_up_ms(SCRIPTS / "ngspice-worker")
        python = start_up_ms(SCRIPTS / "ngspice-worker-py")
        results = [(label, harness_run(harness, workdir, netlist, n, rounds))
                   for label, netlist, n, rounds in CASES]
        print("(a) start-up, process start to first answered request (median of 15)")
        print(f"    native ngspice-worker      {native:8.1f} ms")
        print(f"    ngspice-worker-py          {python:8.1f} ms   ({python / native:.1f}x the native)")
        print(f"    in-process load + init     {results[0][1]['start_ms']:8.1f} ms")

        print("(b) per request: pipe round trip (native worker) vs the same ngspice calls in-process")
        for label, r in results:
            pipe, local, overhead = r["pipe_us"], r["in_process_us"], r["overhead_us"]
            verdict = "within" if overhead < 100 else "OVER"
            print(f"    {label:26s} pipe {pipe:8.1f} us  in-process {local:8.1f} us  "
                  f"overhead {overhead:6.1f} us ({verdict} the 100 us target)  ratio {pipe / local:.3f}")
            print(f"    {'':26s} of which JSON + frame encoding and decoding, both ends: {r['codec_us']:.1f} us")
        floor = statistics.median(r["bare_pipe_us"] for _, r in results)
        print(f"    floor of any pipe protocol here: one byte there and back between two processes {floor:.1f} us")


if __name__ == "__main__":
    if shutil.which(os.environ.get("CXX", "c++")) is None:
        sys.exit("a C++20 compiler (c++) is needed to build the in-process harness")
    main()
