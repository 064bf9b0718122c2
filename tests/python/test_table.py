"""MosTable: arrays, lookups, files and the pool's generate_lut around it."""

import os
import sys
import types

import numpy as np
import pytest

import tavlo
from conftest import CLM_CARD

LENGTHS = np.array([1e-7, 3e-7, 7e-7])
VGS = np.linspace(0.0, 1.8, 10)
VDS = np.linspace(0.0, 1.8, 7)


def linear(l, vgs, vds, a=30.0, b=2e-4, c=5e-5, d=1e-6):
    return a * l + b * vgs + c * vds + d


def linear_table(flip_vgs=False, config=None):
    """Tables that are linear in L, Vgs and Vds, which trilinear interpolation reproduces exactly."""
    grid = np.meshgrid(LENGTHS, VGS, VDS, indexing="ij")
    tables = dict(id=linear(*grid), gm=linear(*grid, a=1.0, b=1e-3), gds=linear(*grid, c=1e-6))
    vgs = VGS
    if flip_vgs:  # a sweep with a negative step, as for a PMOS
        vgs, tables = VGS[::-1], {k: t[:, ::-1, :] for k, t in tables.items()}
    return tavlo.MosTable(tavlo.TransistorLut._from_arrays(2e-6, -0.3, LENGTHS, vgs, VDS, **tables), config)


def design_fields(r):
    return (r.w, r.l, r.id, r.vgs, r.vds, r.gm, r.gds, r.gm_over_id, r.gain, r.constraint_errors)


# -- generate_lut and the arrays ----------------------------------------------------------------

def test_generate_lut_gives_3d_read_only_arrays_matching_the_native_table(mos_table, worker_exe):
    assert mos_table.id.shape == mos_table.gm.shape == mos_table.gds.shape == (3, 91, 19)
    np.testing.assert_array_equal(mos_table.lengths, mos_table.lut.lengths)
    np.testing.assert_array_equal(mos_table.gm, mos_table.lut.gm)
    with pytest.raises(ValueError, match="read-only"):
        mos_table.id[0, 0, 0] = 1.0
    assert repr(mos_table) == ("MosTable(device_type='nmos', model_name='nch', W=1.000e-5, "
                               "L=2.000e-7..1.000e-6 (3 pts), Vgs=0.000..1.800 (91 pts), Vds=0.000..1.800 (19 pts))")

    config = tavlo.LutConfig(length=180e-9, vgs=(0.0, 1.8, 0.1), vds=(0.0, 1.8, 0.3))
    with tavlo.SimulationPool(1, 60.0, worker_exe) as pool:
        single = pool.generate_lut(config)
    # One length still gives the 3-D shape, and its exact length.
    assert single.id.shape == (1, 19, 7) and single.lengths.tolist() == [180e-9]
    assert single.config is config
    np.testing.assert_array_equal(single.id[0], single.lut.id)
    with pytest.raises(RuntimeError, match="closed"):
        pool.generate_lut(config)


class FakeTqdm:
    made = []

    def __init__(self, total=None, **kwargs):
        self.total, self.n, self.kwargs, self.closed = total, 0, kwargs, False
        FakeTqdm.made.append(self)

    def update(self, n):
        self.n += n

    def refresh(self):
        pass

    def close(self):
        self.closed = True


@pytest.fixture
def fake_tqdm(monkeypatch):
    FakeTqdm.made = []
    module = types.ModuleType("tqdm.auto")
    module.tqdm = FakeTqdm
    monkeypatch.setitem(sys.modules, "tqdm", types.ModuleType("tqdm"))
    monkeypatch.setitem(sys.modules, "tqdm.auto", module)
    return FakeTqdm


def test_progress_indicator_is_optional_and_always_closed(worker_exe, fake_tqdm, monkeypatch, capfd):
    config = tavlo.LutConfig(vgs=(0.0, 1.8, 0.3), vds=(0.0, 1.8, 0.3))
    with tavlo.SimulationPool(1, 60.0, worker_exe) as pool:
        pool.generate_lut(config)  # stderr is captured, not a terminal: no indicator
        assert fake_tqdm.made == []
        pool.generate_lut(config, progress=True)
        with pytest.raises(ValueError, match="device_type"):
            pool.generate_lut(tavlo.LutConfig("NMOS"), progress=True)
        # The one bar counted every job; the refused configuration never planned any.
        assert [bar.closed for bar in fake_tqdm.made] == [True]
        assert fake_tqdm.made[0].total == fake_tqdm.made[0].n == 1
        calls = []
        pool.generate_lut(tavlo.LutConfig(lengths=(0.2e-6, 1e-6, 0.2e-6), vgs=(0.0, 1.8, 0.01)), 2,
                          progress=lambda done, total: calls.append((done, total)))
        assert calls and calls[-1] == (10, 10) and [d for d, _ in calls] == sorted({d for d, _ in calls})
        with pytest.raises(TypeError, match="progress"):
            pool.generate_lut(config, progress="yes")
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
        pool.generate_lut(config, progress=None)
        with pytest.raises(ImportError, match="pip install tqdm"):
            pool.generate_lut(config, progress=True)
    # The native summary lines are untouched: two per completed characterisation.
    assert capfd.readouterr().out.count("jobs completed in") == 4


