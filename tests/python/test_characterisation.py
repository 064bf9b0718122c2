"""Characterising the built-in devices on real ngspice through the pool."""

import math
import os
import re
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import tavlo
from tavlo._characterise import characterise

SMALL = dict(vgs=(0.0, 1.8, 0.1), vds=(0.0, 1.8, 0.1))  # 19 x 19 points


@pytest.fixture(scope="module")
def pool(worker_exe):
    pool = tavlo._SimulationPool(2, 60.0, worker_exe)
    yield pool
    pool.close()


def progress(out):
    return [line for line in out.splitlines() if line.startswith("  ")]


def test_nmos_table_is_physically_sensible(pool, capfd):
    lut = pool.generate_lut(tavlo.LutConfig(lengths=(1e-7, 3e-7, 1e-7)), 4)
    lines = progress(capfd.readouterr().out)
    assert lines[0] == "  3 L value(s) × 37 Vgs pts × 37 Vds pts  → 12 jobs across 4 Vgs chunk(s)"
    assert re.fullmatch(r"  all 12 jobs completed in \d+\.\dms  \(\d+ op/s\)", lines[1])
    assert repr(lut) == "TransistorLut(n_l=3, n_vgs=37, n_vds=37)"
    assert lut.id.shape == lut.gm.shape == lut.gds.shape == (3, 37, 37)
    np.testing.assert_allclose(lut.lengths, [1e-7, 2e-7, 3e-7], rtol=1e-12)
    np.testing.assert_array_equal(lut.vgs, 0.05 * np.arange(37))
    # Saturation (Vds = 1.8 V) above threshold: Id rises with Vgs, gm and gds are not negative.
    sat = lut.id[:, 20:, -1]
    assert np.all(np.diff(sat, axis=1) > 0)
    assert np.all(lut.gm[:, 20:, -1] > 0) and np.all(lut.gds[:, 20:, 25:] >= 0)
    # Shorter channels carry more current at the same bias.
    assert np.all(lut.id[0, 30, 30] > lut.id[2, 30, 30])
    # gm is the Vgs derivative of the stored Id, with the configured step.
    np.testing.assert_allclose(lut.gm[1, 1:-1, 20], (lut.id[1, 2:, 20] - lut.id[1, :-2, 20]) / 0.1)


def test_pmos_with_negative_sweeps(pool, capfd):
    cfg = tavlo.LutConfig("pmos", vgs=(0.0, -1.8, -0.1), vds=(0.0, -1.8, -0.1))
    lut = pool.generate_lut(cfg)
    assert repr(lut) == "TransistorLut(L=5.000e-7, n_vgs=19, n_vds=19)"
    assert lut.lengths is None and lut.id.shape == (19, 19)
    assert lut.vgs[-1] == pytest.approx(-1.8)
    on = np.abs(lut.id[10:, -1])
    assert np.all(np.diff(on) > 0)  # |Id| rises with |Vgs|
    # The derivative is taken against the signed step, so it is with respect to the voltage itself.
    np.testing.assert_allclose(lut.gm[5, -1], (lut.id[6, -1] - lut.id[4, -1]) / -0.2)


def test_chunking_does_not_change_the_table(pool, capfd):
    one = pool.generate_lut(tavlo.LutConfig(**SMALL), 1)
    many = pool.generate_lut(tavlo.LutConfig(**SMALL), 100)
    lines = progress(capfd.readouterr().out)
    assert lines[2].endswith("→ 19 jobs across 19 Vgs chunk(s)")
    np.testing.assert_allclose(many.id, one.id, rtol=1e-9, atol=1e-18)
    np.testing.assert_allclose(many.gds, one.gds, rtol=1e-6, atol=1e-15)


