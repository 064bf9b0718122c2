"""The standard gm/Id charts, one line per length. matplotlib is imported only when drawing.

The charts read a table through its public lookups only, so this module depends on no table
class: the table inherits the chart methods from ChartsMixin.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Optional, Tuple

import numpy as np

from ._checks import ID_FLOOR

if TYPE_CHECKING:
    from matplotlib.axes import Axes

# A MosTable, or anything with its axes and lookup().
MosTable = Any

__all__ = ["ChartsMixin", "plot_gm_id", "plot_gain", "plot_id_w", "plot_ft"]

# gm/Id cannot exceed q/kT (38.7 /V at 300 K); larger values are finite-difference artefacts at the
# edge of conduction and would stretch the gm/Id axis over nothing.
_GM_ID_LIMIT = 40.0


def _new_axes() -> "Axes":
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError("tavlo's charts need matplotlib; install it with: pip install 'tavlo[plot]'") from exc
    _, ax = plt.subplots()
    return ax


def _length_label(length: float) -> str:
    return f"L = {length * 1e9:.0f} nm" if length < 1e-6 else f"L = {length * 1e6:.3g} µm"


def _curves(table: MosTable, vds: Optional[float]) -> Tuple[float, list]:
    """Per length: Vgs, gm/Id (all, and its falling branch), gm/gds and Id/W at the chart's Vds,
    NaN where Id is below 1 pA or gm/Id above its physical limit."""
    v = float(table.vds[table.vds.size // 2]) if vds is None else float(vds)
    curves = []
    for length in table.lengths:
        at = dict(l=float(length), vds=v)
        ids = table.lookup("id", **at)
        # Magnitudes, so that a PMOS table swept over negative voltages reads like an NMOS one.
        gm_id = np.abs(table.lookup("gm_id", **at))
        off = (np.abs(ids) < ID_FLOOR) | ~(gm_id <= _GM_ID_LIMIT)
        gm_id = np.where(off, np.nan, gm_id)
        gain = np.where(off, np.nan, table.lookup("gm_gds", **at))
        id_w = np.where(off, np.nan, np.abs(table.lookup("id_w", **at)))
        ft = np.where(off, np.nan, table.lookup("ft", **at)) if "ft" in table.quantities else None
        # Against gm/Id only the branch above the gm/Id peak, where gm/Id falls as Vgs rises (the one
        # design() sizes on); below the peak the curves fold back on themselves.
        branch = np.zeros(gm_id.shape, dtype=bool)
        if np.isfinite(gm_id).any():
            branch[int(np.nanargmax(gm_id)):] = True
        curves.append((float(length), table.vgs, gm_id, np.where(branch, gm_id, np.nan), gain, id_w, ft))
    return v, curves


def _draw(table: MosTable, ax: Optional["Axes"], vds: Optional[float],
          pick: Callable[[Any], Tuple[np.ndarray, np.ndarray]], xlabel: str, ylabel: str, log_y: bool) -> "Axes":
    if ax is None:
        ax = _new_axes()
    v, curves = _curves(table, vds)
    for curve in curves:
        x, y = pick(curve)
        ax.plot(x, y, label=_length_label(curve[0]))
    if log_y:
        ax.set_yscale("log")
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    ax.set_title(f"Vds = {v:.2f} V")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize="small")
    return ax


def plot_gm_id(table: MosTable, ax: Optional["Axes"] = None, *, vds: Optional[float] = None) -> "Axes":
    """gm/Id against Vgs, one line per length; returns the Axes."""
    return _draw(table, ax, vds, lambda c: (c[1], c[2]), "Vgs (V)", "gm/Id (1/V)", log_y=False)


def plot_gain(table: MosTable, ax: Optional["Axes"] = None, *, vds: Optional[float] = None) -> "Axes":
    """Intrinsic gain gm/gds against gm/Id, one line per length; returns the Axes."""
    return _draw(table, ax, vds, lambda c: (c[3], c[4]), "gm/Id (1/V)", "gm/gds (V/V)", log_y=True)


def plot_id_w(table: MosTable, ax: Optional["Axes"] = None, *, vds: Optional[float] = None) -> "Axes":
    """Current density Id/W against gm/Id, one line per length; returns the Axes."""
    return _draw(table, ax, vds, lambda c: (c[3], c[5]), "gm/Id (1/V)", "Id/W (A/m)", log_y=True)


def plot_ft(table: MosTable, ax: Optional["Axes"] = None, *, vds: Optional[float] = None) -> "Axes":
    """Transit frequency fT = gm / (2π·cgg) against gm/Id, one line per length; returns the Axes.

    Needs a table holding the model's gate capacitance cgg (``"ft" in table.quantities``)."""
    if "ft" not in table.quantities:
        raise ValueError("this table has no fT: it needs the model's gate capacitance cgg, which a "
                         "characterisation stores when the model gives it in a DC sweep")
    return _draw(table, ax, vds, lambda c: (c[3], c[6]), "gm/Id (1/V)", "fT (Hz)", log_y=True)


class ChartsMixin:
    """The chart methods of a table."""

    def plot_gm_id(self, ax: Optional["Axes"] = None, *, vds: Optional[float] = None) -> "Axes":
        """gm/Id against Vgs, one line per length, at ``vds`` (default: as ``design``)."""
        return plot_gm_id(self, ax, vds=vds)

    def plot_gain(self, ax: Optional["Axes"] = None, *, vds: Optional[float] = None) -> "Axes":
        """Intrinsic gain gm/gds against gm/Id, one line per length."""
        return plot_gain(self, ax, vds=vds)

    def plot_id_w(self, ax: Optional["Axes"] = None, *, vds: Optional[float] = None) -> "Axes":
        """Current density Id/W against gm/Id, one line per length."""
        return plot_id_w(self, ax, vds=vds)

    def plot_ft(self, ax: Optional["Axes"] = None, *, vds: Optional[float] = None) -> "Axes":
        """Transit frequency fT against gm/Id, one line per length (needs ``cgg`` in the table)."""
        return plot_ft(self, ax, vds=vds)