# -- files --------------------------------------------------------------------------------------

def test_npz_round_trip_is_exact_and_sizes_identically(mos_table, tmp_path):
    path = tmp_path / "nmos.npz"
    mos_table.save(path)
    loaded = tavlo.load_table(str(path))
    assert os.listdir(tmp_path) == ["nmos.npz"]  # no temporary file left behind
    for name in ("lengths", "vgs", "vds", "id", "gm", "gds"):
        np.testing.assert_array_equal(getattr(loaded, name), getattr(mos_table, name))
    assert (loaded.width, loaded.vbs, repr(loaded)) == (mos_table.width, mos_table.vbs, repr(mos_table))
    assert loaded.config.model_card == CLM_CARD and loaded.config.lengths == mos_table.config.lengths
    for targets in (dict(gm_id=12, ids=50e-6), dict(gm_id=10, gain=40.0), dict(gain=20.0)):
        assert design_fields(loaded.design(**targets)) == design_fields(mos_table.design(**targets))


def test_npz_keeps_every_setting(tmp_path):
    config = tavlo.LutConfig("pmos", width=2e-6, lengths=(1e-7, 7e-7, 3e-7), model_file="/models/x.lib",
                             model_section="tt", model_name="pch_lvt", vgs=(0.0, -1.8, -0.2))
    table = linear_table(config=config)
    table.save(tmp_path / "p.npz")
    again = tavlo.load_table(tmp_path / "p.npz").config
    fields = ("device_type", "width", "lengths", "vgs", "vds", "vbs", "model_card", "model_file", "model_section",
              "model_name")
    assert [getattr(again, f) for f in fields] == [getattr(config, f) for f in fields]
    linear_table().save(tmp_path / "bare.npz")
    assert tavlo.load_table(tmp_path / "bare.npz").config is None


@pytest.mark.parametrize("card", [
    ".model nch nmos level=1\n.control\nshell touch {marker}\n.endc",
    ".model nch nmos level=1\n  SHELL touch {marker}",
    # A file it reads may hold the commands: the card alone cannot show them.
    ".model nch nmos level=1\n.include {marker}.inc",
    ".LIB {marker}.lib tt",
])
def test_a_stored_card_that_runs_commands_is_shown_and_loads_only_when_allowed(tmp_path, card):
    card = card.format(marker=tmp_path / MARKER)
    config = tavlo.LutConfig(model_card=card)
    assert repr(config) == ("LutConfig(device_type='nmos', model_name='nch', W=1.000e-5, L=5.000e-7, "
                            f"model_card={card!r})")
    path = tmp_path / "t.npz"
    linear_table(config=config).save(path)
    with pytest.raises(ValueError, match=r"holds (commands|a line reading another file).* pass allow_control=True "
                                         "to load it anyway"):
        tavlo.load_table(path)
    assert tavlo.load_table(path, allow_control=True).config.model_card == card
    assert not (tmp_path / MARKER).exists()
    # An ordinary card needs no permission.
    linear_table(config=tavlo.LutConfig(model_card=CLM_CARD)).save(path)
    assert tavlo.load_table(path).config.model_card == CLM_CARD


def test_failed_save_keeps_the_previous_file(mos_table, tmp_path, monkeypatch):
    path = tmp_path / "nmos.npz"
    mos_table.save(path)
    before = path.read_bytes()

    def half_written(f, **arrays):
        f.write(b"PK\x03\x04 partial")
        raise OSError("disk full")

    monkeypatch.setattr(np, "savez_compressed", half_written)
    with pytest.raises(OSError, match="disk full"):
        linear_table().save(path)
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["nmos.npz"]