def test_csv_matches_the_arrays(pool, tmp_path):
    lut = pool.generate_lut(tavlo.LutConfig(**SMALL))
    path = tmp_path / "nmos.csv"
    lut.to_csv(str(path))
    lines = path.read_text().splitlines()
    assert lines[0] == "L,Vgs,Vds,Id,gm,gds" and len(lines) == 1 + 19 * 19
    i, j = 12, 7
    fields = lines[1 + i * 19 + j].split(",")
    assert fields[0] == "5.000000e-7"
    assert float(fields[3]) == pytest.approx(lut.id[i, j], rel=1e-6)
    assert float(fields[4]) == pytest.approx(lut.gm[i, j], rel=1e-6)


def test_a_failing_chunk_fails_the_whole_call(pool, capfd):
    with pytest.raises(RuntimeError) as exc:
        pool.generate_lut(tavlo.LutConfig(model_name="nosuchmodel", **SMALL), 3)
    assert re.match(r"simulation failed: L=5\.000e-7 chunk [0-2] failed: .+", str(exc.value))
    assert len(progress(capfd.readouterr().out)) == 1  # the completion line never comes
    assert pool.generate_lut(tavlo.LutConfig(**SMALL)).id.shape == (19, 19)


@pytest.mark.parametrize("kwargs, n_chunks, message", [
    (dict(device_type="NMOS"), None, "device_type must be 'nmos' or 'pmos', got 'NMOS'"),
    ({}, 0, "n_chunks"),
    (dict(vgs=(0.0, 1.8, 0.0)), None, "vgs"),
    (dict(vds=(0.0, 1.8, math.nan)), None, "vds"),
    (dict(lengths=(1e-7, 1e-6, math.inf)), None, "lengths"),
    (dict(vgs=(0.5, 0.5, 0.1)), None, "vgs"),
    (dict(model_name="nch\n.include /etc/passwd"), None, "model_name"),
    (dict(model_file="m.lib\nV1 a 0 1"), None, "model_file"),
    (dict(model_card=".model nch nmos\0"), None, "model_card"),
    (dict(model_name="nch $"), None, "model_name must be a single name"),
    (dict(model_name="nch m=4"), None, "model_name must be a single name"),
    (dict(model_file="m.lib", model_section="tt m=4"), None, "model_section must be a single name"),
    (dict(model_file="/models/a;b.mod"), None, "model_file must not contain ';'"),
    (dict(vgs=(0.0, 1.0, 1e-9)), None, "x 1000000001 x 37 points"),
    (dict(vgs=(0.0, 4.294967294, 1e-9)), None, "bytes of memory available"),
    (dict(lengths=(1e-6, 1e-7, 1e-7)), None, "lengths (1e-06, 1e-07, 1e-07) gives 1 point"),
    (dict(width=0.0), None, "width must be a finite positive number"),
])
def test_bad_configurations_are_refused_before_simulating(pool, capfd, kwargs, n_chunks, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        pool.generate_lut(tavlo.LutConfig(**kwargs), n_chunks)
    assert progress(capfd.readouterr().out) == []


def test_argument_types(pool):
    with pytest.raises(TypeError, match="argument 'config'"):
        pool.generate_lut("nmos")
    with pytest.raises(TypeError, match="argument 'n_chunks'"):
        pool.generate_lut(tavlo.LutConfig(), 2.5)


def test_ctrl_c_cancels_a_characterisation_and_the_pool_keeps_working(pool, capfd):
    big = tavlo.LutConfig(lengths=(1e-7, 4e-6, 1e-7), vgs=(0.0, 1.8, 0.005), vds=(0.0, 1.8, 0.005))
    threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        pool.generate_lut(big)
    assert time.monotonic() - start < 2.0
    start = time.monotonic()
    assert pool.generate_lut(tavlo.LutConfig(**SMALL)).id.shape == (19, 19)
    assert time.monotonic() - start < 10  # the abandoned jobs were dropped, not run



def test_failed_characterisations_leave_a_sound_pool(worker_exe):
    # A misspelt model fails every job at load; the pool must cancel the rest cleanly, answer the
    # next request correctly and close without crashing, run after run.
    script = (
        "import tavlo\n"
        f"pool = tavlo._SimulationPool(8, 60.0, {worker_exe!r})\n"
        "for _ in range(3):\n"
        "    try:\n"
        "        pool.generate_lut(tavlo.LutConfig(model_name='nch_typo', vgs=(0, 1.8, 0.01)), 16)\n"
        "    except RuntimeError:\n"
        "        pass\n"
        "    else:\n"
        "        raise SystemExit('a misspelt model characterised')\n"
        "    r = pool.run_simulation('d\\nV1 a 0 1\\nR1 a 0 1k\\n.op\\n.end\\n', ['run'])\n"
        "    assert r.success and abs(r.vector('v1#branch')[0] + 1e-3) < 1e-12, r.log\n"
        "del pool\n"
    )
    runs = [subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            for _ in range(2)]
    failures = []
    for i in range(20):
        proc = runs.pop(0)
        _, err = proc.communicate(timeout=120)
        if proc.returncode != 0:
            failures.append((proc.returncode, err.decode()[-500:]))
        if i + 2 < 20:
            runs.append(subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.PIPE))
    assert failures == []


