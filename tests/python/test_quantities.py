"""The model's own quantities in a characterised table, against ngspice's operating points; the
derived fT and ratios; table files; the built-in model cards."""

import math

import numpy as np
import pytest

import tavlo
from tavlo import pdk
from tavlo._characterise import DEVICE_QUANTITIES, instance_path, netlist_for

from conftest import missing_kit

BSIM4_CARD = ".model nch nmos level=54 version=4.8.2\n"
LEVEL3_CARD = (".model nch nmos level=3 tox=10n vto=0.7 kp=80u gamma=0.5 phi=0.6 nsub=1e17 nss=0 nfs=1e11 "
               "xj=0.05u ld=0.01u delta=0 theta=0.1 eta=0 kappa=0.2\n")
PMOS_CARD = (".model pch pmos level=3 tox=10n vto=-0.7 kp=40u gamma=0.6 phi=0.6 nsub=1e17 nss=0 nfs=1e11 "
             "xj=0.05u ld=0.01u delta=0 theta=0.1 eta=0 kappa=0.2\n")
GRID = dict(vgs=(0.0, 1.8, 0.05), vds=(0.0, 1.8, 0.1))


@pytest.fixture(scope="module")
def pool(worker_exe):
    with tavlo.SimulationPool(2, 300.0, worker_exe) as p:
        yield p


def card_device(tmp_path_factory, card):
    path = tmp_path_factory.mktemp("card") / "model.lib"
    path.write_text(card)
    return tavlo.Device("nch", models=[str(path)], polarity="nmos", vdd=1.8, l_min=0.1e-6)


def sky130(name):
    try:
        return pdk.sky130(name)
    except pdk.KitNotFoundError as exc:
        missing_kit(f"no sky130 kit (scripts/setup.sh installs it): {exc}")


@pytest.fixture(scope="module")
def tables(pool, tmp_path_factory):
    """Characterised once per device, shared by the tests below."""
    made = {}

    def get(kind):
        if kind not in made:
            device = {"bsim4": lambda: card_device(tmp_path_factory, BSIM4_CARD),
                      "level3": lambda: card_device(tmp_path_factory, LEVEL3_CARD),
                      "sky130": lambda: sky130("nfet_01v8"),
                      "sky130p": lambda: sky130("pfet_01v8")}[kind]()
            made[kind] = device, pool.characterise(device, lengths=[0.15e-6, 0.5e-6], **GRID)
        return made[kind]
    return get


def operating_point(pool, device, width, length, vgs, vds):
    """ngspice's op of the characterisation's own circuit at one bias (voltages as ngspice sees
    them): the drain current and every device output the model gives."""
    netlist = netlist_for(device, width, 27.0)
    netlist = netlist.replace("Vds d s 0", "Vds d s {vds_op}").replace("Vgs g s 0", "Vgs g s {vgs_op}")
    for prefix in ("\nXM1 ", "\nM1 "):
        netlist = netlist.replace(prefix, "\n.param vgs_op=0 vds_op=0" + prefix)
    path = instance_path(device)
    names = {key: f"@{path}[{names[0]}]" for key, names in DEVICE_QUANTITIES.items()}
    params = {"l_char": float(device.to_library(length)), "vbs_char": 0.0, "vgs_op": float(vgs), "vds_op": float(vds)}
    op = pool.run_simulation(netlist, ["save vds#branch " + " ".join(names.values()), "op"], params=params)
    assert op.success, op.error
    out = {key: op.vector(name)[0] for key, name in names.items() if op.vector(name).size}
    out["id"] = -op.vector("vds#branch")[0]
    return out


@pytest.mark.parametrize("kind", ["sky130", "bsim4"])
def test_device_quantities_equal_ngspice_operating_points(pool, tables, kind):
    device, table = tables(kind)
    assert set(table.quantities) >= {"gmbs", "vth", "vdsat", "cgg", "cgs", "cgd", "cgb", "cdd", "css", "ft",
                                     "gm_fd", "gds_fd"}
    rng = np.random.default_rng(12)
    for _ in range(4):
        k, i, j = (int(rng.integers(n)) for n in table.id.shape)
        i = max(i, 8)  # above 0.4 V: currents well above the simulator's tolerances
        op = operating_point(pool, device, table.width, table.lengths[k], table.vgs[i], table.vds[j])
        at = f"L={table.lengths[k]:g} Vgs={table.vgs[i]:g} Vds={table.vds[j]:g}"
        for key in ("id", *DEVICE_QUANTITIES):
            got = {"id": table.id, "gm": table.gm, "gds": table.gds}.get(key)
            got = table.quantity(key) if got is None else got
            np.testing.assert_allclose(got[k, i, j], op[key], rtol=1e-6, atol=1e-24, err_msg=f"{key} at {at}")


