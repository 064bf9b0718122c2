"""The installed ngspice-worker driven over its pipes, with the real ngspice behind it."""

import array
import json
import math
import os
import select
import struct
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

SCRIPTS = Path(sysconfig.get_path("scripts"))
FIXTURES = Path(__file__).parent / "worker_fixtures"
WAIT = 60.0  # seconds; only turns a hang into a failure

DIVIDER = "* divider\nV1 in 0 1\nR1 in out 1k\nR2 out 0 1k\n"
RC = "* rc\nV1 in 0 pulse(0 1 0 1n 1n 5n 10n) ac 1\nR1 in out 1k\nC1 out 0 1p\n"


class Worker:
    """One worker process; frames are read with a deadline so that a hang fails the test."""

    def __init__(self, tmp_path, exe="ngspice-worker", env=None):
        self._err = open(tmp_path / f"{exe}-{id(self)}.stderr", "w+b")
        self.proc = subprocess.Popen([str(SCRIPTS / exe)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self._err, env=env)

    def send(self, data):
        self.proc.stdin.write(data if isinstance(data, bytes) else data.encode())
        self.proc.stdin.flush()

    def read(self, n):
        out = b""
        while len(out) < n:
            ready, _, _ = select.select([self.proc.stdout], [], [], WAIT)
            assert ready, "worker did not answer in time"
            chunk = os.read(self.proc.stdout.fileno(), n - len(out))
            assert chunk, f"worker closed its output after {len(out)} of {n} bytes"
            out += chunk
        return out

    def frame(self):
        header = json.loads(self.read(struct.unpack("<I", self.read(4))[0]))
        vectors = {}
        for meta in header["vecs"]:
            raw = array.array("d", self.read(meta["len"] * (16 if meta["is_complex"] else 8)))
            vectors[meta["name"]] = ([complex(raw[i], raw[i + 1]) for i in range(0, len(raw), 2)]
                                     if meta["is_complex"] else list(raw))
        return header, vectors

    def ask(self, netlist, commands=("run",), id="r", **extra):
        self.send(json.dumps({"id": id, "netlist": netlist, "commands": list(commands), **extra}) + "\n")
        return self.frame()

    def finish(self):
        """Closes the input; returns exit status, anything left on stdout, and stderr."""
        self.proc.stdin.close()
        rest = self.proc.stdout.read()
        status = self.proc.wait(WAIT)
        self._err.seek(0)
        return status, rest, self._err.read().decode(errors="replace")

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for f in (self.proc.stdin, self.proc.stdout, self._err):
            f.close()


@pytest.fixture
def start_worker(tmp_path):
    started = []

    def start(exe="ngspice-worker", env=None):
        started.append(Worker(tmp_path, exe, env))
        return started[-1]

    yield start
    for w in started:
        w.close()


@pytest.fixture
def worker(start_worker):
    return start_worker()


def names(header):
    return [v["name"] for v in header["vecs"]]


# ---- results ----

def test_dc_sweep_returns_its_scale_and_branch_current(worker):
    h, v = worker.ask(DIVIDER + ".dc V1 0 1 0.25\n.end\n")
    assert h["success"] and "error" not in h and h["id"] == "r"
    assert [m["name"] for m in h["vecs"] if m["is_scale"]] == ["v-sweep"]
    assert v["v-sweep"] == [0.0, 0.25, 0.5, 0.75, 1.0]
    assert v["out"] == pytest.approx([x / 2 for x in v["v-sweep"]])
    assert v["v1#branch"] == pytest.approx([-x / 2000 for x in v["v-sweep"]])


def test_transient_measures_come_from_the_log(worker):
    h, v = worker.ask(RC + ".tran 0.1n 20n\n.measure tran vmax max v(out)\n.end\n")
    assert h["success"]
    assert v["time"][-1] == pytest.approx(20e-9)
    assert [name for name, _ in h["measures"]] == ["vmax"]
    assert h["measures"][0][1] == pytest.approx(max(v["out"]), rel=1e-6)


def test_ac_analysis_returns_complex_samples(worker):
    h, v = worker.ask(RC + ".ac dec 10 1k 10g\n.end\n")
    assert h["success"]
    meta = {m["name"]: m for m in h["vecs"]}
    assert meta["out"]["is_complex"] and meta["frequency"]["is_scale"]
    corner = 1 / (2 * math.pi * 1e3 * 1e-12)
    for f, out in zip(v["frequency"], v["out"], strict=True):
        assert out == pytest.approx(1 / (1 + 1j * f.real / corner), rel=1e-3)
    # the complex payloads were exactly 16 bytes a sample: the stream is still in step
    assert worker.ask(DIVIDER + ".op\n.end\n")[0]["success"]


def test_two_analyses_give_qualified_names_and_no_scale(worker):
    h, v = worker.ask(DIVIDER + ".end\n", ["op", "dc v1 0 1 0.5"])
    assert h["success"]
    assert set(names(h)) == {"op1.v1#branch", "op1.out", "op1.in",
                             "dc1.v1#branch", "dc1.out", "dc1.in", "dc1.v-sweep"}
    assert not any(m["is_scale"] for m in h["vecs"])
    assert v["dc1.out"] == [0.0, 0.25, 0.5]


@pytest.mark.parametrize("commands, wanted, expected", [
    (["op"], ["OUT", "V1#Branch"], ["v1#branch", "out"]),
    (["op"], [], []),
    (["op", "dc v1 0 1 1"], ["DC1.OUT", "in"], ["dc1.out", "dc1.in", "op1.in"]),
], ids=["case-insensitive", "empty-list", "multi-plot-qualified"])
def test_return_vectors_selects_by_name_ignoring_case(worker, commands, wanted, expected):
    h, _ = worker.ask(DIVIDER + ".end\n", commands, return_vectors=wanted)
    assert h["success"] and names(h) == expected


# ---- refusals and failures ----

@pytest.mark.parametrize("ending, accepted", [
    (".END", True), (".end\n\n   \n", True), (".end\r\n", True),
    (".ends", False), (".end\n* trailing comment", False),
], ids=["upper-case", "trailing-blanks", "crlf", "subckt-end", "comment-after"])
def test_netlist_must_end_with_dot_end(worker, ending, accepted):
    netlist = DIVIDER + ".op\n" + ending
    if ending.endswith("\r\n"):
        netlist = netlist.replace("\n", "\r\n")
    h, _ = worker.ask(netlist, id="e")
    assert h["id"] == "e" and h["success"] is accepted
    if not accepted:
        assert h["log"] == ["netlist must end with .end"]
        assert h["error"] == "netlist does not end with .end"


def test_rejected_netlist_is_a_normal_unsuccessful_answer(worker):
    worker.ask(DIVIDER + ".dc V1 0 1 0.5\n.end\n")
    h, v = worker.ask("* bad\nX1 a 0 nosuch\nR1 a 0 1k\n.op\n.end\n")
    assert not h["success"] and v == {}  # nothing of the previous circuit comes back
    assert h["error"].startswith("stderr ") and "nosuch" in h["error"]
    assert h["error"] in h["log"]
    assert worker.ask(DIVIDER + ".op\n.end\n")[0]["success"]


@pytest.mark.parametrize("commands", [["rnu"], ["op", "prnt out"]])
def test_a_misspelt_command_is_a_failure_with_ngspices_words(worker, commands):
    h, _ = worker.ask(DIVIDER + ".end\n", commands)
    word = commands[-1].split()[0]
    assert not h["success"]
    assert h["error"] == f"stderr {word}: no such command available in ngspice"
    assert h["error"] in h["log"]
    assert worker.ask(DIVIDER + ".op\n.end\n")[0]["success"]  # and the worker carries on


def test_a_circuit_that_does_not_load_reports_ngspices_reason(worker):
    h, _ = worker.ask(DIVIDER + ".lib /nonexistent/tavlo.lib tt\n.op\n.end\n")
    assert not h["success"]
    assert h["error"] == "ngSpice_Circ failed with code 1: Error: Could not find library file /nonexistent/tavlo.lib"
    assert "stderr Error: Could not find library file /nonexistent/tavlo.lib" in h["log"]


@pytest.mark.parametrize("line, fault", [
    (b"{not json", ""),
    (b'{"id": "x", "netlist": ".end"}', "commands"),
], ids=["invalid-json", "missing-commands"])
def test_undecodable_line_gets_the_unknown_frame(worker, line, fault):
    worker.send(line + b"\n")
    h, _ = worker.frame()
    assert (h["id"], h["success"], h["vecs"], h["measures"]) == ("unknown", False, [], [])
    (entry,) = h["log"]
    assert entry.startswith("failed to parse request: ") and fault in entry
    assert h["error"] == "parse error: " + entry[len("failed to parse request: "):]


def test_blank_lines_get_no_frame_and_end_of_input_ends_cleanly(worker):
    worker.send(b"\n   \t \r\n\xc2\xa0\n")
    h, _ = worker.ask(DIVIDER + ".op\n.end\n", id="after-blanks")
    assert h["id"] == "after-blanks"
    assert worker.finish()[:2] == (0, b"")


def test_invalid_utf8_ends_the_worker_with_an_error(worker):
    worker.send(b'{"id": "\xff"}\n')
    status, rest, err = worker.finish()
    assert (status, rest) == (1, b"")
    assert "stream did not contain valid UTF-8" in err


def test_failing_command_stops_the_rest_and_a_controlled_exit_ends_the_worker(worker):
    h, v = worker.ask(DIVIDER + ".op\n.end\n", ["echo first = 1.5", "quit", "echo third = 3"])
    assert not h["success"] and v == {}
    assert h["log"][-1] == "command 'quit' failed with code 1"
    assert "ngspice requested controlled exit with status 0" in h["log"]
    assert h["measures"] == [["first", 1.5]]
    assert not any("third" in line for line in h["log"])
    assert worker.proc.wait(WAIT) == 0  # on its own, with its input still open


def test_circuit_that_makes_ngspice_exit_is_answered_before_the_worker_ends(worker):
    h, _ = worker.ask("* open subckt\n.subckt half a b\nR1 a b 1k\nX1 in 0 half\n.op\n.end\n")
    assert not h["success"] and h["error"]
    assert worker.proc.wait(WAIT) == 0


# ---- the frame stream and the process ----

def test_shell_output_cannot_corrupt_the_frame_stream(worker):
    h, v = worker.ask(DIVIDER + ".op\n.end\n", ["shell echo from-the-shell", "run"])
    assert h["success"] and v["out"] == [0.5]
    assert worker.ask(DIVIDER + ".op\n.end\n")[0]["success"]
    status, rest, err = worker.finish()
    assert (status, rest) == (0, b"") and "from-the-shell" in err


def test_background_run_is_collected_after_it_finishes(worker):
    h, v = worker.ask(RC + ".tran 0.01n 200n\n.end\n", ["bg_run"])
    assert h["success"]
    assert v["time"][-1] == pytest.approx(200e-9) and len(v["out"]) == len(v["time"])


def test_memory_stays_flat_over_many_requests(worker):
    def rss_kb():
        with open(f"/proc/{worker.proc.pid}/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

    request = (json.dumps({"id": "m", "netlist": DIVIDER + ".op\n.end\n", "commands": ["run"]}) + "\n").encode()
    for i in range(5000):
        worker.send(request)
        assert worker.frame()[0]["success"]
        if i + 1 == 500:
            after_500 = rss_kb()
    # each request would otherwise keep its circuit (~24 kB) or its command history (~0.5 kB)
    assert rss_kb() - after_500 < 1024


@pytest.mark.parametrize("exe", ["ngspice-worker", "ngspice-worker-py"])
def test_both_entry_points_serve_and_exit_zero(start_worker, exe):
    w = start_worker(exe)
    assert w.ask(DIVIDER + ".op\n.end\n")[1]["out"] == [0.5]
    assert w.finish()[:2] == (0, b"")


def fake_library(tmp_path, *flags):
    lib = tmp_path / "libfake.so"
    subprocess.run(["cc", "-shared", "-fPIC", *flags, "-o", str(lib), str(FIXTURES / "fake_ngspice.c")], check=True)
    return lib


@pytest.mark.parametrize("exe", ["ngspice-worker", "ngspice-worker-py"])
@pytest.mark.parametrize("library, message", [
    ("missing", "failed to load libngspice: {lib}: cannot open shared object file"),
    ("seven-symbols", "failed to load libngspice: {lib}: undefined symbol: ngSpice_running"),
    ("init-fails", "ngspice init"),
])
def test_library_choice_and_load_failures(start_worker, tmp_path, exe, library, message):
    lib = {"missing": lambda: tmp_path / "libngspice-missing.so",
           "seven-symbols": lambda: fake_library(tmp_path, "-DOMIT_RUNNING"),
           "init-fails": lambda: fake_library(tmp_path)}[library]()
    w = start_worker(exe, env={**os.environ, "NGSPICE_LIBRARY_PATH": str(lib)})
    status, rest, err = w.finish()
    assert (status, rest) == (1, b"")
    assert message.format(lib=lib) in err
    if library == "init-fails":
        assert "ngSpice_Init returned 7" in err


def test_run_worker_releases_the_interpreter_lock(tmp_path):
    code = ("import sys, threading, tavlo\n"
            "t = threading.Thread(target=tavlo._run_worker)\n"
            "t.start()\n"
            "sys.stderr.write('main thread runs\\n'); sys.stderr.flush()\n"
            "t.join()\n")
    with subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        ready, _, _ = select.select([proc.stderr], [], [], WAIT)
        assert ready and proc.stderr.readline() == b"main thread runs\n"
        proc.stdin.close()
        assert proc.wait(WAIT) == 0


def test_worker_start_up_imports_nothing_heavy():
    code = "import sys, tavlo._worker; print(sorted({'numpy', 'matplotlib'} & set(sys.modules)))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=WAIT)
    assert out.stdout.strip() == "[]", out.stderr


def test_memory_stays_flat_while_two_netlists_with_params_alternate(worker):
    def rss_kb():
        with open(f"/proc/{worker.proc.pid}/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

    netlists = [DIVIDER.replace("R2 out 0 1k", f"R2 out 0 {{r}}\n.param r=1k\n* {k}") + ".op\n.end\n" for k in (1, 2)]
    for i in range(3000):
        h, v = worker.ask(netlists[i % 2], ["run"], params={"r": 1000.0 + i})
        assert h["success"] and v["out"] == [pytest.approx((1000 + i) / (2000 + i), rel=1e-12)]
        if i + 1 == 500:
            after_500 = rss_kb()
    # both stay parsed; the copy each request runs on is removed after it
    assert rss_kb() - after_500 < 1024
