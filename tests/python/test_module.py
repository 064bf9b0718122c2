import subprocess
import sys

import tavlo


def test_native_module_is_inside_the_package():
    native = tavlo._native
    assert native.__name__ == "tavlo.tavlo"
    assert native.__doc__.splitlines()[2] == "Exposes:"
    assert "  - `SimulationPool`  — async worker pool, synchronous Python API" in native.__doc__


def test_import_works_from_any_directory(tmp_path):
    out = subprocess.run([sys.executable, "-c", "import tavlo; print(tavlo.__name__)"], cwd=tmp_path,
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "tavlo"
