"""Tables over a body-bias sweep on gf180 through real ngspice: equal to fixed-Vbs tables, physical,
read and sized at a chosen Vbs, and kept whole by table files."""


import numpy as np
import pytest

import tavlo
from tavlo import pdk

GRID = dict(lengths=[0.28e-6, 1e-6], vgs=(0.0, 3.3, 0.1), vds=(0.0, 3.3, 0.3), n_chunks=1)
VBS = [0.0, -0.5, -1.0]


def sized(result):
    return (result.w, result.l, result.id, result.vgs, result.vds, result.gm, result.gds, result.gain)





@pytest.fixture(scope="module")
def tables(pool, gf180):
    """Per polarity: the sweep table and one fixed-Vbs table per value, characterised once."""
    made = {}
    for name in ("nfet_03v3", "pfet_03v3"):
        device = pdk.gf180mcu(name, root=gf180)
        # The PMOS takes the designer's vsb, in magnitudes, as a (start, stop, step) sweep.
        swept = (pool.characterise(device, vbs=VBS, **GRID) if name.startswith("n")
                 else pool.characterise(device, vsb=(0.0, 1.0, 0.5), **GRID))
        made[name] = swept, [pool.characterise(device, vbs=v, **GRID) for v in VBS]
    return made


def test_a_vbs_sweep_equals_fixed_tables_and_reverse_bias_cuts_the_current(tables):
    for name, (swept, fixed) in tables.items():
        np.testing.assert_array_equal(swept.vbs_axis, VBS)
        np.testing.assert_array_equal(swept.vsb, [0.0, 0.5, 1.0])
        assert swept.id.shape == (2, 3, 34, 12) and np.isnan(swept.vbs)
        assert fixed[0].id.shape == (2, 34, 12) and fixed[0].vbs_axis is None
        assert swept.quantities == fixed[0].quantities and "vth" in swept.quantities
        for k, table in enumerate(fixed):
            for q in swept.quantities:
                np.testing.assert_array_equal(swept.quantity(q)[:, k], table.quantity(q), err_msg=f"{name} {q}")
        # More reverse bias: a higher threshold and less current at every length in conduction.
        on = swept.id[:, :, 12, -1]  # Vgs = 1.2 V, Vds = 3.3 V
        assert np.all(on > 1e-7) and np.all(np.diff(on, axis=1) < 0), (name, on)
        assert np.all(np.diff(swept.quantity("vth")[:, :, 12, -1], axis=1) > 0), name


def test_lookups_and_design_take_the_body_bias(tables):
    swept, fixed = tables["nfet_03v3"]
    at = dict(l=0.5e-6, vgs=[0.9, 1.55], vds=1.65)
    for k, v in enumerate(VBS):
        for q in ("id", "gm_id", "ft", "vth"):
            np.testing.assert_array_equal(swept.lookup(q, vbs=v, **at), fixed[k].lookup(q, **at))
        np.testing.assert_array_equal(swept.lookup("id_w", gm_id=12, l=0.5e-6, vsb=-v),
                                      fixed[k].lookup("id_w", gm_id=12, l=0.5e-6))
        assert sized(swept.design(gm_id=12, ids=10e-6, vbs=v)) == sized(fixed[k].design(gm_id=12, ids=10e-6))
    # Between grid points the two neighbours are read at the same overdrive (test_sizing checks it
    # against a table characterised there): the current lies between theirs; ratios take each side
    # interpolated.
    ids = [fixed[k].lookup("id", **at) for k in (1, 2)]
    assert np.all((swept.lookup("id", vbs=-0.6, **at) < ids[0]) & (swept.lookup("id", vbs=-0.6, **at) > ids[1]))
    np.testing.assert_allclose(swept.lookup("gm_id", vbs=-0.25, **at),
                               swept.lookup("gm", vbs=-0.25, **at) / swept.lookup("id", vbs=-0.25, **at), rtol=1e-12)
    # Arrays of body bias broadcast like the other arguments; the default is Vbs = 0.
    np.testing.assert_array_equal(swept.lookup("id", vbs=[[0.0], [-1.0]], **at),
                                  [fixed[0].lookup("id", **at), fixed[2].lookup("id", **at)])
    assert swept.lookup("id", l=0.5e-6, vgs=1.2, vds=1.65) == fixed[0].lookup("id", l=0.5e-6, vgs=1.2, vds=1.65)
    # The body effect asks a higher Vgs for the same gm/Id; between grid values design() sizes on
    # the table interpolated in Vbs, and its bias reads back through lookup at that Vbs.
    vgs = [swept.design(gm_id=12, ids=10e-6, vsb=s).vgs for s in (0.0, 0.1, 0.5, 1.0)]
    assert vgs[0] < vgs[1] < vgs[2] < vgs[3] and vgs[3] > vgs[0] + 0.1, vgs
    mid = swept.design(gm_id=12, ids=10e-6, vbs=-0.1)
    bias = dict(l=mid.l, vgs=mid.vgs, vds=mid.vds, vbs=-0.1)
    assert swept.lookup("gm_id", **bias) == pytest.approx(mid.gm_over_id, rel=1e-12)
    assert swept.lookup("id_w", **bias) * mid.w == pytest.approx(10e-6, rel=1e-9)

    errors = [
        (lambda: swept.design(gm_id=12, ids=10e-6, vsb=1.25), "vbs = -1.25 is outside the table's Vbs axis"),
        (lambda: swept.at_vbs(-0.25), "vbs = -0.25 V is not on .* vbs = 0, -0.5, -1 V"),
        (lambda: swept.lookup("id", vbs=-1.5, **at), "vbs = -1.5 is outside the table's Vbs axis"),
        (lambda: swept.lookup("id", vbs=0.0, vsb=0.0, **at), "give vbs or vsb"),
        (lambda: fixed[1].lookup("id", vbs=0.0, **at), "characterised at vbs = -0.5 V only"),
        (lambda: swept.to_csv("unused.csv"), "a CSV table holds one Vbs"),
    ]
    for call, message in errors:
        with pytest.raises(ValueError, match=message):
            call()


