"""Verified sizing on real kits, checked against a netlist of our own run by plain ngspice."""

import dataclasses
import subprocess

import numpy as np
import pytest

from tavlo import pdk

from conftest import GF180, missing_kit

TARGETS = [(g, i) for g in (8, 15, 22) for i in (1e-6, 100e-6)]
# A designer's lengths: a long channel keeps 1 µA at gm/Id 8 above the kits' smallest width.
LENGTH = {1e-6: 4e-6, 100e-6: 0.5e-6}
GAIN = 150.0
DVGS, DVDS = 2e-3, 20e-3  # finite-difference steps of the reference gm and gds (V)


def kit_device(kit, polarity):
    if kit == "sky130":
        try:
            return pdk.sky130("nfet_01v8" if polarity == "nmos" else "pfet_01v8")
        except pdk.KitNotFoundError as exc:
            missing_kit(f"no sky130 kit (scripts/setup.sh installs it): {exc}")
    if not (GF180 / "sm141064.ngspice").exists():
        missing_kit(f"gf180mcu model files not found in {GF180}")
    return pdk.gf180mcu("nfet_03v3" if polarity == "nmos" else "pfet_03v3", root=str(GF180))


class Reference:
    """Every sizing of one device as its own instances in one hand-written circuit, solved by a
    plain ``ngspice -b`` op: Id at the sized bias, gm and gds from Vgs and Vds steps either side.
    The split is written as the instance's own m or nf, never scaled by us."""

    def __init__(self, tmp_path, device, sized):
        self.raw = tmp_path / f"{device.model}.raw"
        s = -1.0 if device.polarity == "pmos" else 1.0
        lines = [f"reference {device.model}"] + [m.netlist_line() for m in device.models]
        lines.append(".option wnflag=1")
        prefix = "X" if device.instance == "X" else "M"
        self.names = []
        for k, r in enumerate(sized):
            split = f"nf={r.nf}" if r.nf > 1 else f"m={r.m}"
            w = r.w if r.nf > 1 else r.w / r.m
            for tag, dg, dd in (("c", 0, 0), ("gp", DVGS, 0), ("gm", -DVGS, 0), ("dp", 0, DVDS), ("dm", 0, -DVDS)):
                lines += [f"{prefix}{k}{tag} d{k}{tag} g{k}{tag} 0 b{k} {device.model} W={w / device.scale:.12g} "
                          f"L={r.l / device.scale:.12g} {split}",
                          f"Vd{k}{tag} d{k}{tag} 0 {s * (r.vds + dd)!r}",
                          f"Vg{k}{tag} g{k}{tag} 0 {s * (r.vgs + dg)!r}"]
                self.names.append(f"vd{k}{tag}#branch")
            lines.append(f"Vb{k} b{k} 0 {s * r.vbs!r}")
            inner = f"m.x{k}c.m{device.model}" if prefix == "X" else f"m{k}c"
            self.names += [f"@{inner}[gm]", f"@{inner}[gds]"]
        lines += [".control", "set filetype=ascii", "op", f"write {self.raw} " + " ".join(self.names), ".endc", ".end"]
        cir = tmp_path / f"{device.model}.cir"
        cir.write_text("\n".join(lines) + "\n")
        self.sign = s
        self.proc = subprocess.Popen(["ngspice", "-b", str(cir)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True)

    def figures(self):
        """(Id, gm, gds) of each sizing, as magnitudes."""
        try:
            out, _ = self.proc.communicate(timeout=600)
        finally:
            self.proc.kill()
            self.proc.communicate()
        assert self.raw.exists(), out
        text = self.raw.read_text()
        header, values = text.split("\nValues:")
        names = [line.split()[1].lower() for line in header.split("\nVariables:")[1].strip().splitlines()]
        numbers = np.array(values.split()[1:], dtype=float)
        current = {n: -self.sign * numbers[i] for i, n in enumerate(names)}  # out of the drain
        value = {n: numbers[i] for i, n in enumerate(names)}
        got = []
        for k in range(len(self.names) // 7):
            i = {tag: current[f"i(vd{k}{tag})"] for tag in ("c", "gp", "gm", "dp", "dm")}
            inner = [n for n in names if n.endswith("[gm]") and (f".x{k}c." in n or n.startswith(f"@m{k}c["))]
            got.append(dict(id=i["c"], gm_fd=(i["gp"] - i["gm"]) / (2 * DVGS), gds_fd=(i["dp"] - i["dm"]) / (2 * DVDS),
                            gm=value[inner[0]], gds=value[inner[0].replace("[gm]", "[gds]")]))
        return got


@pytest.fixture(scope="module")
def sizings(kit_pool, tmp_path_factory):
    """Per (kit, polarity): the device, its sizings and the reference figures, computed once."""
    cache = {}

    def get(kit, polarity):
        if (kit, polarity) not in cache:
            device = kit_device(kit, polarity)
            table = kit_pool.characterise(device, lengths=[device.l_min, 0.5e-6, 1e-6, 2e-6, 4e-6],
                                          vgs=(0.0, device.vdd, device.vdd / 90),
                                          vds=(0.0, device.vdd, device.vdd / 18))
            sized = [kit_pool.size(device, gm_id=g, ids=i, l=LENGTH[i], table=table) for g, i in TARGETS]
            # A gain between the grid lengths.
            sized.append(kit_pool.size(device, gm_id=15, ids=10e-6, gain=GAIN, table=table))
            # A reverse body bias between the grid values of a table over Vsb.
            body = kit_pool.characterise(device, lengths=[1e-6], vgs=(0.0, device.vdd, device.vdd / 90),
                                         vds=(0.0, device.vdd, device.vdd / 18), vsb=[0.0, 0.8])
            sized.append(kit_pool.size(device, gm_id=15, ids=10e-6, vsb=0.4, table=body))
            # A width past the largest bin: parallel devices.
            wide = 2e-3 if device.w_max <= 100e-6 else 20e-3
            sized.append(kit_pool.size(device, gm_id=20, ids=wide, l=0.5e-6, table=table))
            # The same with fingers, for a device whose description takes nf.
            fingered = dataclasses.replace(device, params={**device.params, "nf": 1})
            if device.w_max <= 100e-6:
                sized.append(kit_pool.size(fingered, gm_id=20, ids=wide, l=0.5e-6, table=table))
            ref = Reference(tmp_path_factory.mktemp(kit), device, sized)
            cache[kit, polarity] = device, table, sized, ref.figures()
        return cache[kit, polarity]

    return get


KITS = [("sky130", "nmos"), ("sky130", "pmos"), ("gf180", "nmos"), ("gf180", "pmos")]


def check_against(res, ref, ids, gm_id, case):
    """The reference device meets the targets, and the sizer reports what it does."""
    assert ref["id"] == pytest.approx(ids, rel=0.005), case
    assert ref["gm"] / ref["id"] == pytest.approx(gm_id, rel=0.01), case
    # The model's gm is the slope of the current (within a kit's gate and source resistances).
    assert ref["gm_fd"] == pytest.approx(ref["gm"], rel=0.02), case
    assert ref["gds_fd"] == pytest.approx(ref["gds"], rel=0.1), case
    assert res.id == pytest.approx(ref["id"], rel=1e-4) and res.gm == pytest.approx(ref["gm"], rel=1e-4), case
    assert res.gain == pytest.approx(ref["gm"] / ref["gds"], rel=1e-3), case


@pytest.mark.parametrize("kit, polarity", KITS)
def test_sized_devices_meet_their_targets_when_simulated_again(sizings, kit, polarity):
    device, table, sized, reference = sizings(kit, polarity)
    for (gm_id, ids), res, ref in zip(TARGETS, sized[:len(TARGETS)], reference[:len(TARGETS)], strict=True):
        case = f"{device.model} gm/Id={gm_id} Id={ids:g}: {res!r}"
        check_against(res, ref, ids, gm_id, case)
        assert res.l == LENGTH[ids] and 1 <= res.simulations <= 12 and res.nf == 1, case
        assert res.w_each <= device.w_max and (res.m == 1) == (res.w <= device.w_max), case
        assert res.estimate.l == res.l and res.estimate.id == pytest.approx(ids), case
        assert 0 < res.vdsat < res.vgs and 0 < res.vth < device.vdd and res.ft > 0 and res.cgg > 0, case
        assert [name for name, _ in res.constraint_errors] == ["Ids", "gm/Id"], case


@pytest.mark.parametrize("kit, polarity", KITS)
def test_a_gain_between_grid_lengths_a_body_bias_and_a_split_width_hold_when_simulated_again(sizings, kit, polarity):
    device, table, sized, reference = sizings(kit, polarity)
    res, ref = sized[len(TARGETS)], reference[len(TARGETS)]
    assert np.min(np.abs(table.lengths - res.l)) > 1e-9 and table.lengths[0] < res.l < table.lengths[-1], res
    check_against(res, ref, 10e-6, 15, repr(res))
    assert ref["gm"] / ref["gds"] == pytest.approx(GAIN, rel=0.05), res
    assert [name for name, _ in res.constraint_errors] == ["Ids", "gm/Id", "gain"]
    body, ref = sized[len(TARGETS) + 1], reference[len(TARGETS) + 1]
    check_against(body, ref, 10e-6, 15, repr(body))
    # Reverse bias raises the threshold, and the Vgs, above those at Vbs = 0.
    at_zero = table.design(gm_id=15, ids=10e-6, l=1e-6, vds=body.vds)
    assert body.vbs == -0.4 and body.l == 1e-6 and body.vgs > at_zero.vgs + 0.02, body
    assert body.vth > table.lookup("vth", l=1e-6, vgs=body.vgs, vds=body.vds) + 0.02, body
    for res, ref in zip(sized[len(TARGETS) + 2:], reference[len(TARGETS) + 2:], strict=True):
        assert res.w > device.w_max and res.m * res.nf > 1 and res.w / (res.m * res.nf) <= device.w_max, res
        check_against(res, ref, res.estimate.id, 20, repr(res))
    assert "m=" in repr(sized[len(TARGETS) + 2]) and "table" in repr(res) and "simulated" in repr(res)


def test_targets_that_cannot_be_met_are_named(sizings, kit_pool):
    device, table, _, _ = sizings("gf180", "nmos")
    cases = [
        (dict(gm_id=40, ids=1e-6), r"gm_id = 40 cannot be met: it is above the device's weak-inversion peak"),
        (dict(gm_id=0.2, ids=1e-6), r"gm_id = 0.2 cannot be met: it is below the lowest gm/Id"),
        (dict(gm_id=15, ids=1e-6, gain=1e6), r"gain = 1e\+06"),
        (dict(gm_id=15, ids=1e-6, l=1e-6, gain=50), r"give l or gain, not both"),
        (dict(gm_id=15, ids=-1e-6), r"ids must be positive \(A\), got -1e-06"),
        (dict(gm_id="15", ids=1e-6), r"gm_id must be a number \(1/V\), got '15'"),
        (dict(gm_id=15, ids=1e-6, vds=9.0), r"vds must lie in \(0, 3.3\] V"),
        (dict(gm_id=15, ids=1e-6, l=0.1e-6), r"l must be a length .* at least the device's l_min"),
        (dict(gm_id=8, ids=1e-9, l=0.28e-6), r"failed \(is W or L outside the kit's model bins\?\)"),
        (dict(gm_id=15, ids=1e-6, max_simulations=1), r"max_simulations = 1 leaves no simulation"),
        (dict(gm_id=15, ids=1e-6, temperature="hot"), r"temperature must be a number \(°C\), got 'hot'"),
        (dict(gm_id=15, ids=1e-6, vbs=0.1, vsb=0.1), r"give vbs or vsb \(= -vbs\), not both"),
        (dict(gm_id=15, ids=1e-6, vsb=0.4), r"the table was characterised at vbs = 0 V only"),
        (dict(gm_id=15, ids=1e-6, table=sizings("gf180", "pmos")[1]), r"table is a PMOS table and device .* is NMOS"),
    ]
    for kwargs, message in cases:
        with pytest.raises(ValueError, match=message):
            kit_pool.size(device, **{"table": table, **kwargs})
    with pytest.raises(TypeError, match="device must be a tavlo.Device"):
        kit_pool.size("nfet", gm_id=15, ids=1e-6)
    # The pool answers normally after a failed sizing, and keeps one default table per device.
    first = kit_pool.size(device, gm_id=15, ids=10e-6)
    again = kit_pool.size(device, gm_id=12, ids=10e-6)
    assert first.id == pytest.approx(10e-6, rel=0.005) and again.gm_over_id == pytest.approx(12, rel=0.01)
    assert len(kit_pool._sizing_tables) == 1
