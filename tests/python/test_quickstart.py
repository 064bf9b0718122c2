"""The README's quick start, end to end on the built-in model."""

import re
import subprocess
import sys
from pathlib import Path

import tavlo

QUICKSTART = Path(__file__).parents[2] / "examples" / "quickstart.py"


def test_quickstart_characterises_sizes_and_saves(tmp_path):
    run = subprocess.run([sys.executable, str(QUICKSTART), str(tmp_path / "out")], capture_output=True, text=True,
                         timeout=120, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0].startswith("  5 L value(s) × 181 Vgs pts × 37 Vds pts") and "jobs completed" in lines[1]
    assert lines[2].startswith("MosTable(device_type='nmos', model_name='nch', W=1.000e-5, L=1.800e-7..1.000e-6")
    design = re.fullmatch(r"DesignResult\(W=\S+, L=\S+, Vgs=\S+, Vds=0\.900, Id=1\.000e-4, gm/Id=1[45]\.\d\d, .*\)",
                          lines[3])
    assert design, lines[3]
    # What was saved is what was printed: the reloaded table sizes to the same result.
    table = tavlo.load_table(tmp_path / "out" / "nmos.npz")
    assert repr(table) == lines[2] and repr(table.design(gm_id=15, ids=100e-6)) == lines[3]
    assert (tmp_path / "out" / "nmos_gm_id.png").read_bytes().startswith(b"\x89PNG")
