"""The gm/Id reference flow's .mat table, both ways, through real ngspice and the reference reader."""

import subprocess

import numpy as np
import pytest

import tavlo
from tavlo import _matfile, pdk

scipy_io = pytest.importorskip("scipy.io")
pygmid = pytest.importorskip("pygmid")

GRID = dict(vgs=(0.0, 3.3, 0.3), vds=(0.0, 3.3, 0.3))


@pytest.fixture(scope="module")
def pool(kit_pool):
    return kit_pool


@pytest.fixture(scope="module")
def nfet(pool, gf180):
    return pool.characterise(pdk.gf180mcu("nfet_03v3", root=gf180), lengths=[0.28e-6, 1e-6], vsb=(0.0, 1.0, 0.5),
                             **GRID)


def test_a_saved_file_has_the_reference_layout_and_reads_back_equal(nfet, tmp_path):
    nfet.save(tmp_path / "n.mat")
    (name,) = [k for k in scipy_io.loadmat(tmp_path / "n.mat") if not k.startswith("__")]
    raw = scipy_io.loadmat(tmp_path / "n.mat", squeeze_me=True)["nch"]
    assert name == "nch" and raw["ID"].item().shape == (2, 12, 12, 3)
    np.testing.assert_allclose(raw["L"].item(), [0.28, 1.0])
    np.testing.assert_allclose(raw["VSB"].item(), [0.0, 0.5, 1.0])
    assert raw["W"].item() == pytest.approx(1.0) and raw["TEMP"].item() == pytest.approx(300.15)
    assert raw["CORNER"].item() == "typical" and "gf180mcu nfet_03v3" in raw["INFO"].item()
    # (L, VGS, VDS, VSB) against tavlo's (L, Vbs, Vgs, Vds); the capacitances positive
    assert raw["ID"].item()[1, 7, 9, 2] == nfet.id[1, 2, 7, 9]
    assert raw["CGS"].item()[1, 11, 11, 0] == -nfet.quantity("cgs")[1, 0, 11, 11] > 0
    assert raw["VT"].item()[0, 5, 5, 1] == nfet.quantity("vth")[0, 1, 5, 5]

    back = tavlo.load_table(tmp_path / "n.mat")
    assert back.quantities == nfet.quantities and back.width == nfet.width
    for axis in ("lengths", "vgs", "vds", "vbs_axis"):
        np.testing.assert_allclose(getattr(back, axis), getattr(nfet, axis), rtol=1e-15, atol=1e-15)
    for q in nfet.quantities:
        assert np.array_equal(back.quantity(q), nfet.quantity(q), equal_nan=True), q
    at = dict(l=0.6e-6, vds=1.65, vsb=0.3)
    assert back.lookup("vgs", gm_id=10, **at) == pytest.approx(nfet.lookup("vgs", gm_id=10, **at), rel=1e-12)
    assert str(back.design(gm_id=12, ids=20e-6, vsb=0.5)) == str(nfet.design(gm_id=12, ids=20e-6, vsb=0.5))
    assert back.source["polarity"] == "nmos" and back.source["temperature"] == pytest.approx(27.0)

    with pytest.raises(ValueError, match="MATLAB variable name"):
        nfet.save(tmp_path / "x.mat", name="2bad")
    with pytest.raises(ValueError, match="struct of a .mat file"):
        nfet.save(tmp_path / "x.npz", name="nch")
    nfet.at_vbs(0.0).to_csv(tmp_path / "n.csv")  # a CSV does not record the body bias
    with pytest.raises(ValueError, match="vbs is unknown"):
        tavlo.load_table(tmp_path / "n.csv", width=1e-6).save(tmp_path / "x.mat")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["n.csv", "n.mat"]
    nfet.save(tmp_path / "old.npz")  # save() wrote NPZ whatever the name before .mat files
    (tmp_path / "old.npz").rename(tmp_path / "old.mat")
    assert np.array_equal(tavlo.load_table(tmp_path / "old.mat").quantity("cgs"), nfet.quantity("cgs"))


