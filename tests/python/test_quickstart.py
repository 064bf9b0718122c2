"""The README's quick start, end to end: on sky130 (the main command) and on the built-in model."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

import tavlo

QUICKSTART = Path(__file__).parents[2] / "examples" / "quickstart.py"


@pytest.mark.parametrize("builtin", [False, True], ids=["sky130", "builtin"])
def test_quickstart_characterises_sizes_and_saves(tmp_path, builtin):
    run = subprocess.run([sys.executable, str(QUICKSTART), *(["--builtin"] if builtin else []), str(tmp_path / "out")],
                         capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stderr == ""  # a normal run and close print nothing on standard error
    lines = run.stdout.splitlines()
    if builtin:
        assert lines[0].startswith("  5 L value(s) × 181 Vgs pts × 37 Vds pts") and "jobs completed" in lines[1]
        lines = lines[2:]
        assert lines[0].startswith("MosTable(device_type='nmos', model_name='nch', W=1.000e-5, L=1.800e-7..1.000e-6")
    else:
        assert lines[0].startswith("sky130 nfet_01v8, corner tt, 27 °C: MosTable(W=1.000e-6, L=1.500e-7..2.000e-6")
    design = re.fullmatch(r"DesignResult\(W=\S+, L=\S+, Vgs=\S+, Vds=0\.900, Id=1\.000e-5, gm/Id=1[45]\.\d\d, .*\)",
                          lines[1])
    assert design, lines[1]
    # What was saved is what was printed: the reloaded table sizes to the same result.
    table = tavlo.load_table(tmp_path / "out" / "nmos.npz")
    assert repr(table) in lines[0] and repr(table.design(gm_id=15, ids=10e-6)) == lines[1]
    assert (tmp_path / "out" / "nmos_gm_id.png").read_bytes().startswith(b"\x89PNG")
    if not builtin:  # then the PMOS, in magnitudes, sized the same way
        at = next(i for i, line in enumerate(lines) if line.startswith("sky130 pfet_01v8, corner tt"))
        assert re.fullmatch(r"DesignResult\(W=\S+, L=\S+, Vgs=0\.\d+, Vds=0\.900, Id=1\.000e-5, "
                            r"gm/Id=1[45]\.\d\d, .*\)",
                            lines[at + 1]), lines[at + 1]
        assert (tmp_path / "out" / "pmos_gm_id.png").read_bytes().startswith(b"\x89PNG")
