"""The ``tavlo`` command through real ngspice: its tables equal the API's, its errors are one line."""

import inspect
import subprocess
import sysconfig
from pathlib import Path

import numpy as np
import pytest

import tavlo
from tavlo import _characterise, _cli, pdk

TAVLO = str(Path(sysconfig.get_path("scripts")) / "tavlo")
GF_NFET = ["gf180mcu", "nfet_03v3", "--root", "GF"]  # GF: the kit folder
GRID = ["--vgs", "0", "3.3", "0.3", "--vds", "0", "3.3", "0.3"]


@pytest.fixture(scope="module")
def pool(kit_pool):
    return kit_pool


def run(*args):
    return subprocess.run([TAVLO, *map(str, args)], capture_output=True, text=True, timeout=300,
                          stdin=subprocess.DEVNULL)


def test_the_command_writes_the_table_the_api_computes(pool, gf180, tmp_path):
    pytest.importorskip("scipy.io")
    done = run("characterise", "gf180mcu", "pfet_03v3", "--root", gf180, "--lengths", "0.28e-6", "1e-6", *GRID,
               "--vsb", "0", "1", "0.5", "--temperature", "60", "--workers", "2", "-o", tmp_path / "p.mat")
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    api = pool.characterise(pdk.gf180mcu("pfet_03v3", root=gf180), lengths=[0.28e-6, 1e-6], vgs=(0, 3.3, 0.3),
                            vds=(0, 3.3, 0.3), vsb=(0, 1, 0.5), temperature=60)
    written = tavlo.load_table(tmp_path / "p.mat")
    assert written.quantities == api.quantities and written.source["polarity"] == "pmos"
    assert written.source["temperature"] == pytest.approx(60)
    for q in api.quantities:
        assert np.array_equal(written.quantity(q), api.quantity(q), equal_nan=True), q

    done = run("characterise", "gf180mcu", "nfet_03v3", "--corner", "ff", "--root", gf180, *GRID, "--width", "2e-6",
               "--workers", "2", "-o", tmp_path / "n.csv")
    assert done.returncode == 0, done.stderr
    api = pool.characterise(pdk.gf180mcu("nfet_03v3", "ff", root=gf180), vgs=(0, 3.3, 0.3), vds=(0, 3.3, 0.3),
                            width=2e-6)
    written = tavlo.load_table(tmp_path / "n.csv", width=2e-6)
    for q in ("lengths", "id", "gm", "gds"):  # the CSV keeps 7 digits
        np.testing.assert_allclose(getattr(written, q), getattr(api, q), rtol=1e-6, atol=1e-30)


@pytest.mark.parametrize("args, code, message", [
    (["characterise", "gf180mcu", "nfet_03v3", "-o", "t.txt"], 2, "must name a .mat, .npz or .csv file"),
    (["characterise", "sky130", "nfet_9v9", "-o", "t.mat"], 2, "sky130 device must be one of nfet_01v8"),
    (["characterise", *GF_NFET, "--vgs", "0", "1", "0", "-o", "t.npz"], 2, "vgs step must be non-zero"),
    (["characterise", *GF_NFET, "--lengths", "1e-7", "-o", "t.npz"], 2, "at least the device's l_min"),
    (["characterise", *GF_NFET, "--vsb", "0", "1", "0.5", "-o", "t.csv"], 2, "holds one body bias"),
    (["characterise", *GF_NFET, "-o", "no/such/t.npz"], 2, "does not exist"),
    (["characterise", "gf180mcu", "nfet_03v3", "--root", "EMPTY", "-o", "t.npz"], 1, "not found; looked in: "),
    (["kits", "--root", "EMPTY"], 1, None),
])
def test_bad_usage_exits_2_and_a_failure_1_with_one_line(gf180, tmp_path, monkeypatch, capsys, args, code, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "EMPTY").mkdir()
    args = [str(gf180) if a == "GF" else a for a in args]
    try:
        got = _cli.main(args)
    except SystemExit as exc:
        got = exc.code
    out, err = capsys.readouterr()
    assert got == code
    if message is not None:
        assert message in err and err.count("\n") <= (8 if code == 2 else 1), err
    assert not list(tmp_path.glob("t.*")) and "Traceback" not in out + err


def test_kits_lists_what_it_finds_and_where(gf180, capsys):
    assert _cli.main(["kits", "--root", str(gf180)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("sky130: not found;") and f"looked in: {gf180}" in lines[0]
    assert lines[1:] == [f"gf180mcu: {gf180}", f"  devices: {' '.join(pdk._GF180)}",
                         f"  corners: {' '.join(pdk._GF180_CORNERS)}"]


def test_noise_is_passed_through_or_refused_as_not_available(gf180, tmp_path, capsys):
    out = tmp_path / "n.npz"
    code = _cli.main(["characterise", "gf180mcu", "nfet_03v3", "--root", str(gf180), "--noise", "--workers", "1",
                      "--vgs", "0", "3.3", "1.1", "--vds", "0", "3.3", "1.1", "-o", str(out)])
    if "noise" in inspect.signature(_characterise.characterise).parameters:
        assert code == 0 and {"sth", "sfl"} <= set(tavlo.load_table(out).quantities)
    else:
        assert code == 1 and not out.exists()
        assert capsys.readouterr().err == ("tavlo: error: --noise is not available in this tavlo: "
                                           "its characterisation has no noise analysis\n")