def test_csv_round_trip(mos_table, tmp_path):
    path = tmp_path / "nmos.csv"
    mos_table.to_csv(path)
    with pytest.raises(ValueError, match="width"):
        tavlo.load_table(path)
    loaded = tavlo.load_table(path, width=mos_table.width)
    assert loaded.config is None and np.isnan(loaded.vbs)
    # The CSV keeps seven significant digits.
    for name in ("lengths", "vgs", "vds", "id", "gm", "gds"):
        np.testing.assert_allclose(getattr(loaded, name), getattr(mos_table, name), rtol=1e-6, atol=1e-18)
    a, b = loaded.design(gm_id=12, ids=50e-6), mos_table.design(gm_id=12, ids=50e-6)
    assert (a.l, a.vds) == (b.l, b.vds)
    assert a.w == pytest.approx(b.w, rel=1e-5) and a.vgs == pytest.approx(b.vgs, rel=1e-5)


def npz(path, drop=(), **override):
    table = linear_table()
    arrays = dict(format=np.array("tavlo.MosTable"), version=np.array(1), width=np.array(2e-6), vbs=np.array(0.0),
                  lengths=table.lengths, vgs=table.vgs, vds=table.vds, id=table.id, gm=table.gm, gds=table.gds)
    arrays.update(override)
    with open(path, "wb") as f:  # a file object: numpy would add a suffix to a name
        np.savez(f, **{k: v for k, v in arrays.items() if k not in drop})


def csv_lines(path, edit):
    linear_table().to_csv(path)
    lines = path.read_text().splitlines(keepends=True)
    path.write_text("".join(edit(lines)))


MARKER = "pickle-ran"


class RunsOnLoad:
    """Unpickling this creates a directory: proof that loading ran code from the file."""

    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return os.mkdir, (self.path,)

BAD_FILES = {
    "random bytes": (lambda p: p.write_bytes(os.urandom(64)), "not a tavlo table"),
    "npy file": (lambda p: np.save(str(p), np.zeros(3)) or os.rename(f"{p}.npy", p), "not a tavlo table"),
    "npz of something else": (lambda p: np.savez(str(p), a=np.zeros(3)) or os.rename(f"{p}.npz", p),
                              "'format' is missing"),
    "npz without gm": (lambda p: npz(p, drop=("gm",)), "'gm' is missing"),
    "npz shapes disagree": (lambda p: npz(p, gds=np.zeros((3, 10, 6))), r"gds has shape \(3, 10, 6\)"),
    "npz from the future": (lambda p: npz(p, version=np.array(9)), "version 9 is newer"),
    "npz text where numbers belong": (lambda p: npz(p, width=np.array("wide")), "'width' must be numbers"),
    "npz axis not monotonic": (lambda p: npz(p, vds=VDS[[0, 2, 1, 3, 4, 5, 6]]), "strictly monotonic"),
    "npz with a pickled object": (lambda p: npz(p, vbs=np.array([RunsOnLoad(str(p.parent / MARKER))])),
                                  "'vbs' cannot be read"),
    "truncated zip": (lambda p: (npz(p), p.write_bytes(p.read_bytes()[:200])), "not a valid tavlo table file"),
    "csv with a row missing": (lambda p: csv_lines(p, lambda ls: ls[:-1]), "do not form a grid"),
    "csv rows out of order": (lambda p: csv_lines(p, lambda ls: [ls[0], ls[2], ls[1], *ls[3:]]),
                              "line 9 has Vds=0, expected 0.3"),
    "csv with text": (lambda p: csv_lines(p, lambda ls: [*ls[:5], "1,2,3,x,5,6\n", *ls[6:]]), "could not convert"),
    "csv without data": (lambda p: csv_lines(p, lambda ls: ls[:1]), "no data rows"),
    "npz with inf": (lambda p: npz(p, id=np.where(linear_table().id > 1e-4, np.inf, linear_table().id)),
                     "'id' holds inf; a table holds finite numbers"),
    "npz with a negative length": (lambda p: npz(p, lengths=np.array([-1e-7, 3e-7, 7e-7])),
                                   "'lengths' must be positive"),
    "npz axes declaring too much": (lambda p: npz(p, vgs=np.arange(40_000.0), vds=np.arange(1000.0)),
                                    "axes declare 120000000 values per quantity"),
    "npz axis too long": (lambda p: npz(p, vgs=np.arange(200_000.0)), "at most 100000 values"),
    "csv with nan": (lambda p: csv_lines(p, lambda ls: [*ls[:5], ls[5].replace(ls[5].split(",")[3], "nan"), *ls[6:]]),
                     "line 6 holds a value that is not finite"),
    "csv with a zero length": (lambda p: csv_lines(p, lambda ls: [ls[0], "0" + ls[1][ls[1].index(","):], *ls[2:]]),
                               "line 2 has a length that is not positive"),
}


