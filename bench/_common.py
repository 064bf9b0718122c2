"""Shared pieces of the benchmarks: model cards, test-bench netlists and ngspice -b runs."""

import glob
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

import numpy as np

LEVEL3 = (".model nch nmos level=3 tox=10n vto=0.7 kp=80u gamma=0.5 phi=0.6 nsub=1e17 nss=0 "
          "nfs=1e11 xj=0.05u ld=0.01u delta=0 theta=0.1 eta=0 kappa=0.2")
BSIM4 = ".model nch nmos level=54 version=4.8.2"


def worker_exe():
    path = os.path.join(sysconfig.get_path("scripts"), "ngspice-worker")
    if not os.path.exists(path):
        sys.exit(f"{path} not found: install tavlo first (bash scripts/setup.sh)")
    return path


def sweep_netlist(card, length=0.5e-6, step=0.05, tag=0):
    """A DC sweep of Vds (fastest) and Vgs over 0..1.8 V; `tag` makes each netlist unique."""
    return (f"sweep {tag}\n{card}\nM1 drain gate 0 0 nch W=10u L={length!r}\n"
            "Vds drain 0 dc 0\nVgs gate 0 dc 0\n"
            f".dc Vds 0 1.8 {step} Vgs 0 1.8 {step}\n.end\n")


def ngspice_batch(netlist, workdir, name):
    """Runs one netlist the way many Python tools do: `ngspice -b`, results to a text file, parsed."""
    body = netlist.rstrip().removesuffix(".end")
    out = os.path.join(workdir, name + ".txt")
    path = os.path.join(workdir, name + ".cir")
    with open(path, "w") as f:
        f.write(f"{body}.control\nset wr_singlescale\nrun\nwrdata {out} i(vds)\n.endc\n.end\n")
    # ngspice -b exits 1 after mere warnings (the built-in card has ignored parameters): judge by the data.
    subprocess.run(["ngspice", "-b", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return np.loadtxt(out)[:, 1]


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Every worker source, so that a split of the worker does not break the bench programs' link.
CORE_SOURCES = [*sorted(os.path.relpath(p, ROOT) for p in glob.glob(os.path.join(ROOT, "src/tavlo/worker/*.cpp"))),
                "src/tavlo/protocol/json_read.cpp", "src/tavlo/protocol/request_json.cpp",
                "src/tavlo/protocol/header_json.cpp", "src/tavlo/protocol/frame.cpp",
                *(f"src/tavlo/base/{f}.cpp" for f in ("error", "io", "text", "format"))]


def build_bench_program(name, workdir):
    """Compiles bench/<name>.cpp with the worker's core sources into workdir; returns its path."""
    exe = os.path.join(workdir, name)
    cxx = os.environ.get("CXX", "c++")
    subprocess.run([cxx, "-O2", "-std=c++20", "-Isrc", f"bench/{name}.cpp", *CORE_SOURCES, "-o", exe, "-ldl",
                    "-pthread"], cwd=ROOT, check=True)
    return exe


def median(xs):
    return statistics.median(xs)


def clock():
    return time.perf_counter()


def tempdir():
    return tempfile.TemporaryDirectory(prefix="tavlo-bench-")