@pytest.mark.parametrize("step", [0.07, 1 / 30, 7e-5])  # the last: ngspice's running sum drifts
def test_a_step_that_does_not_divide_the_range_ends_on_the_tables_last_point(pool, step):
    n = round(1.8 / step)
    lut = pool.generate_lut(tavlo.LutConfig(vgs=(0.0, 1.8, 0.6), vds=(0.0, 1.8, step)), 2)
    assert lut.vds.tolist() == [step * i for i in range(n + 1)]
    # Id rises with Vds at a fixed Vgs above threshold: each row holds its own points, not a shifted copy.
    assert np.all(np.diff(lut.id[-1]) > 0)
    reference = pool.generate_lut(tavlo.LutConfig(vgs=(0.0, 1.8, 0.6), vds=(0.0, step * n, step / 2)), 1)
    np.testing.assert_allclose(lut.id[:, -1], reference.id[:, 2 * n], rtol=1e-9, atol=1e-15)


def test_lengths_are_simulated_with_every_digit(pool):
    a = pool.generate_lut(tavlo.LutConfig(length=1.0000e-6, **SMALL))
    b = pool.generate_lut(tavlo.LutConfig(length=1.0004e-6, **SMALL))
    ratio = a.id[-1, -1] / b.id[-1, -1]  # Id scales roughly with 1 / (L - 2 ld)
    assert 1.0002 < ratio < 1.0008


def test_a_model_file_in_a_folder_with_a_space_loads(pool, tmp_path):
    card = ".model nch nmos level=1 vto=0.5 kp=80u lambda=0.02"
    folder = tmp_path / "my models"
    folder.mkdir()
    (folder / "n.mod").write_text(card + "\n")
    from_file = pool.generate_lut(tavlo.LutConfig(model_file=str(folder / "n.mod"), **SMALL))
    from_card = pool.generate_lut(tavlo.LutConfig(model_card=card, **SMALL))
    np.testing.assert_array_equal(from_file.id, from_card.id)
    assert from_file.id[-1, -1] > 1e-4


@pytest.mark.parametrize("kwargs, reason", [
    (dict(model_file="/nonexistent/tavlo/n.mod"), "stderr Error: Could not find include file /nonexistent/tavlo/n.mod"),
    (dict(model_name="nhc"), "stderr Error on line 5 or its substitute: m1 drain gate source bulk nhc w=1.000e-5 "
                             "l=5.000e-7; could not find a valid modelname"),
])
def test_a_characterisation_that_cannot_load_says_why(pool, capfd, kwargs, reason):
    with pytest.raises(RuntimeError) as exc:
        pool.generate_lut(tavlo.LutConfig(**kwargs, **SMALL), 1)
    assert str(exc.value) == "simulation failed: L=5.000e-7 chunk 0 failed: " + reason


LEVEL1 = ".model nch nmos level=1 vto=0.5 kp=80u lambda=0.02"


