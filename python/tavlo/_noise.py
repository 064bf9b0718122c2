"""Channel thermal and flicker noise of a characterised transistor at every grid point.

Noise points are jobs of their own: one request loops over many bias points on one parsed circuit,
each an ``alter`` of the two sources and a noise analysis at 1 Hz whose per-device contributions
ngspice keeps (the fourth number of the command). The drain current is sensed at 1 V/A, so a
device's output noise in V/√Hz is its drain-current noise in A/√Hz; squared, A²/Hz.
"""

from __future__ import annotations

import re
from typing import Any, Dict, List, Sequence, Tuple

import numpy as np

__all__ = ["NOISE_POINTS_PER_JOB", "noise_netlist", "noise_commands", "noise_vectors", "noise_rows",
           "noise_quantities"]

# A point costs about 0.2-0.3 ms and leaves a plot until the request ends: a few hundred a job.
NOISE_POINTS_PER_JOB = 200
BOLTZMANN = 1.380649e-23  # J/K
# Table name -> the device's contribution in ngspice's noise plot.
_SOURCES = {"sth": "id", "sfl": "1overf"}


def noise_netlist(netlist: str) -> str:
    """The characterisation netlist with the drain current sensed at 1 V/A and an (unused) AC
    input on the gate source, which the noise analysis requires."""
    for old, new in (("\nVds d s 0\n", "\nVds d s 0\nHsense n 0 vds 1\n"), ("\nVgs g s 0\n", "\nVgs g s dc 0 ac 1\n")):
        if old not in netlist:
            raise ValueError(f"not a characterisation netlist: no line {old.strip()!r}")
        netlist = netlist.replace(old, new)
    return netlist


def noise_commands(points: Sequence[Tuple[float, float]]) -> List[str]:
    """One noise analysis per (Vgs, Vds) point, as ngspice sees the voltages."""
    commands: List[str] = []
    for vgs, vds in points:
        commands += [f"alter vgs dc={float(vgs)!r}", f"alter vds dc={float(vds)!r}", "noise v(n) vgs lin 1 1 1 1"]
    return commands


def noise_vectors(path: str) -> List[str]:
    return [f"onoise.{path}.{source}" for source in _SOURCES.values()]


def noise_rows(result: Any, path: str, n: int) -> Dict[str, np.ndarray]:
    """sth and sfl (A²/Hz) of the job's ``n`` points, in the order of its analyses."""
    out: Dict[str, np.ndarray] = {}
    names = list(result.vector_names())
    for key, source in _SOURCES.items():
        suffix = f"onoise.{path}.{source}".lower()
        found = []
        for name in names:
            low = name.lower()
            if low == suffix or low.endswith("." + suffix):
                plot = low[:-len(suffix)]
                found.append((int(re.sub(r"\D", "", plot) or 0), name))
        found.sort()
        values = [result.vector(name) for _, name in found]
        if len(values) != n or any(v.size != 1 for v in values):
            raise RuntimeError(f"returned {len(values)} {key} points, expected {n}")
        out[key] = np.concatenate(values) ** 2
    return out


def noise_quantities(sth: np.ndarray, sfl: np.ndarray, gm: np.ndarray, temperature: float) -> Dict[str, np.ndarray]:
    """The noise columns and what lookups derive from them: gamma = sth / (4 k T gm) and the 1/f
    corner fco = sfl / sth (Hz); NaN where the device is off."""
    kelvin = temperature + 273.15
    with np.errstate(divide="ignore", invalid="ignore"):
        gamma = np.where(gm > 0, sth / (4 * BOLTZMANN * kelvin * gm), np.nan)
        fco = np.where(sth > 0, sfl / sth, np.nan)
    return {"sth": sth, "sfl": sfl, "gamma": gamma, "fco": fco}
