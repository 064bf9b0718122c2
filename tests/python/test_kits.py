"""Process kits through real ngspice: presets, device descriptions and pool.characterise."""

import re
import shutil
import subprocess
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import tavlo
from tavlo import pdk
from tavlo._characterise import _at_own_values, characterise

from conftest import missing_kit


@pytest.fixture(scope="module")
def sky130_lib():
    try:
        return Path(pdk.sky130().models[0].path)
    except pdk.KitNotFoundError as exc:
        missing_kit(f"no sky130 kit (scripts/setup.sh installs it): {exc}")





class PlainNgspice:
    """``ngspice -b`` of a hand-written netlist, started at once: I(Vds) over ``sweep`` from ``result()``."""

    def __init__(self, tmp_path, name, body, sweep):
        self.raw = tmp_path / f"{name}.raw"
        cir = tmp_path / f"{name}.cir"
        cir.write_text(f"{name}\n{body}\n.dc {sweep}\n.control\nset num_threads=1\nset filetype=ascii\nrun\n"
                       f"write {self.raw} i(vds)\n.endc\n.end\n")
        self.proc = subprocess.Popen(["ngspice", "-b", str(cir)], stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True)

    def close(self):
        self.proc.kill()
        self.proc.communicate()

    def result(self):
        try:
            out, _ = self.proc.communicate(timeout=300)
        finally:
            self.close()
        # Its exit status is 1 even after a good run; the raw file is what tells.
        assert self.raw.exists(), out
        text = self.raw.read_text()
        n_vars = int(text.split("No. Variables:")[1].split()[0])
        values = np.array(text.split("Values:")[1].split(), dtype=float).reshape(-1, n_vars + 1)
        return values[:, -1]  # into the source's positive terminal


def check_against_reference(table, ref, li):
    """``ref`` holds I(Vds) over the table's (Vgs, Vds) grid at length index ``li``, Vds fastest."""
    got = table.id[li].ravel()
    # The table's Id is the drain current, -I(Vds); a PMOS table is the mirror, +I(Vds).
    want = ref if table.source["mirrored"] else -ref
    strong = np.abs(want) > 1e-9
    assert np.count_nonzero(strong) > want.size // 3
    np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-18)


needs_ngspice = pytest.mark.skipif(shutil.which("ngspice") is None, reason="the ngspice program is not installed")


@needs_ngspice
def test_sky130_tables_equal_plain_ngspice_in_micrometres(pool, sky130_lib, tmp_path):
    # W and L written in µm by hand: the kit's scale option makes these 1 µm × 0.15 µm. The plain
    # runs load the library while the pool does (one length, one chunk: each job loads it too).
    devices = (("nfet_01v8", 1), ("pfet_01v8", -1))
    refs = [PlainNgspice(tmp_path, device, f".lib {sky130_lib} tt\nXM1 d g 0 0 sky130_fd_pr__{device} W=1 L=0.15\n"
                         "Vds d 0 0\nVgs g 0 0", f"Vds 0 {sign * 1.8} {sign * 0.3} Vgs 0 {sign * 1.8} {sign * 0.15}")
            for device, sign in devices]
    try:
        for (device, sign), ref in zip(devices, refs, strict=True):  # noqa: B007 - sign is read after the loop
            table = pool.characterise(pdk.sky130(device), lengths=[0.15e-6], vgs=(0.0, 1.8, 0.15),
                                      vds=(0.0, 1.8, 0.3), n_chunks=1)
            assert table.width == 1e-6 and table.lengths.tolist() == [0.15e-6]
            assert table.source["corner"] == "tt" and table.source["model_files"] == [(str(sky130_lib), "tt")]
            check_against_reference(table, ref.result(), 0)
    finally:
        for ref in refs:
            ref.close()
        # Strong inversion: hundreds of µA per µm for the nfet, about a third of that for the pfet.
        assert (300e-6 < table.id[0, -1, -1] < 700e-6) if sign > 0 else (100e-6 < table.id[0, -1, -1] < 300e-6)


class Recorder:
    """The real pool, with every job's netlist and commands kept."""

    def __init__(self, pool):
        self.pool, self.workers, self.jobs, self.logs = pool, pool.workers, [], []

    def run_simulation(self, netlist, commands, id=None, **kw):
        self.jobs.append((netlist, list(commands), kw.get("params")))
        result = self.pool.run_simulation(netlist, commands, id, **kw)
        self.logs.append(result.log)
        return result


