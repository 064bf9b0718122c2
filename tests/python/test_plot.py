"""The gm/Id charts, drawn off-screen."""

import io
import sys

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

CHARTS = {
    "plot_gm_id": ("Vgs (V)", "gm/Id (1/V)", "linear"),
    "plot_gain": ("gm/Id (1/V)", "gm/gds (V/V)", "log"),
    "plot_id_w": ("gm/Id (1/V)", "Id/W (A/m)", "log"),
}


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


@pytest.mark.parametrize("method", CHARTS, ids=CHARTS)
def test_each_chart_draws_one_line_per_length_and_renders(mos_table, method):
    ax = getattr(mos_table, method)()
    assert [line.get_label() for line in ax.lines] == ["L = 200 nm", "L = 600 nm", "L = 1 µm"]
    assert (ax.get_xlabel(), ax.get_ylabel(), ax.get_yscale()) == CHARTS[method]
    png = io.BytesIO()
    ax.figure.savefig(png, format="png")
    assert png.getvalue().startswith(b"\x89PNG")
    # Drawing into given Axes returns those Axes.
    _, given = plt.subplots()
    assert getattr(mos_table, method)(given, vds=0.5) is given and given.get_title() == "Vds = 0.50 V"


def test_charts_show_the_table_at_the_chosen_vds(mos_table):
    k, j = 2, 5  # L = 1 µm, Vds = 0.5 V
    gm, ids = mos_table.gm[k, :, j], mos_table.id[k, :, j]
    on = ids > 1e-12
    gm_id = gm[on] / ids[on]
    shown = mos_table.plot_gm_id(vds=0.5).lines[k]
    assert np.array_equal(shown.get_xdata()[on], mos_table.vgs[on])
    np.testing.assert_allclose(shown.get_ydata()[on][gm_id < 40], gm_id[gm_id < 40], rtol=1e-12)
    # Against gm/Id, only the falling branch: gm/Id never rises along the line.
    x = mos_table.plot_id_w(vds=0.5).lines[k].get_xdata()
    assert np.all(np.diff(x[np.isfinite(x)]) <= 0)


def test_missing_matplotlib_is_explained(mos_table, monkeypatch):
    for name in [m for m in sys.modules if m == "matplotlib" or m.startswith("matplotlib.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match=r"pip install 'tavlo\[plot\]'"):
        mos_table.plot_gain()
