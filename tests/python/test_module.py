import ast
import subprocess
import sys
from pathlib import Path

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


def module_imports(path):
    """The package modules a module imports when it is loaded (not under TYPE_CHECKING)."""
    names = set()

    def visit(node):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                continue
            if isinstance(child, ast.If) and "TYPE_CHECKING" in ast.unparse(child.test):
                continue
            if isinstance(child, ast.ImportFrom) and child.level == 1:
                names.update([child.module] if child.module else [a.name for a in child.names])
            visit(child)

    visit(ast.parse(path.read_text()))
    return {n.split(".")[0] for n in names}


def test_the_package_is_in_layers_without_import_cycles():
    package = Path(tavlo.__file__).parent
    graph = {p.stem: module_imports(p) for p in package.glob("*.py")}
    graph = {m: {d for d in deps if d in graph} for m, deps in graph.items()}

    def reaches(start, goal, seen=()):
        return any(d == goal or (d not in seen and reaches(d, goal, (*seen, d))) for d in graph[start])

    assert [m for m in graph if reaches(m, m)] == []
    # The layers below the pool receive a runner; none of them loads the pool.
    for low in ("_progress", "_characterise", "_verify", "_verify_start", "_verify_sim", "_kitset", "_table"):
        assert not reaches(low, "_pool"), low