@needs_ngspice
def test_gf180_tables_equal_plain_ngspice_and_share_one_netlist(pool, gf180, tmp_path):
    lengths = [0.28e-6, 0.5e-6, 2e-6]  # uneven, across model bins
    for device, sign in (("nfet_03v3", 1), ("pfet_03v3", -1)):
        rec = Recorder(pool)
        table = characterise(rec, pdk.gf180mcu(device, root=gf180), lengths=lengths, vgs=(0.0, 3.3, 0.1),
                             vds=(0.0, 3.3, 0.3), n_chunks=2)
        # Parse once: every job loads the same text and sets the length by parameter.
        assert len({netlist for netlist, _, _ in rec.jobs}) == 1 and len(rec.jobs) == 6
        assert sorted(p["l_char"] for _, _, p in rec.jobs) == sorted(l for l in lengths * 2)
        assert np.all(table.gm[:, 5:, 3:] > 0) and np.all(table.gds[:, 20:, 3:] > 0)
        for li in (0, 2):
            body = (f".include {gf180}/design.ngspice\n.lib {gf180}/sm141064.ngspice typical\n"
                    f"M1 d g 0 0 {device} W=1u L={lengths[li] * 1e6!r}u\nVds d 0 0\nVgs g 0 0")
            ref = PlainNgspice(tmp_path, f"{device}{li}", body,
                               f"Vds 0 {sign * 3.3} {sign * 0.3} Vgs 0 {sign * 3.3} {sign * 0.1}")
            check_against_reference(table, ref.result(), li)


def test_corners_and_temperature_move_the_current_the_right_way(pool, gf180):
    sweep = dict(lengths=[0.28e-6], vgs=(3.2, 3.3, 0.1), vds=(3.2, 3.3, 0.1), n_chunks=1)
    for device in ("nfet_03v3", "pfet_03v3"):
        strong = {corner: pool.characterise(pdk.gf180mcu(device, corner, root=gf180), **sweep).id[0, -1, -1]
                  for corner in ("ss", "typical", "ff")}
        assert 0 < strong["ss"] < strong["typical"] < strong["ff"], strong
        hot = pool.characterise(pdk.gf180mcu(device, root=gf180), temperature=125, **sweep)
        # Mobility falls with temperature: less current in strong inversion.
        assert 0 < hot.id[0, -1, -1] < 0.95 * strong["typical"]
        assert hot.source["temperature"] == 125 and hot.source["corner"] == "typical"


def test_missing_kit_file_section_or_device_is_named(pool, gf180, tmp_path, monkeypatch):
    monkeypatch.delenv("PDK_ROOT", raising=False)
    for preset in (pdk.sky130, pdk.gf180mcu):
        with pytest.raises(pdk.KitNotFoundError, match=str(tmp_path)):
            preset(root=tmp_path)
    with pytest.raises(pdk.KitNotFoundError, match=r"PDK_ROOT \(not set\).*Set PDK_ROOT"):
        pdk.gf180mcu()
    # An open_pdks installation is found through PDK_ROOT.
    installed = tmp_path / "gf180mcuD" / "libs.tech" / "ngspice"
    installed.mkdir(parents=True)
    for f in ("design.ngspice", "sm141064.ngspice"):
        (installed / f).symlink_to(gf180 / f)
    monkeypatch.setenv("PDK_ROOT", str(tmp_path))
    assert pdk.gf180mcu("pfet_06v0", "ss").models[1] == tavlo.ModelFile(installed / "sm141064.ngspice", "ss")

    with pytest.raises(ValueError,
                       match="device must be one of nfet_03v3, pfet_03v3, nfet_06v0, pfet_06v0; got .nfet_9v9."):
        pdk.gf180mcu("nfet_9v9", root=gf180)
    with pytest.raises(ValueError, match="corner must be one of tt, ss, ff, sf, fs; got 'typical'"):
        pdk.sky130(corner="typical")
    with pytest.raises(FileNotFoundError, match="nowhere.lib"):
        tavlo.Device("nfet_03v3", [tmp_path / "nowhere.lib"])
    with pytest.raises(ValueError, match="section 'typo' is not defined in .*sm141064.ngspice; it defines: typical"):
        tavlo.Device("nfet_03v3", [(gf180 / "sm141064.ngspice", "typo")])
    for bad, match in ((dict(polarity="n"), "polarity must be 'nmos' or 'pmos'"),
                       (dict(instance="Q"), "instance must be 'M'"), (dict(scale=0), "scale must be a positive"),
                       (dict(params={"L": 1}), "must not set 'L'"), (dict(model="nfet 03v3"), "single netlist token")):
        with pytest.raises(ValueError, match=match):
            tavlo.Device(**{"model": "nfet_03v3", "models": [gf180 / "design.ngspice"], **bad})

    # A model the library does not define: ngspice's reason reaches the caller.
    unknown = tavlo.Device("nfet_9v9", [gf180 / "design.ngspice", (gf180 / "sm141064.ngspice", "typical")],
                           l_min=0.28e-6)
    with pytest.raises(RuntimeError, match=r"(?s)nfet_9v9 at L=.*can't find model 'nfet_9v9'"):
        pool.characterise(unknown, lengths=[0.5e-6, 1e-6], vgs=(0, 1, 0.5), vds=(0, 1, 0.5))
    # ... and the pool still works afterwards.
    assert pool.characterise(pdk.gf180mcu(root=gf180), lengths=[1e-6], vgs=(3.2, 3.3, 0.1),
                             vds=(3.2, 3.3, 0.1)).id[0, -1, -1] > 1e-4
    for kw, match in ((dict(lengths=[0.1e-6]), "at least the device's l_min"),
                      (dict(lengths=[1e-6, 1e-6]), "strictly increasing or decreasing"),
                      (dict(vgs=(0, 1, 0)), "vgs step must be non-zero"), (dict(vds=(0, 0, 0.1)), "at least 2 points"),
                      (dict(n_chunks=0), "n_chunks must be a positive integer"),
                      (dict(width=1), "largest binned width")):
        with pytest.raises(ValueError, match=match):
            pool.characterise(pdk.gf180mcu(root=gf180), **kw)