@pytest.mark.parametrize("kit", ["sky130 pfet_01v8", "gf180mcu nfet_03v3"])
def test_the_reference_reader_reads_our_file_and_agrees_at_grid_points(pool, gf180, kit, tmp_path):
    family, device = kit.split()
    try:
        dev = pdk.sky130(device) if family == "sky130" else pdk.gf180mcu(device, root=gf180)
    except pdk.KitNotFoundError as exc:
        pytest.skip(str(exc))
    vdd = dev.vdd
    table = pool.characterise(dev, lengths=[dev.l_min, 1e-6], vgs=(0.0, vdd, vdd / 6), vds=(0.0, vdd, vdd / 4),
                              vsb=(0.0, 0.6, 0.3))
    table.save(tmp_path / "t.mat")
    lk = pygmid.Lookup(str(tmp_path / "t.mat"))
    rng = np.random.default_rng(3)
    for _ in range(6):
        # Vgs and Vds of 0 left out: no current, so gm/Id is 0/0 there
        li, gi, di, bi = (int(rng.integers(lo, n)) for lo, n in ((0, 2), (1, table.vgs.size), (1, table.vds.size),
                                                                   (0, 3)))
        point = dict(l=table.lengths[li], vgs=table.vgs[gi], vds=table.vds[di], vsb=table.vsb[bi])
        theirs = dict(L=point["l"] * 1e6, VGS=point["vgs"], VDS=point["vds"], VSB=point["vsb"])
        for field, ours in (("ID", "id"), ("GM_ID", "gm_id"), ("GDS", "gds"), ("VT", "vth"), ("CGG", "cgg")):
            assert float(lk.look_up(field, **theirs)) == pytest.approx(table.lookup(ours, **point), rel=1e-9), field
        assert float(lk.look_up("CGS", **theirs)) == pytest.approx(-table.lookup("cgs", **point), rel=1e-9)
    assert float(lk.look_up("ID", **theirs)) > 0  # a PMOS in magnitudes


def plain_ngspice(gf180, tmp_path, length, vsb):
    """-I(Vd) of a hand-written gf180 netlist over the test grid, VGS rows by VDS columns."""
    cir, out = tmp_path / "plain.cir", tmp_path / "plain.txt"
    cir.write_text(f"plain\n.include {gf180}/design.ngspice\n.lib {gf180}/sm141064.ngspice typical\n"
                   f"M1 d g 0 b nfet_03v3 W=2u L={length * 1e6!r}u\nVd d 0 0\nVg g 0 0\nVb b 0 {-vsb + 0.0!r}\n"
                   ".control\nset num_threads=1\nset wr_singlescale\ndc vd 0 3.3 0.3 vg 0 3.3 0.3\n"
                   f"wrdata {out} -i(vd)\n.endc\n.end\n")
    # batch ngspice exits 1 after a control block whatever happened: the data file tells
    run = subprocess.run(["ngspice", "-b", str(cir)], capture_output=True, text=True, timeout=120)
    assert out.exists(), run.stdout + run.stderr
    return np.loadtxt(out)[:, 1].reshape(12, 12)


@pytest.mark.parametrize("vsbs", [[0.0, 0.8], [0.4]])
def test_a_reference_file_written_elsewhere_loads_and_sizes(pool, gf180, tmp_path, vsbs):
    lengths = [0.5e-6, 2e-6]
    ids = np.stack([np.stack([plain_ngspice(gf180, tmp_path, l, v) for v in vsbs], axis=-1) for l in lengths])
    axis = np.arange(12) * 0.3
    gm, gds = np.gradient(ids, axis, axis=1), np.gradient(ids, axis, axis=2)
    if len(vsbs) == 1:  # as MATLAB keeps it: the trailing singleton dropped
        ids, gm, gds = ids[..., 0], gm[..., 0], gds[..., 0]
    # the reference readers take field names in any case
    struct = {"ID": ids, "gm": gm, "GDS": gds, "L": np.array([0.5, 2.0]), "W": 2.0, "VGS": axis, "Vds": axis,
              "VSB": np.array(vsbs), "TEMP": 300.15, "CORNER": "typical", "NFING": 1.0, "INFO": "by hand"}
    scipy_io.savemat(tmp_path / "ref.mat", {"nfet_03v3": struct})

    table = tavlo.load_table(tmp_path / "ref.mat")
    assert table.width == pytest.approx(2e-6) and table.lengths.tolist() == pytest.approx(lengths)
    ours = pool.characterise(pdk.gf180mcu("nfet_03v3", root=gf180), lengths=lengths, vsb=vsbs[0], width=2e-6,
                             **GRID)
    at = dict(l=2e-6, vgs=1.5, vds=1.2, vsb=vsbs[0])
    assert table.lookup("id", **at) == pytest.approx(ours.lookup("id", **at), rel=1e-9)
    sized = table.design(gm_id=10, ids=50e-6, l=2e-6, vsb=vsbs[0])
    at = dict(l=2e-6, vgs=sized.vgs, vds=sized.vds, vsb=vsbs[0])
    assert sized.id == pytest.approx(50e-6) and 0.5 < sized.vgs < 1.5
    assert sized.gm_over_id == pytest.approx(table.lookup("gm_id", **at), rel=1e-9)
    assert sized.w == pytest.approx(50e-6 / table.lookup("id_w", **at), rel=1e-9)
    if len(vsbs) == 1:
        matplotlib = pytest.importorskip("matplotlib")
        matplotlib.use("Agg")
        lines = table.plot_gm_id(vds=1.2).lines
        # the chart leaves out the points below 1 pA
        assert len(lines) == 2 and np.allclose(lines[1].get_ydata()[3:], table.lookup("gm_id", l=2e-6, vds=1.2)[3:])
        matplotlib.pyplot.close("all")


