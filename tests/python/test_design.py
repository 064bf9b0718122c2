"""Sizing on a real characterised table."""

import numpy as np
import pytest

import tavlo


@pytest.fixture(scope="module")
def lut(worker_exe):
    pool = tavlo._SimulationPool(2, 60.0, worker_exe)
    cfg = tavlo.LutConfig(lengths=(0.2e-6, 1.0e-6, 0.2e-6), vgs=(0.0, 1.8, 0.01), vds=(0.0, 1.8, 0.05))
    return pool.generate_lut(cfg)


def test_gm_id_and_current_targets(lut):
    res = lut.design(gm_id=15, ids=1e-4)  # an int is accepted like a float
    assert res.id == pytest.approx(1e-4, rel=1e-12)
    names = [name for name, _ in res.constraint_errors]
    assert names == ["gm/Id", "Ids"] and res.constraint_errors[1] == ("Ids", 0.0)
    assert res.gm_over_id == pytest.approx(15, rel=0.02)
    # Without a gain target the shortest length with a crossing is taken, exactly on the axis.
    assert res.l in lut.lengths
    assert res.vds == pytest.approx(lut.vds[len(lut.vds) // 2])
    # The width scales the table's current at the same point to the target; ratios stay.
    unscaled = lut.design(gm_id=15)
    assert unscaled.w == lut.width and (unscaled.l, unscaled.vgs) == (res.l, res.vgs)
    assert res.w == pytest.approx(lut.width * 1e-4 / unscaled.id, rel=1e-12)
    assert res.gm == pytest.approx(unscaled.gm * res.w / lut.width, rel=1e-12)
    assert res.gain == unscaled.gain


def test_gain_target_picks_a_longer_channel(worker_exe):
    # The built-in card leaves channel-length modulation out, so this test brings its own.
    card = ".model nch nmos level=3 vto=0.5 kp=80u gamma=0.5 phi=0.6 kappa=0.5 eta=0.01 tox=10n"
    pool = tavlo._SimulationPool(2, 60.0, worker_exe)
    lut = pool.generate_lut(tavlo.LutConfig(lengths=(0.2e-6, 2.0e-6, 0.2e-6), vgs=(0.0, 1.8, 0.01),
                                            vds=(0.0, 1.8, 0.05), model_card=card))
    short = lut.design(gm_id=10.0)
    with_gain = lut.design(gm_id=10.0, gain=100.0)
    assert with_gain.l > short.l
    assert [name for name, _ in with_gain.constraint_errors] == ["gm/Id", "gain"]
    assert abs(with_gain.constraint_errors[1][1]) < 0.1 < abs(short.gain / 100.0 - 1)


def test_errors(lut):
    with pytest.raises(ValueError, match=r"^at least one constraint \(gm_id, gain, ids\) must be specified$"):
        lut.design(vds=0.9)
    with pytest.raises(RuntimeError, match=r"^simulation failed: No operating point found for gm/Id = 30\.00 "):
        lut.design(gm_id=30.0)
    with pytest.raises(TypeError):
        lut.design(15.0)
    with pytest.raises(TypeError, match="argument 'gm_id_min'"):
        lut.design(gm_id=15.0, gm_id_min=None)
    assert lut.design(gm_id=15.0, id_min=None).gm_over_id > 0


@pytest.mark.parametrize("kwargs, message", [
    (dict(gm_id=15, ids=float("nan")), "ids must be a finite positive current in A, got nan"),
    (dict(gm_id=15, ids=float("inf")), "ids must be a finite positive current in A, got inf"),
    (dict(gm_id=15, ids=0.0), "ids must be a finite positive current in A, got 0.0"),
    (dict(gm_id=15, ids=-1e-4), "ids must be a finite positive current in A, got -0.0001"),
    (dict(gm_id=float("nan")), "gm_id must be a finite number, got nan"),
    (dict(gm_id=15, gain=float("nan")), "gain must be a finite number, got nan"),
    (dict(gm_id=15, vds=100.0), "vds must lie on the table's Vds axis [0.0, 1.8] V, got 100.0"),
    (dict(gm_id=15, vds=-0.01), "vds must lie on the table's Vds axis [0.0, 1.8] V, got -0.01"),
    (dict(gm_id=15, vds=float("nan")), "vds must lie on the table's Vds axis [0.0, 1.8] V, got nan"),
])
def test_targets_the_table_cannot_answer_are_refused_not_clamped(lut, kwargs, message):
    table = tavlo.MosTable(lut)
    for sizer in (lut.design, table.design):
        with pytest.raises(ValueError) as exc:
            sizer(**kwargs)
        assert str(exc.value) == message
    edge = lut.design(gm_id=15, vds=1.8)  # the axis itself stays usable up to its ends
    assert edge.vds == 1.8 and np.isfinite(edge.w)


@pytest.mark.parametrize("width", [0.0, -1e-6, float("nan"), float("inf")])
def test_tables_with_a_meaningless_width_do_not_load(lut, tmp_path, width):
    arrays = (lut.vbs, lut._length_axis, lut.vgs, lut.vds, lut.id, lut.gm, lut.gds)
    with pytest.raises(ValueError, match="^width must be a finite positive number of metres, got "):
        tavlo.TransistorLut._from_arrays(width, *arrays)
    lut.to_csv(tmp_path / "t.csv")
    with pytest.raises(ValueError, match="width must be a finite positive number"):
        tavlo.load_table(tmp_path / "t.csv", width=width)
    npz = tmp_path / "t.npz"
    tavlo.MosTable(lut).save(npz)
    with np.load(npz) as data:
        stored = dict(data)
    stored["width"] = np.array(width)
    with open(npz, "wb") as f:
        np.savez(f, **stored)
    with pytest.raises(ValueError, match="width must be a finite positive number"):
        tavlo.load_table(npz)


# -- one engine behind both entry points (an analytic table: no ngspice) ----------------------------

ANALYTIC_GRID = (np.geomspace(0.18e-6, 2e-6, 7), np.linspace(0.0, 1.8, 181), np.linspace(0.0, 1.8, 37))


def analytic_table(lengths=ANALYTIC_GRID[0], vgs=ANALYTIC_GRID[1], vds=ANALYTIC_GRID[2]):
    """A smooth long-channel model (EKV-like charge law, channel-length modulation 0.1 µm / L) on
    a 7 L × 181 × 37 grid, derivatives by finite differences as the characterisation takes them."""
    L, VGS, VDS = np.meshgrid(lengths, vgs, vds, indexing="ij")
    ut, n = 0.0259, 1.3
    lam = 0.1e-6 / L
    inversion = np.log1p(np.exp((VGS - 0.45) / (2 * n * ut))) ** 2
    ids = 2e-6 / L * 1e-6 * inversion * (1 + lam * VDS) * np.tanh(VDS / (0.1 + 0.2 * np.sqrt(inversion)))
    gm, gds = np.gradient(ids, vgs, axis=1), np.gradient(ids, vds, axis=2)
    return tavlo.TransistorLut._from_arrays(1e-6, 0.0, lengths, vgs, vds, ids, gm, gds)


def test_both_entry_points_size_the_same_targets():
    """The check a user can run: 100 random targets with and without a gain, natively and on MosTable."""
    lut = analytic_table()
    table = tavlo.MosTable(lut)
    rng = np.random.default_rng(7)
    sized = 0
    lengths = lut.lengths
    for gm_id, ids, l, spread in zip(rng.uniform(6, 20, 100), 10 ** rng.uniform(-7, -4, 100),
                                     np.exp(rng.uniform(*np.log(lengths[[0, -1]]), 100)), rng.uniform(0.7, 1.4, 100),
                                     strict=True):
        # A gain the device has at some length, spread so that some lie beyond either end.
        gain = table.design(gm_id=gm_id, l=l).gain * spread
        # Without a gain both are the one native algorithm, to the last bit.
        assert repr(table.design(gm_id=gm_id, ids=ids)) == repr(lut.design(gm_id=gm_id, ids=ids))
        native = lut.design(gm_id=gm_id, gain=gain, ids=ids)
        ours = table.design(gm_id=gm_id, gain=gain, ids=ids)  # never refuses what the native sizes
        native_error, our_error = (abs(dict(r.constraint_errors)["gain"]) for r in (native, ours))
        assert our_error <= native_error, (gm_id, gain)
        assert ours.id == pytest.approx(ids, rel=1e-9) and abs(dict(ours.constraint_errors)["gm/Id"]) < 0.02
        sized += our_error < 1e-6
    # Most gains are met between lengths; the rest lie beyond the shortest or the longest one.
    assert 50 < sized < 100
    short = table.design(gm_id=9.3, gain=2.0, ids=1e-5)  # the shortest length already exceeds it
    assert short.l == lengths[0] and dict(short.constraint_errors)["gain"] > 1


def test_descending_axes_size_as_ascending_ones():
    lut = analytic_table()
    ascending = tavlo.MosTable(lut)
    flip = (slice(None, None, -1),) * 3
    down = tavlo.MosTable(tavlo.TransistorLut._from_arrays(
        lut.width, 0.0, lut.lengths[::-1], lut.vgs[::-1], lut.vds[::-1], lut.id[flip], lut.gm[flip], lut.gds[flip]))
    assert np.all(np.diff(down.lengths) > 0) and np.all(np.diff(down.vgs) > 0) and np.all(np.diff(down.vds) > 0)
    np.testing.assert_array_equal(down.id, ascending.id)
    for kwargs in (dict(gm_id=12, ids=10e-6), dict(gm_id=12, gain=60, ids=1e-6), dict(gm_id=15, l=0.5e-6)):
        assert repr(down.design(**kwargs)) == repr(ascending.design(**kwargs))
    assert down.lookup("gm_id", l=0.3e-6, vgs=0.7, vds=0.9) == ascending.lookup("gm_id", l=0.3e-6, vgs=0.7, vds=0.9)


BAD_TARGETS = [
    (dict(ids=1e-5), "give gm_id or gain with ids"),
    (dict(gm_id=-12, ids=1e-5), "gm_id must be a positive number"),
    (dict(gm_id=12, gm_id_min=float("nan")), "gm_id_min must be"),
    (dict(gm_id=12, gm_id_max=None), "gm_id_max must be a number"),
    (dict(gm_id=12, id_min=float("nan")), "id_min must be a finite number, got nan"),
    (dict(gm_id="12"), "gm_id must be a number, got '12'"),
    (dict(gm_id=12, ids="1e-5", l=0.5e-6), "ids must be a number"),
]


@pytest.mark.parametrize("kwargs, message", BAD_TARGETS)
def test_the_designers_route_refuses_what_cannot_choose_a_point(kwargs, message):
    table = tavlo.MosTable(analytic_table())
    with pytest.raises(ValueError, match=message):
        table.design(**kwargs)
    with pytest.raises(TypeError, match="vgs must be a number"):
        table.lookup("id", l=0.5e-6, vgs="1.0")
    # An infinite window bound means no bound, as the verified sizing passes it.
    assert table.design(gm_id=12, gm_id_max=float("inf")).gm_over_id == pytest.approx(12, rel=0.01)