def test_a_file_keeps_the_vbs_axis(tables, tmp_path):
    for name, (swept, _) in tables.items():
        swept.save(tmp_path / f"{name}.npz")
        loaded = tavlo.load_table(tmp_path / f"{name}.npz")
        np.testing.assert_array_equal(loaded.vbs_axis, swept.vbs_axis)
        assert loaded.quantities == swept.quantities and repr(loaded) == repr(swept)
        for q in swept.quantities:
            np.testing.assert_array_equal(loaded.quantity(q), swept.quantity(q))
        assert loaded.source == swept.source
        at = dict(l=0.6e-6, vgs=1.0, vds=2.0, vbs=-0.7)
        assert loaded.lookup("gm_gds", **at) == swept.lookup("gm_gds", **at)
        assert sized(loaded.design(gm_id=10, ids=5e-6, vbs=-1.0)) == sized(swept.design(gm_id=10, ids=5e-6, vbs=-1.0))


def test_a_bad_body_bias_is_named(pool, gf180):
    device = pdk.gf180mcu("nfet_03v3", root=gf180)
    cases = [(dict(vbs=-0.5, vsb=0.5), "give vbs or vsb"),
             (dict(vbs=[0.0, -0.5, -0.5]), "vbs values must be .* strictly increasing or decreasing"),
             (dict(vsb=[]), "vsb must be a number, a .start, stop, step. tuple or a non-empty list"),
             (dict(vsb=(0.0, 1.0, -0.5)), "vsb .* the step goes away from stop"),
             (dict(vbs="low"), "vbs must be a number")]
    for kw, message in cases:
        with pytest.raises(ValueError, match=message):
            pool.characterise(device, **GRID, **kw)


@pytest.fixture(scope="module")
def pool(kit_pool):
    return kit_pool


def test_a_table_over_vbs_holds_its_data_once(pool, gf180):
    import tracemalloc

    device = pdk.gf180mcu("nfet_03v3", root=gf180)
    tracemalloc.start()
    try:
        table = pool.characterise(device, vbs=VBS, lengths=[0.28e-6, 1e-6], vgs=(0.0, 3.3, 0.02),
                                  vds=(0.0, 3.3, 0.04), n_chunks=1)
        held = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    own = sum(table.quantity(q).nbytes for q in table.quantities)
    # NumPy's buffers are traced; the native per-Vbs tables keep id, gm and gds besides.
    native = 3 * table.id.nbytes
    assert held + native <= 1.3 * own, (held, native, own)
    # The per-Vbs tables read the same data.
    assert np.shares_memory(table.at_vbs(-0.5).quantity("vth"), table.quantity("vth"))