@pytest.mark.parametrize("name", ["nfet_01v8", "pfet_01v8"])
def test_sized_bias_meets_its_targets_when_simulated(pool, name):
    device = sky130(name)
    table = pool.characterise(device, lengths=[0.15e-6, 0.5e-6, 1e-6], vgs=(0.0, 1.8, 0.01), vds=(0.0, 1.8, 0.05))
    for targets in (dict(gm_id=15, ids=10e-6), dict(gm_id=8, ids=100e-6), dict(gm_id=20, ids=1e-6)):
        res = table.design(**targets)
        s = -1.0 if device.polarity == "pmos" else 1.0
        # At the characterised width, the current scaled to the sized one: a binned kit's current
        # density itself changes with W, which a table of one width cannot know.
        op = operating_point(pool, device, table.width, res.l, s * res.vgs, s * res.vds)
        assert s * op["id"] * res.w / table.width == pytest.approx(targets["ids"], rel=0.01), (targets, res)
        assert op["gm"] / (s * op["id"]) == pytest.approx(targets["gm_id"], rel=0.02), (targets, res)


def test_ft_ratios_and_absent_quantities(tables):
    _, table = tables("sky130")
    at = dict(l=0.3e-6, vds=0.9)
    vgs = np.array([0.5, 0.8, 1.2])
    gm, cgg = table.lookup("gm", vgs=vgs, **at), table.lookup("cgg", vgs=vgs, **at)
    np.testing.assert_allclose(table.lookup("ft", vgs=vgs, **at), gm / (2 * math.pi * cgg), rtol=1e-12)
    np.testing.assert_allclose(table.lookup("gm_cgg", vgs=vgs, **at), gm / cgg, rtol=1e-12)
    np.testing.assert_allclose(table.lookup("cgg_w", vgs=vgs, **at), cgg / table.width, rtol=1e-12)
    np.testing.assert_allclose(table.lookup("vth_vdsat", vgs=vgs, **at),
                               table.lookup("vth", vgs=vgs, **at) / table.lookup("vdsat", vgs=vgs, **at), rtol=1e-12)
    # Cross lookup: fT at gm/Id = 10 is fT at the Vgs where gm/Id is 10.
    v = table.lookup("vgs", gm_id=10, **at)
    assert table.lookup("ft", gm_id=10, **at) == pytest.approx(table.lookup("ft", vgs=v, **at), rel=1e-9)
    assert 1e9 < table.lookup("ft", gm_id=10, **at) < 1e11
    # gm and gds are the model's, used by design(); the differences over the grid stay readable.
    np.testing.assert_array_equal(table.lut.gm.reshape(table.id.shape), table.gm)
    assert not np.array_equal(table.gm, table.quantity("gm_fd"))
    # Strong inversion:
    np.testing.assert_allclose(table.quantity("gm_fd")[:, 16:30, 5:], table.gm[:, 16:30, 5:], rtol=0.08)

    # A PMOS reads like an NMOS: positive threshold, saturation voltage and transconductance.
    _, ptable = tables("sky130p")
    for key in ("vth", "vdsat", "gm", "cgg"):
        values = ptable.lookup(key, l=0.5e-6, vgs=1.2, vds=0.9)
        assert values > 0, key
    assert 0.5 < ptable.lookup("vth", l=0.5e-6, vgs=1.2, vds=0.9) < 1.2

    # Level 3 evaluates no charges in a DC sweep: no capacitances and no fT, rather than zeros.
    _, l3 = tables("level3")
    assert set(l3.quantities) == {"id", "gm", "gds", "gmbs", "vth", "vdsat", "gm_fd", "gds_fd"}
    with pytest.raises(ValueError, match="quantity must be one of id, gm, gds, gmbs, vth.*got 'ft'"):
        l3.lookup("ft", l=0.5e-6, vgs=1.0, vds=0.9)
    with pytest.raises(ValueError, match="no fT"):
        l3.plot_ft()