REUSED = "reusing the circuit parsed for an earlier request"


def test_a_warm_pool_parses_the_library_no_more(pool, gf180):
    device = pdk.gf180mcu("nfet_03v3", root=gf180)
    kw = dict(lengths=[0.28e-6, 1e-6], vgs=(0.0, 3.3, 0.1), vds=(0.0, 3.3, 0.3), n_chunks=3)
    cold, warm = Recorder(pool), Recorder(pool)
    first = characterise(cold, device, **kw)
    second = characterise(warm, device, **kw)
    # Each worker parses the netlist once; after that no job of this device parses it again.
    assert sum(REUSED not in log for log in cold.logs) <= pool.workers
    assert all(REUSED in log for log in warm.logs)
    np.testing.assert_array_equal(first.id, second.id)


def test_alternating_devices_parse_each_once_and_keep_their_own_answers(pool, gf180):
    nfet, pfet = pdk.gf180mcu("nfet_03v3", root=gf180), pdk.gf180mcu("pfet_03v3", "ff", root=gf180)
    kw = dict(lengths=[0.28e-6, 1e-6], vgs=(0.0, 3.3, 0.1), vds=(0.0, 3.3, 0.3), n_chunks=3)
    tables, logs = {"n": [], "p": []}, {"n": [], "p": []}
    for name, device in (("n", nfet), ("p", pfet), ("n", nfet), ("p", pfet)):
        recorder = Recorder(pool)
        tables[name].append(characterise(recorder, device, **kw))
        logs[name].append(recorder.logs)
    # The second table of each device parses nothing, although the other ran in between.
    assert all(REUSED in log for name in "np" for log in logs[name][1])
    with tavlo.SimulationPool(1) as fresh:
        for name, device in (("n", nfet), ("p", pfet)):
            reference = characterise(fresh, device, **kw)
            for table in tables[name]:
                np.testing.assert_array_equal(table.id, reference.id)
                np.testing.assert_array_equal(table.gm, reference.gm)
    assert not np.array_equal(np.abs(tables["n"][0].id), np.abs(tables["p"][0].id))


def test_a_hand_written_device_is_characterised_like_the_preset(pool, gf180):
    # The designer's own description of the same PMOS: the preset is a convenience, not a requirement.
    by_hand = tavlo.Device("pfet_03v3", [gf180 / "design.ngspice", (gf180 / "sm141064.ngspice", "typical")],
                           polarity="pmos", instance="M", scale=1.0, vdd=3.3, l_min=0.28e-6)
    grid = dict(lengths=[0.28e-6, 1e-6], vgs=(0.0, 3.3, 0.1), vds=(0.0, 3.3, 0.3))
    mine = pool.characterise(by_hand, **grid)
    preset = pool.characterise(pdk.gf180mcu("pfet_03v3", root=gf180), **grid)
    np.testing.assert_array_equal(mine.id, preset.id)
    assert mine.id[:, -1, -1].min() > 1e-5  # a conducting PMOS, by magnitudes