def reference_struct():
    shape = (2, 3, 2, 1)
    ones = np.ones(shape)
    return {"ID": ones * 1e-5, "GM": ones * 1e-4, "GDS": ones * 1e-6, "L": np.array([0.2, 1.0]), "W": 1.0,
            "VGS": np.array([0.0, 0.5, 1.0]), "VDS": np.array([0.1, 1.0]), "VSB": np.array([0.0])}


def corrupt(tmp_path, change):
    struct = reference_struct()
    change(struct)
    scipy_io.savemat(tmp_path / "bad.mat", {"nch": struct})


@pytest.mark.parametrize("write, message", [
    (lambda p: p.write_text("not a matlab file"), "no MATLAB 5 header"),
    (lambda p: p.write_bytes(b"MATLAB 7.3 MAT-file, Platform: GLNXA64".ljust(128, b" ")), "7.3"),
    (lambda p: scipy_io.savemat(p, {"ID": np.ones(3)}), "no struct variable"),
    (lambda p: corrupt(p.parent, lambda s: s.pop("GDS")), "field GDS is missing"),
    (lambda p: corrupt(p.parent, lambda s: s.update(GM=np.ones((3, 3)))), "field GM has shape"),
    (lambda p: corrupt(p.parent, lambda s: s.update(VGS=np.array([0.0, 1.0, 0.5]))), "field VGS must be"),
    (lambda p: corrupt(p.parent, lambda s: s.update(ID=s["ID"] * np.nan)), "field ID holds values"),
    (lambda p: corrupt(p.parent, lambda s: s.update(W=-1.0)), "field W must be a positive"),
    (lambda p: corrupt(p.parent, lambda s: s.update(GDS=s["GDS"] * 1j)), "field GDS must hold real"),
])
def test_foreign_and_hostile_files_are_refused_naming_what_is_wrong(tmp_path, write, message):
    write(tmp_path / "bad.mat")
    with pytest.raises(ValueError, match=message):
        tavlo.load_table(tmp_path / "bad.mat")


def test_damaged_and_oversized_files_are_refused_before_they_are_read(tmp_path, monkeypatch):
    scipy_io.savemat(tmp_path / "ok.mat", {"nch": reference_struct()})
    whole = (tmp_path / "ok.mat").read_bytes()
    assert tavlo.load_table(tmp_path / "ok.mat").lookup("id", l=1e-6, vgs=0.5, vds=0.5) == pytest.approx(1e-5)
    for cut in (200, len(whole) - 9):
        (tmp_path / "cut.mat").write_bytes(whole[:cut])
        with pytest.raises(ValueError, match="cut.mat: not a gm/Id table file"):
            tavlo.load_table(tmp_path / "cut.mat")
    monkeypatch.setattr(_matfile, "MAX_EXPANDED_BYTES", 500)
    with pytest.raises(ValueError, match="expands beyond the 500 bytes"):
        tavlo.load_table(tmp_path / "ok.mat")
    with pytest.raises(ValueError, match="width and vbs are for CSV"):
        tavlo.load_table(tmp_path / "ok.mat", width=1e-6)