@pytest.fixture(scope="module")
def both_routes(worker_exe, tmp_path_factory):
    """A pool, and one level-1 transistor as a LutConfig and as a Device (same card, W and L)."""
    card = tmp_path_factory.mktemp("card") / "n.mod"
    card.write_text(LEVEL1 + "\n")
    device = tavlo.Device("nch", [card], vdd=3.3, l_min=5e-7)
    with tavlo.SimulationPool(2, 60.0, worker_exe) as pool:
        yield pool, device, lambda **kw: tavlo.LutConfig(model_file=str(card), **kw)


@pytest.mark.parametrize("sweeps", [
    dict(vgs=(0.0, 3.3, 1.1), vds=(0.0, 1.8, 1.8 / 29999)),  # the sums pass stop: a point was lost
    dict(vgs=(0.0, 3.3, 1.1), vds=(0.0, 3.3, 1e-4)),  # the sums stop short: a point too many
    dict(vgs=(0.0, 3.3, 1e-4), vds=(0.0, 3.3, 1.1)),
])
def test_fine_sweeps_visit_the_tables_points_on_both_routes(both_routes, capfd, sweeps):
    pool, device, config = both_routes
    native = pool.generate_lut(config(**sweeps), 2, progress=False)
    kit = characterise(pool, device, lengths=[5e-7], width=1e-5, n_chunks=2, **sweeps)
    for name in ("vgs", "vds"):
        np.testing.assert_array_equal(getattr(kit, name), getattr(native, name))
    # The same model at the same points: the same currents, row for row.
    np.testing.assert_allclose(kit.id, native.id, rtol=1e-9, atol=1e-15)
    assert kit.id[0, -1, -1] > 1e-4


class Counting:
    def __init__(self, pool):
        self.pool, self.workers, self.jobs = pool, pool.workers, 0

    def run_simulation(self, *args, **kw):
        self.jobs += 1
        return self.pool.run_simulation(*args, **kw)


def test_both_routes_chunk_a_grid_alike(both_routes, capfd):
    pool, device, config = both_routes
    for lengths, sweeps in (((5e-7, 5e-7, 1.0), dict(vgs=(0.0, 1.0, 0.5), vds=(0.0, 2.6, 1e-4))),  # 3 x 26 001
                            ((5e-7, 1.5e-6, 5e-7), dict(vgs=(0.0, 3.3, 0.1), vds=(0.0, 3.3, 0.1)))):
        pool.generate_lut(config(lengths=lengths, **sweeps), progress=False)
        jobs = int(re.search(r"→ (\d+) jobs", capfd.readouterr().out).group(1))
        runner = Counting(pool)
        characterise(runner, device, lengths=lengths, width=1e-5, **sweeps)
        assert runner.jobs == jobs


class FakeResult:
    def __init__(self, vectors, success=True):
        self.success, self.error, self.log, self._vectors = success, None if success else "failed", [], vectors

    def vector(self, name):
        return np.asarray(self._vectors[name], dtype=float)

    def vector_names(self):
        return list(self._vectors)


