"""Sizing at a chosen length and for a gain target, checked against tables characterised at that length."""

import re

import numpy as np

import pytest

import tavlo
from tavlo import pdk

from conftest import GF180, missing_kit
SWEEP = dict(vgs=(0, 3.3, 0.01), vds=(0, 3.3, 0.05))
GRID = [0.28e-6, 0.4e-6, 0.6e-6, 1.0e-6, 2.0e-6]  # uneven on purpose
BETWEEN, GAIN, VDS = 0.8e-6, 150.0, 1.65


@pytest.fixture(scope="module")
def tables(worker_exe):
    """The grid table, its gain-target sizing, and a table at exactly 0.8 µm and the length that sizing chose."""
    if not (GF180 / "sm141064.ngspice").exists():
        missing_kit(f"gf180mcu model files not found in {GF180}")
    dev = pdk.gf180mcu("nfet_03v3", root=str(GF180))
    with tavlo.SimulationPool(2, 120.0, worker_exe) as pool:
        grid = pool.characterise(dev, lengths=GRID, **SWEEP)
        sized = grid.design(gm_id=15, gain=GAIN, ids=10e-6, vds=VDS)
        exact = pool.characterise(dev, lengths=sorted([BETWEEN, sized.l]), **SWEEP)
    return grid, sized, exact


def test_a_given_length_between_grid_lengths_meets_gm_id_and_scales_w(tables):
    grid, _, exact = tables
    res = grid.design(gm_id=15, ids=10e-6, l=BETWEEN, vds=VDS)
    assert res.l == BETWEEN and res.vds == VDS
    assert [n for n, _ in res.constraint_errors] == ["gm/Id", "Ids"]
    assert res.gm_over_id == pytest.approx(15, rel=0.01) and abs(res.constraint_errors[0][1]) < 0.01
    assert res.id == pytest.approx(10e-6, rel=1e-12) and res.gm == pytest.approx(15 * 10e-6, rel=0.01)
    # What a table characterised at that very length says.
    truth_w = 10e-6 / exact.lookup("id_w", gm_id=15, l=BETWEEN, vds=VDS)
    assert res.w == pytest.approx(truth_w, rel=0.05)
    assert res.vgs == pytest.approx(exact.lookup("vgs", gm_id=15, l=BETWEEN, vds=VDS), abs=0.01)
    assert res.gain == pytest.approx(exact.lookup("gm_gds", gm_id=15, l=BETWEEN, vds=VDS), rel=0.1)
    assert re.fullmatch(r"DesignResult\(W=\d\.\d{3}e-\d+, L=8\.000e-7, Vgs=0\.\d{3}, Vds=1\.650, "
                        r"Id=1\.000e-5, gm/Id=1[45]\.\d\d, gain=\d+\.\d\)", repr(res))
    # On a grid length the answer is the table's own lookup; W doubles with the current.
    on = grid.design(gm_id=15, ids=20e-6, l=GRID[2], vds=VDS)
    assert on.vgs == pytest.approx(grid.lookup("vgs", gm_id=15, l=GRID[2], vds=VDS), abs=1e-12)
    assert on.w == pytest.approx(20e-6 / grid.lookup("id_w", gm_id=15, l=GRID[2], vds=VDS), rel=1e-12)
    # Candidates: the shortest without a gain target, the closest gain with one.
    assert grid.design(gm_id=15, ids=10e-6, l=[2e-6, 0.4e-6, 1e-6]).l == 0.4e-6
    long_gain = grid.design(gm_id=15, l=GRID[-1]).gain
    assert grid.design(gm_id=15, gain=long_gain * 0.9, l=[0.4e-6, 2e-6, 1e-6]).l == 2e-6
    # Without a length or gain target the native solver answers, unchanged.
    native = grid.design(gm_id=15, ids=10e-6)
    assert type(native) is tavlo.DesignResult and repr(native) == repr(grid.lut.design(gm_id=15, ids=10e-6))