@pytest.mark.parametrize("make, message", BAD_FILES.values(), ids=BAD_FILES.keys())
def test_corrupt_or_foreign_files_are_refused(tmp_path, make, message):
    path = tmp_path / "table"
    make(path)
    csv = path.read_bytes().startswith(b"L,")
    with pytest.raises(ValueError, match=message):
        tavlo.load_table(path, **({"width": 2e-6} if csv else {}))
    assert not (tmp_path / MARKER).exists()


def test_a_table_file_is_bounded_by_its_axes_before_it_is_read(tmp_path):
    import tracemalloc

    path = tmp_path / "big.npz"
    huge = np.zeros((3, 1000, 1000))  # 24 MB of zeros, a few kB compressed, against axes of 3 x 10 x 7
    table = linear_table()
    with open(path, "wb") as f:
        np.savez_compressed(f, format=np.array("tavlo.MosTable"), version=np.array(2), width=np.array(2e-6),
                            vbs=np.array(0.0), lengths=table.lengths, vgs=table.vgs, vds=table.vds,
                            id=table.id, gm=table.gm, gds=huge)
    del huge
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match=r"gds has shape \(3, 1000, 1000\), expected \(3, 10, 7\)"):
            tavlo.load_table(path)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 2e6, peak


# -- lookups ------------------------------------------------------------------------------------

def test_lookup_at_grid_points_returns_the_stored_values(mos_table):
    rng = np.random.default_rng(1)
    k, i, j = (rng.integers(0, n, 200) for n in mos_table.id.shape)
    at = dict(l=mos_table.lengths[k], vgs=mos_table.vgs[i], vds=mos_table.vds[j])
    for name in ("id", "gm", "gds"):
        np.testing.assert_array_equal(mos_table.lookup(name, **at), getattr(mos_table, name)[k, i, j])
    with np.errstate(divide="ignore", invalid="ignore"):
        np.testing.assert_array_equal(mos_table.lookup("gm_gds", **at), (mos_table.gm / mos_table.gds)[k, i, j])
    np.testing.assert_array_equal(mos_table.lookup("id_w", **at), mos_table.id[k, i, j] / mos_table.width)
    # Without vgs: the whole Vgs axis at that length and Vds.
    np.testing.assert_array_equal(mos_table.lookup("gm", l=0.6e-6, vds=0.5), mos_table.gm[1, :, 5])


def test_lookup_between_grid_points_agrees_with_the_sizing_solver(mos_table):
    plain = mos_table.design(gm_id=12)
    at = dict(l=plain.l, vds=plain.vds)
    # The crossing search is the solver's own, so the Vgs comes out identical.
    assert mos_table.lookup("vgs", gm_id=12, **at) == plain.vgs
    assert mos_table.lookup("id", gm_id=12, **at) == pytest.approx(plain.id, rel=1e-12)
    assert mos_table.lookup("gm", vgs=plain.vgs, **at) == pytest.approx(plain.gm, rel=1e-9)
    # The native solver refines a gain target between lengths: fractional in L as well as Vgs.
    refined = mos_table.lut.design(gm_id=10, gain=120.0)
    assert refined.l not in mos_table.lengths
    at = dict(l=refined.l, vgs=refined.vgs, vds=refined.vds)
    assert mos_table.lookup("gm_gds", **at) == pytest.approx(refined.gain, rel=1e-9)
    assert mos_table.lookup("gm_id", **at) == pytest.approx(refined.gm_over_id, rel=1e-9)


@pytest.mark.parametrize("flip", [False, True], ids=["ascending", "descending Vgs"])
def test_lookup_is_exact_on_linear_tables_and_cross_lookups_invert(flip):
    table = linear_table(flip_vgs=flip)
    rng = np.random.default_rng(2)
    l, vgs, vds = rng.uniform(1e-7, 7e-7, 50), rng.uniform(0, 1.8, 50), rng.uniform(0, 1.8, 50)
    np.testing.assert_allclose(table.lookup("id", l=l, vgs=vgs, vds=vds), linear(l, vgs, vds), rtol=1e-12)
    np.testing.assert_allclose(table.lookup("gds_w", l=l, vgs=vgs, vds=vds), linear(l, vgs, vds, c=1e-6) / 2e-6,
                               rtol=1e-12)
    # Id rises with Vgs, so the Vgs of a given Id is found again.
    np.testing.assert_allclose(table.lookup("vgs", id=linear(l, vgs, vds), l=l, vds=vds), vgs, rtol=1e-9)
    assert np.shape(table.lookup("gm_id", id=[[1e-4], [2e-4]], l=3e-7, vds=[0.3, 0.6, 0.9])) == (2, 3)