class FakeRunner:
    """Answers sweeps with Id = Vgs + Vds / 10 and noise with onoise = Vgs + Vds / 10 (× 1e-12),
    one plot per analysis as ngspice names them; ``drop`` loses that many noise plots a job."""

    workers = 2

    def __init__(self, drop=0):
        self.drop = drop

    def run_simulation(self, netlist, commands, id=None, *, params=None, return_vectors=None):
        sweep = [c for c in commands if c.startswith("dc ")]
        if sweep:
            words = sweep[0].split()
            vds, vgs = (np.arange(round((float(w[1]) - float(w[0])) / float(w[2])) + 1) * float(w[2]) + float(w[0])
                        for w in (words[2:5], words[6:9]))
            return FakeResult({"vds#branch": -(vgs[:, None] + vds[None, :] / 10).ravel()})
        values, vectors = {}, {}
        for c in commands:
            if c.startswith("alter "):
                values[c.split()[1]] = float(c.split("=")[1])
            elif c.startswith("noise "):
                k = len(vectors) // 2 + 1
                for source in ("id", "1overf"):
                    vectors[f"noise{k}.onoise.m1.{source}"] = [(values["vgs"] + values["vds"] / 10) * 1e-12]
        for k in range(len(vectors) // 2, len(vectors) // 2 - self.drop, -1):
            vectors.pop(f"noise{k}.onoise.m1.id")
        return FakeResult(vectors)


def test_noise_points_land_on_their_grid_points_and_a_lost_analysis_fails(tmp_path):
    card = tmp_path / "n.mod"
    card.write_text(LEVEL1 + "\n")
    device = tavlo.Device("nch", [card], vdd=3.3, l_min=5e-7)
    grid = dict(lengths=[5e-7, 1e-6], vgs=(0.0, 3.3, 0.1), vds=(0.0, 3.3, 0.3))  # 34 x 12: 3 noise jobs a length
    table = characterise(FakeRunner(), device, noise=True, **grid)
    want = ((table.vgs[:, None] + table.vds[None, :] / 10) * 1e-12) ** 2
    for li in range(2):  # plots noise1 ... noise200 in order, not as text sorts them
        np.testing.assert_allclose(table.quantity("sth")[li], want, rtol=1e-12)
    fco = table.quantity("fco")
    assert np.all(np.isnan(fco[:, 0, 0])) and np.allclose(fco.reshape(2, -1)[:, 1:], 1.0)  # no noise: no corner
    with pytest.raises(RuntimeError, match=r"noise of nch at L=.* m, Vbs=0 V, points \d+\.\.\d+ .* returned") as exc:
        characterise(FakeRunner(drop=1), device, noise=True, **grid)
    got, expected = map(int, re.search(r"returned (\d+) sth points, expected (\d+)", str(exc.value)).groups())
    assert got == expected - 1
    with pytest.raises(ValueError, match="noise must be True or False"):
        characterise(FakeRunner(), device, noise="yes", **grid)


class OutputsRunner(FakeRunner):
    """Sweeps that also give the model's gm (7 S) and a PMOS-like vdsat, except ``lacking`` jobs'."""

    def __init__(self, lacking=()):
        super().__init__()
        self.lacking = lacking

    def run_simulation(self, netlist, commands, id=None, *, params=None, return_vectors=None):
        result = super().run_simulation(netlist, commands, id, params=params, return_vectors=return_vectors)
        n = result._vectors["vds#branch"].size
        if id not in self.lacking:
            result._vectors.update({"@M1[GM]": np.full(n, 7.0), "@m1[vdsat]": np.full(n, -0.2)})
        return result


def test_a_device_output_some_job_lacks_is_left_out_of_the_whole_table(tmp_path):
    card = tmp_path / "n.mod"
    card.write_text(LEVEL1 + "\n")
    device = tavlo.Device("nch", [card], vdd=3.3, l_min=5e-7)
    grid = dict(lengths=[5e-7, 1e-6], vgs=(0.0, 3.3, 0.1), vds=(0.0, 3.3, 0.3), n_chunks=3)
    table = characterise(OutputsRunner(), device, **grid)
    np.testing.assert_array_equal(table.gm, 7.0)  # the model's own, found in any letter case
    np.testing.assert_allclose(table.id, np.broadcast_to(table.vgs[:, None] + table.vds[None, :] / 10, table.id.shape))
    assert "vdsat" in table.quantities
    lacking = characterise(OutputsRunner(lacking=("char-b0-l1-vgs12",)), device, **grid)
    # Differences over the grid instead, everywhere: Id = Vgs + Vds / 10 has gm = 1.
    np.testing.assert_allclose(lacking.gm, 1.0, rtol=1e-9)
    assert "vdsat" not in lacking.quantities
    np.testing.assert_array_equal(lacking.id, table.id)