@pytest.fixture(scope="module")
def pool(kit_pool):
    return kit_pool


class FreshParse:
    """The real pool, with every job parsed afresh at ``.temp`` and its own length, width and Vbs
    written into the netlist: the reference for what a warm pool gives by parameters."""

    def __init__(self, pool, temperature):
        self.pool, self.workers, self.temperature, self.logs = pool, pool.workers, temperature, []

    def run_simulation(self, netlist, commands, id=None, params=None, return_vectors=None):
        own = _at_own_values(netlist, params).replace(".end\n", f".temp {self.temperature!r}\n.end\n")
        result = self.pool.run_simulation(own, [c for c in commands if not c.startswith("option temp")], id,
                                          return_vectors=return_vectors)
        self.logs.append(result.log)
        return result


def test_other_temperatures_and_body_biases_on_a_warm_pool_parse_nothing_and_equal_a_fresh_parse(worker_exe, gf180):
    device = pdk.gf180mcu("nfet_03v3", root=gf180)
    kw = dict(lengths=[0.28e-6, 1e-6], vgs=(0.0, 3.3, 0.15), vds=(0.0, 3.3, 0.3), n_chunks=2)
    conditions = ((125, 0.0), (27, 0.0), (27, -0.5))
    # One worker, so that "warm" is certain: it parses on the first job and never again.
    with tavlo.SimulationPool(1, 300.0, worker_exe) as pool:
        characterise(pool, device, temperature=27, **kw)
        warm = {}
        for temperature, vbs in conditions:
            recorder = Recorder(pool)
            warm[temperature, vbs] = characterise(recorder, device, temperature=temperature, vbs=vbs, **kw)
            assert len(recorder.logs) == 4 and all(REUSED in log for log in recorder.logs)
        for temperature, vbs in conditions:
            fresh = FreshParse(pool, float(temperature))
            reference = characterise(fresh, device, temperature=temperature, vbs=vbs, **kw)
            assert not any(REUSED in log for log in fresh.logs)
            table = warm[temperature, vbs]
            assert table.quantities == reference.quantities and "cgg" in table.quantities
            for name in table.quantities:
                np.testing.assert_array_equal(table.quantity(name), reference.quantity(name), err_msg=name)
    assert np.all(warm[125, 0.0].id[:, -1, -1] < 0.95 * warm[27, 0.0].id[:, -1, -1])
    assert np.all(warm[27, -0.5].id[:, -1, -1] < warm[27, 0.0].id[:, -1, -1])


def test_a_job_is_run_and_reported_at_its_own_length(pool, gf180):
    # Parsed at the netlist's default length below every model bin: the job at 0.5 µm still gets
    # the model's bin for 0.5 µm, and the table equals the preset's.
    short = tavlo.Device("nfet_03v3", [gf180 / "design.ngspice", (gf180 / "sm141064.ngspice", "typical")],
                         vdd=3.3, l_min=0.1e-6)
    grid = dict(lengths=[0.5e-6], vgs=(0.0, 3.3, 0.3), vds=(0.0, 3.3, 0.3))
    np.testing.assert_array_equal(pool.characterise(short, **grid).id,
                                  pool.characterise(pdk.gf180mcu("nfet_03v3", root=gf180), **grid).id)
    # A width no bin holds fails at every length, and each job's error quotes its own length.
    with pytest.raises(RuntimeError) as exc:
        pool.characterise(pdk.gf180mcu("nfet_03v3", root=gf180), width=0.1e-6, n_chunks=1, **grid)
    assert "L=5e-07 m" in str(exc.value) and "could not find a valid modelname" in str(exc.value)
    assert re.search(r"\bl= *5\.0*e-07", str(exc.value)) and "2.8" not in str(exc.value), str(exc.value)


class SlowRunner:
    """The real pool, each job held back a little, counting the jobs that start and finish."""

    def __init__(self, pool):
        self.pool, self.workers, self.started, self.finished = pool, pool.workers, 0, 0
        self.lock = threading.Lock()

    def run_simulation(self, *args, **kw):
        with self.lock:
            self.started += 1
        time.sleep(0.05)
        result = self.pool.run_simulation(*args, **kw)
        with self.lock:
            self.finished += 1
        return result