def test_cross_lookup_follows_the_falling_gm_id_branch(mos_table):
    k, j = 1, 9
    curve = mos_table.gm[k, :, j] / np.where(mos_table.id[k, :, j] > 1e-12, mos_table.id[k, :, j], np.nan)
    peak = int(np.nanargmax(curve))
    targets = np.linspace(curve[-1] * 1.01, curve[peak] * 0.99, 25)
    vgs = mos_table.lookup("vgs", gm_id=targets, l=mos_table.lengths[k], vds=mos_table.vds[j])
    assert np.all(vgs > mos_table.vgs[peak]) and np.all(np.diff(vgs) < 0)
    # On the grid's piecewise-linear gm/Id curve, those Vgs give back the targets.
    np.testing.assert_allclose(np.interp(vgs, mos_table.vgs[peak:], curve[peak:]), targets, rtol=1e-9)


def test_cross_lookup_takes_the_highest_vgs_crossing_as_design_does():
    gm_id = np.array([5, 10, 20, 15, 10, 8, 6, 5, 4, 3, 2.5])  # crosses 12 rising, then falling
    ids = np.full((1, 11, 2), 1e-4)
    gm = (gm_id[:, None] * ids[0])[None]
    table = tavlo.MosTable(tavlo.TransistorLut._from_arrays(1e-6, 0.0, [1e-7], np.linspace(0, 1, 11), [0.0, 1.0],
                                                            ids, gm, np.full_like(ids, 1e-6)))
    vgs = table.lookup("vgs", gm_id=12, vds=1.0)
    assert vgs == table.design(gm_id=12, vds=1.0).vgs and 0.3 < vgs < 0.4


BAD_LOOKUPS = {
    "length": (dict(l=2e-6, vgs=0.5), ValueError, r"l = 2e-06 is outside the table's length axis \[2e-07, 1e-06\] m"),
    "vgs": (dict(l=2e-7, vgs=[0.5, -0.1]), ValueError, r"vgs = -0.1 is outside the table's Vgs axis \[0, 1.8\] V"),
    "vds": (dict(l=2e-7, vgs=0.5, vds=1.9), ValueError, r"vds = 1.9 is outside the table's Vds axis \[0, 1.8\] V"),
    "no length": (dict(vgs=0.5), ValueError, "l is required: this table has 3 lengths"),
    "unreached": (dict(l=2e-7, gm_id=-5), ValueError, "gm_id = -5 is not reached at l = 2e-07 m, vds = 0.9 V"),
    "vgs and target": (dict(l=2e-7, vgs=0.5, gm_id=10), ValueError, "either vgs or the target gm_id"),
    "two targets": (dict(l=2e-7, gm_id=10, id_w=1.0), ValueError, "one target"),
    "typo": (dict(l=2e-7, gmid=10), TypeError, "unexpected keyword argument 'gmid'"),
    "not a number": (dict(l=2e-7, vgs="high"), TypeError, "vgs must be a number"),
}


@pytest.mark.parametrize("kwargs, error, message", BAD_LOOKUPS.values(), ids=BAD_LOOKUPS.keys())
def test_lookup_refuses_what_it_cannot_answer(mos_table, kwargs, error, message):
    with pytest.raises(error, match=message):
        mos_table.lookup("id_w" if "vgs" not in kwargs else "id", **kwargs)


def test_unknown_quantities_and_wrong_types(mos_table):
    with pytest.raises(ValueError, match="quantity must be one of id, gm, gds.*got 'vth'"):
        mos_table.lookup("vth", l=2e-7)
    with pytest.raises(ValueError, match="got 'vgs'"):  # vgs is an answer of cross lookups only
        mos_table.lookup("vgs", l=2e-7)
    with pytest.raises(TypeError, match="lut must be a TransistorLut"):
        tavlo.MosTable(np.zeros((2, 2, 2)))
    with pytest.raises(TypeError, match="config must be a LutConfig"):
        tavlo.MosTable(mos_table.lut, config={"width": 1e-6})