def test_chart_of_ft_draws_one_line_per_length(tables):
    pytest.importorskip("matplotlib")
    import matplotlib
    matplotlib.use("Agg")
    _, table = tables("sky130")
    ax = table.plot_ft(vds=0.9)
    lines = ax.get_lines()
    assert [line.get_label() for line in lines] == ["L = 150 nm", "L = 500 nm"]
    x, y = lines[1].get_data()
    ok = np.isfinite(x) & np.isfinite(y)
    expected = table.lookup("ft", l=0.5e-6, vgs=table.vgs, vds=0.9)[ok]
    np.testing.assert_allclose(y[ok], expected)
    assert np.all(np.diff(x[ok]) < 0)  # the falling branch of gm/Id only


def test_file_keeps_every_quantity_and_version_1_still_loads(tables, tmp_path):
    _, table = tables("sky130")
    path = tmp_path / "t.npz"
    table.save(path)
    with np.load(path, allow_pickle=False) as data:
        assert int(data["version"]) == 2
    back = tavlo.load_table(path)
    assert back.quantities == table.quantities
    for name in table.quantities:
        np.testing.assert_array_equal(back.quantity(name), table.quantity(name), err_msg=name)
    assert back.source == table.source
    assert back.source["polarity"] == "nmos" and back.source["corner"] == "tt"

    # The first file layout: the axes and id, gm, gds only.
    old = tmp_path / "v1.npz"
    np.savez(old, format=np.array("tavlo.MosTable"), version=np.array(1), width=np.array(table.width),
             vbs=np.array(0.0), lengths=table.lengths, vgs=table.vgs, vds=table.vds,
             id=table.id, gm=table.gm, gds=table.gds)
    v1 = tavlo.load_table(old)
    assert v1.quantities == ("id", "gm", "gds")
    assert v1.lookup("gm_id", l=0.15e-6, vgs=0.7, vds=0.9) == table.lookup("gm_id", l=0.15e-6, vgs=0.7, vds=0.9)
    assert not hasattr(v1, "source")


@pytest.mark.parametrize("polarity", ["nmos", "pmos"])
def test_built_in_cards_give_a_threshold_and_a_finite_gain(pool, polarity):
    s = 1.0 if polarity == "nmos" else -1.0
    cfg = tavlo.LutConfig(polarity, lengths=(0.5e-6, 2e-6, 1.5e-6), vgs=tuple(sorted((0.0, s * 1.8))) + (0.01,),
                          vds=tuple(sorted((0.0, s * 1.8))) + (0.05,))
    table = pool.generate_lut(cfg)
    # Threshold by linear extrapolation at the largest gm, in the linear region (|Vds| = 50 mV).
    j = int(np.argmin(np.abs(np.abs(table.vds) - 0.05)))
    for k, length in enumerate(table.lengths):
        ids, gm = np.abs(table.id[k, :, j]), np.abs(table.gm[k, :, j])
        top = int(np.argmax(gm))
        vth = abs(table.vgs[top]) - ids[top] / gm[top]
        assert 0.6 < vth < 0.8, (length, vth)
    gain = table.lookup("gm_gds", l=0.5e-6, vgs=s * 1.0, vds=s * 0.9)
    assert 10 < gain < 500, gain
    # Sized in magnitudes for either polarity, whichever way the PMOS sweeps ran; checked on the card.
    res = table.design(gm_id=12, ids=10e-6, vds=s * 0.9)
    card = LEVEL3_CARD if polarity == "nmos" else PMOS_CARD
    op = pool.run_simulation(f"check\n{card}M1 d g 0 0 {card.split()[1]} W={res.w} L={res.l}\n"
                             f"Vgs g 0 {s * res.vgs}\nVds d 0 {s * res.vds}\n.end\n",
                             ["save vds#branch @m1[gm]", "op"])
    ids = abs(op.vector("vds#branch")[0])
    assert ids == pytest.approx(10e-6, rel=0.01) and op.vector("@m1[gm]")[0] / ids == pytest.approx(12, rel=0.02), res
    if polarity == "pmos":  # the NMOS-like sweeps would give a PMOS's diode current as a table
        with pytest.raises(ValueError, match=r"vgs \(0, 1.8, 0.05\) is positive; sweep it as vgs=\(0, -1.8, -0.05\)"):
            pool.generate_lut(tavlo.LutConfig("pmos"))
