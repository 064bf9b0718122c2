import os
import stat
import sys
import sysconfig
from pathlib import Path

import pytest

HERE = Path(__file__).parent


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


def netlist(mode="echo", value=0.0, extra=""):
    return f"fake\n* MODE={mode} VALUE={value!r} {extra}\n.end\n"


@pytest.fixture
def no_stale_env(monkeypatch):
    for name in ("NGSPICE_WORKER_BIN", "VIRTUAL_ENV"):
        monkeypatch.delenv(name, raising=False)
    return monkeypatch
