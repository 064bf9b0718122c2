"""The answer of a verified sizing: the simulated figures beside the table's estimate."""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Tuple

from ._table import MosTable, _sci

__all__ = ["VerifiedSizing", "table_figures"]


@dataclass(frozen=True)
class VerifiedSizing:
    """A sizing whose figures come from simulating the sized device at its operating point.

    ``w`` is the total width: ``m`` parallel devices of ``w / m`` each, or one device of ``nf``
    fingers. The currents, conductances and ``cgg`` are those of the whole device; voltages are
    magnitudes for a PMOS, as its table reads them. ``estimate`` is the table's sizing the
    search started from, ``table`` its figures at that point (``vth``, ``vdsat``, ``ft`` where
    the table has them). ``constraint_errors`` are the simulated figures' relative errors against
    the targets.
    """

    device: str
    w: float
    l: float
    vgs: float
    vds: float
    vbs: float
    nf: int
    m: int
    id: float
    gm: float
    gds: float
    gm_over_id: float
    gain: float
    ft: float
    vdsat: float
    vth: float
    cgg: float
    simulations: int
    estimate: Any
    constraint_errors: List[Tuple[str, float]] = field(default_factory=list)
    _start: Any = field(default=None, repr=False, compare=False)

    @functools.cached_property
    def table(self) -> Dict[str, float]:
        """The table's ft, vth and vdsat at the estimate, those it has (read when first asked)."""
        return {} if self._start is None else table_figures(*self._start)

    @property
    def w_each(self) -> float:
        """Width of one of the ``m`` parallel devices (m); with fingers, the whole device's."""
        return self.w / self.m

    def __repr__(self) -> str:
        est = self.estimate
        rows = [("W (m)", est.w, self.w, _sci), ("L (m)", est.l, self.l, _sci),
                ("Vgs (V)", est.vgs, self.vgs, _f(3)), ("Id (A)", est.id, self.id, _sci),
                ("gm/Id (1/V)", est.gm_over_id, self.gm_over_id, _f(2)), ("gm (S)", est.gm, self.gm, _sci),
                ("gds (S)", est.gds, self.gds, _sci), ("gain", est.gain, self.gain, _f(1)),
                ("fT (Hz)", self.table.get("ft", math.nan), self.ft, _sci),
                ("vth (V)", self.table.get("vth", math.nan), self.vth, _f(3)),
                ("vdsat (V)", self.table.get("vdsat", math.nan), self.vdsat, _f(3))]
        split = f"m={self.m}" if self.m > 1 else f"nf={self.nf}" if self.nf > 1 else "one device"
        lines = [f"VerifiedSizing({self.device}, Vds={self.vds:.3f} V, Vbs={self.vbs:.3f} V, {split}, "
                 f"{self.simulations} simulations)",
                 f"  {'':12} {'table':>11} {'simulated':>11}"]
        lines += [f"  {name:12} {fmt(a) if math.isfinite(a) else '-':>11} {fmt(b):>11}" for name, a, b, fmt in rows]
        return "\n".join(lines)


def _f(decimals: int):
    return lambda x: f"{x:.{decimals}f}" if math.isfinite(x) else "-"


def table_figures(table: MosTable, l: float, vgs: float, vds: float, vbs: Any) -> Dict[str, float]:
    """The table's ft, vth and vdsat at a point, those it has."""
    out = {}
    for name in ("ft", "vth", "vdsat"):
        if name in table.quantities:
            try:
                out[name] = float(table.lookup(name, l=l, vgs=vgs, vds=vds, vbs=vbs))
            except ValueError:
                pass
    return out