def test_a_progress_callable_that_raises_stops_the_characterisation(pool, gf180):
    runner = SlowRunner(pool)

    def progress(done, total):
        raise KeyError(f"stop at {done} of {total}")

    with pytest.raises(KeyError, match=r"stop at \d+ of 40"):
        characterise(runner, pdk.gf180mcu("nfet_03v3", root=gf180), lengths=[1e-6], vgs=(0.0, 3.3, 3.3 / 39),
                     vds=(0.0, 3.3, 1.1), n_chunks=40, progress=progress)
    finished = runner.finished
    time.sleep(0.5)  # the jobs already running end; the queued ones never start
    assert finished < 20 and runner.started < 20, (finished, runner.started)


@pytest.mark.parametrize("device, sign", [("nfet_03v3", 1.0), ("pfet_03v3", -1.0)])
def test_noise_at_every_point_equals_a_hand_written_noise_analysis(pool, gf180, device, sign):
    lengths = [0.28e-6, 1e-6]
    table = pool.characterise(pdk.gf180mcu(device, root=gf180), lengths=lengths, vgs=(0.0, 3.3, 0.3),
                              vds=(0.0, 3.3, 0.3), noise=True)  # 2 x 144 points: 2 noise jobs
    sth, sfl, gamma = table.quantity("sth"), table.quantity("sfl"), table.quantity("gamma")
    assert sth.shape == table.id.shape and np.all(np.isfinite(sth)) and np.all(np.isfinite(sfl))
    rng = np.random.default_rng(23)
    for li, i, j in zip(rng.integers(0, 2, 4), rng.integers(0, 12, 4), rng.integers(0, 12, 4), strict=True):
        netlist = (f"hand\n.include {gf180}/design.ngspice\n.lib {gf180}/sm141064.ngspice typical\n"
                   f"M1 d g 0 0 {device} W=1e-06 L={lengths[li]!r}\nVds d 0 dc {sign * float(table.vds[j])!r}\n"
                   f"Hsense n 0 vds 1\nVgs g 0 dc {sign * float(table.vgs[i])!r} ac 1\n.end\n")
        result = pool.run_simulation(netlist, ["noise v(n) vgs lin 1 1 1 1"])
        assert result.success, result.error
        np.testing.assert_allclose([sth[li, i, j], sfl[li, i, j]],
                                   [result.vector("onoise.m1.id")[0] ** 2, result.vector("onoise.m1.1overf")[0] ** 2],
                                   rtol=1e-6, err_msg=f"L={lengths[li]}, Vgs={table.vgs[i]}, Vds={table.vds[j]}")
    # Strong inversion in saturation at 1 µm: the channel's thermal noise factor is of order one.
    assert np.all((gamma[1, 6:9, 9:] > 0.5) & (gamma[1, 6:9, 9:] < 2)), gamma[1, 6:9, 9:]
    np.testing.assert_allclose(table.quantity("fco"), sfl / sth)


def test_sky130_noise_equals_a_hand_written_noise_analysis_on_the_whole_library(pool):
    # A subcircuit device: its contributions are named after the transistor inside the subcircuit,
    # and the table loads the reduced library while the hand-written deck loads the kit's own.
    try:
        device = pdk.sky130("pfet_01v8")
    except pdk.KitNotFoundError as exc:
        missing_kit(f"no sky130 kit: {exc}")
    table = pool.characterise(device, lengths=[0.15e-6], vgs=(0.0, 1.8, 0.3), vds=(0.0, 1.8, 0.6), noise=True)
    library = " ".join(device.models[0].netlist_line().split()[1:])
    inner = "onoise.m.xm1.msky130_fd_pr__pfet_01v8"
    for i, j in ((4, 2), (6, 3)):
        netlist = (f"hand\n.lib {library}\nXM1 d g 0 0 sky130_fd_pr__pfet_01v8 W=1 L=0.15\n"
                   f"Vds d 0 dc {-float(table.vds[j])!r}\nHsense n 0 vds 1\n"
                   f"Vgs g 0 dc {-float(table.vgs[i])!r} ac 1\n.end\n")
        result = pool.run_simulation(netlist, ["noise v(n) vgs lin 1 1 1 1"])
        assert result.success, result.error
        np.testing.assert_allclose(
            [table.quantity("sth")[0, i, j], table.quantity("sfl")[0, i, j]],
            [result.vector(f"{inner}.id")[0] ** 2, result.vector(f"{inner}.1overf")[0] ** 2], rtol=1e-6)