def test_a_gain_target_between_grid_lengths_holds_at_that_length(tables):
    grid, sized, exact = tables
    assert all(abs(sized.l - g) > 0.02e-6 for g in GRID) and GRID[0] < sized.l < GRID[-1]
    assert [n for n, _ in sized.constraint_errors] == ["gm/Id", "gain", "Ids"]
    assert abs(sized.constraint_errors[1][1]) < 1e-6 and sized.gain == pytest.approx(GAIN, rel=1e-6)
    true_gain = exact.lookup("gm_gds", gm_id=15, l=sized.l, vds=VDS)
    assert true_gain == pytest.approx(GAIN, rel=0.05)
    assert sized.w == pytest.approx(10e-6 / exact.lookup("id_w", gm_id=15, l=sized.l, vds=VDS), rel=0.05)
    # The gain grows with length, so a lower target takes a shorter channel.
    assert grid.design(gm_id=15, gain=GAIN / 2, vds=VDS).l < sized.l


def test_targets_the_table_cannot_meet_are_named(tables):
    grid, _, _ = tables
    cases = [
        (dict(gm_id=40, ids=1e-6, l=1e-6), r"gm_id = 40 is not reached"),
        (dict(gm_id=15, l=10e-6), r"l = 1e-05 is outside the table's length axis"),
        (dict(gm_id=15, l=1e-6, gm_id_max=12), r"outside \[gm_id_min, gm_id_max\] = \[5, 12\]"),
        (dict(ids=1e-6, l=1e-6), r"give gm_id or gain with ids"),
        (dict(ids=1e-6), r"give gm_id or gain with ids"),
    ]
    for kwargs, message in cases:
        with pytest.raises(ValueError, match=message):
            grid.design(**kwargs)
    # A gain no length reaches: the length closest to it, with its error, as the native design answers.
    for gain in (1e5, 1.0):
        res = grid.design(gm_id=15, gain=gain, ids=1e-6)
        assert repr(res) == repr(grid.lut.design(gm_id=15, gain=gain, ids=1e-6))
        assert res.l == (GRID[-1] if gain > 1 else GRID[0]) and abs(dict(res.constraint_errors)["gain"]) > 0.5
    # Bad arguments read as they do without a length.
    for bad in (dict(ids=-1.0), dict(vds=5.0), dict(gain=float("nan"))):
        with pytest.raises(ValueError) as native:
            grid.design(gm_id=15, **bad)
        with pytest.raises(ValueError) as ours:
            grid.design(gm_id=15, l=1e-6, **bad)
        assert str(ours.value) == str(native.value)


@pytest.fixture(scope="module")
def body_tables(worker_exe):
    """A gf180 table over Vsb = 0, 0.5, 1 V and one characterised at Vsb = 0.25 V, in between."""
    if not (GF180 / "sm141064.ngspice").exists():
        pytest.skip(f"gf180mcu model files not found in {GF180}")
    dev = pdk.gf180mcu("nfet_03v3", root=str(GF180))
    grid = dict(lengths=[0.28e-6, 1e-6], vgs=(0, 3.3, 0.05), vds=(0, 3.3, 0.1))
    with tavlo.SimulationPool(2, 120.0, worker_exe) as pool:
        return pool.characterise(dev, vsb=[0.0, 0.5, 1.0], **grid), pool.characterise(dev, vsb=0.25, **grid)


def test_between_body_bias_points_the_table_follows_the_threshold(body_tables):
    swept, exact = body_tables
    at = dict(l=0.28e-6, vgs=[0.85, 1.2, 2.0], vds=1.65)
    # Blending currents at one Vgs put this 45 % off at 0.85 V: the threshold moves with Vsb.
    np.testing.assert_allclose(swept.lookup("id", vsb=0.25, **at), exact.lookup("id", **at), rtol=0.01)
    assert swept.lookup("vth", vsb=0.25, **at) == pytest.approx(exact.lookup("vth", **at), abs=2e-3)
    for kwargs in (dict(gm_id=12, ids=10e-6), dict(gm_id=12, ids=10e-6, l=0.5e-6), dict(gm_id=10, gain=40, ids=1e-5)):
        ours, truth = swept.design(vsb=0.25, vds=VDS, **kwargs), exact.design(vds=VDS, **kwargs)
        assert ours.w == pytest.approx(truth.w, rel=0.02) and ours.vgs == pytest.approx(truth.vgs, abs=3e-3), kwargs
    # The native sizing's bias reads back through lookup at that body bias: one table between the points.
    native = swept.design(gm_id=12, ids=10e-6, vsb=0.25, vds=VDS)
    assert swept.lookup("gm_id", l=native.l, vgs=native.vgs, vds=VDS, vsb=0.25) == pytest.approx(native.gm_over_id,
                                                                                                 rel=1e-12)


def test_a_source_off_ground_is_sized_from_drain_and_gate_to_bulk(body_tables):
    swept, exact = body_tables
    at = dict(gm_id=12, l=0.5e-6, vdb=1.9, vgb=1.0)
    vgs, vsb = swept.lookup("vgs", **at), swept.lookup("vsb", **at)
    assert vgs + vsb == pytest.approx(1.0, abs=1e-12) and 0.2 < vsb < 0.3
    assert swept.lookup("gm_id", l=0.5e-6, vgs=vgs, vds=1.9 - vsb, vsb=vsb) == pytest.approx(12, rel=1e-6)
    # A table characterised at about that Vsb agrees.
    assert exact.lookup("gm_id", l=0.5e-6, vgs=1.0 - 0.25, vds=1.9 - 0.25) == pytest.approx(12, rel=0.01)
    for call, message in [
        (lambda: exact.lookup("vgs", **at), "need a table over a body-bias sweep"),
        (lambda: swept.lookup("vgs", vds=1.0, **at), "give vdb and vgb instead of vds"),
        (lambda: swept.lookup("id", **at), "lookup gives 'vgs' or 'vsb'"),
        (lambda: swept.lookup("vgs", gm_id=12, l=0.5e-6, vdb=1.9), "give both vdb and vgb"),
        (lambda: swept.lookup("vgs", gm_id=40, l=0.5e-6, vdb=1.9, vgb=1.0), r"gm_id = 40 is not reached with vdb"),
        (lambda: swept.lookup("vgs", gm_id=12, l=0.5e-6, vdb=1.9, vgb="1"), "vgb must be a number"),
    ]:
        with pytest.raises(ValueError, match=message):
            call()


def test_sweeps_run_downwards_give_the_same_ascending_table(worker_exe):
    if not (GF180 / "sm141064.ngspice").exists():
        pytest.skip(f"gf180mcu model files not found in {GF180}")
    dev = pdk.gf180mcu("nfet_03v3", root=str(GF180))
    with tavlo.SimulationPool(2, 120.0, worker_exe) as pool:
        up = pool.characterise(dev, lengths=[0.28e-6, 1e-6], vgs=(0, 3.3, 0.05), vds=(0, 3.3, 0.1))
        down = pool.characterise(dev, lengths=[1e-6, 0.28e-6], vgs=(3.3, 0, -0.05), vds=(3.3, 0, -0.1))
    for axis in ("lengths", "vgs", "vds"):
        np.testing.assert_allclose(getattr(down, axis), getattr(up, axis), atol=1e-12)
    np.testing.assert_allclose(down.id, up.id, rtol=1e-6, atol=1e-10)  # ngspice sweeps leakage a little apart
    # Descending, the sizing took W = 1.65 m at Vgs = 0.051 V and the longest length.
    for kwargs in (dict(gm_id=12, ids=10e-6), dict(gm_id=12, gain=60, ids=10e-6), dict(gm_id=15, ids=1e-6, l=0.5e-6)):
        ours, truth = down.design(**kwargs), up.design(**kwargs)
        assert (ours.w, ours.l, ours.vgs) == pytest.approx((truth.w, truth.l, truth.vgs), rel=1e-6), kwargs
