"""Sizing verified by simulation: the table's design is the start, the device's operating point
simulated on a runner (a pool) is the truth.

The simulations run on the characterisation's own netlist, whose W, L and body bias are ``.param``
values: a worker that characterised the device only re-parameterises that circuit for every step
of every sizing. Fingers need ``nf`` as a parameter too, and a netlist of their own.
"""

from __future__ import annotations

import math
from typing import Any, Callable, List, Optional, Tuple

import numpy as np

from ._checks import number, one_body_bias
from ._device import Device
from ._runner import Runner
from ._table import MosTable
from ._verify_result import VerifiedSizing
from ._verify_sim import Simulator, crossing, sizing_netlist
from ._verify_start import check_table, default_lengths, default_table, estimate, gain_exponent

__all__ = ["VerifiedSizing", "size", "sizing_netlist", "TOLERANCE"]

# Relative tolerances of the simulated figures against their targets.
TOLERANCE = {"Ids": 0.005, "gm/Id": 0.01, "gain": 0.02}
# A Newton step in Vgs larger than this is not trusted.
_MAX_VGS_STEP = 0.15
# The first simulation sweeps Vgs this far either side of the table's answer (V).
_SWEEP_SPAN, _SWEEP_STEP = 0.15, 0.005

TableFor = Callable[[Device, float, float, Tuple[float, ...]], MosTable]


def size(runner: Runner, device: Device, *, gm_id: Any, ids: Any, l: Any = None, gain: Any = None,
         vds: Any = None, vbs: Any = None, vsb: Any = None, table: Optional[MosTable] = None,
         temperature: Any = None, max_simulations: int = 12,
         table_for: Optional[TableFor] = None) -> VerifiedSizing:
    """See :meth:`SimulationPool.size`. ``table_for(device, temperature, vbs, lengths)`` gives the
    table when none is given (by default one characterised on ``runner``)."""
    if not isinstance(device, Device):
        raise TypeError(f"device must be a tavlo.Device (see tavlo.pdk), got {type(device).__name__}")
    gm_id = number(gm_id, "gm_id", positive=True, unit="1/V")
    ids = number(ids, "ids", positive=True, unit="A")
    gain = None if gain is None else number(gain, "gain", positive=True)
    if l is not None and gain is not None and np.ndim(l) == 0:
        raise ValueError("give l or gain, not both: at one length the gm/Id target sets the gain "
                         "(a sequence of candidate lengths with a gain target picks the closest)")
    if l is not None:
        try:
            ls = np.atleast_1d(np.asarray(l, dtype=np.float64))
        except (TypeError, ValueError):
            ls = np.empty((0, 0))
        if ls.ndim != 1 or ls.size == 0 or not np.all(np.isfinite(ls)) or np.any(ls < device.l_min * (1 - 1e-9)):
            raise ValueError(f"l must be a length or a sequence of lengths (m) of at least the device's "
                             f"l_min = {device.l_min:g} m, got {l!r}")
    vds = device.vdd / 2 if vds is None else number(vds, "vds", positive=True, unit="V")
    if vds > device.vdd * (1 + 1e-9):
        raise ValueError(f"vds must lie in (0, {device.vdd:g}] V (the device's supply), got {vds!r}")
    vbs = one_body_bias(vbs, vsb)
    vbs = 0.0 if vbs is None else vbs
    if isinstance(max_simulations, bool) or not isinstance(max_simulations, int) or max_simulations < 1:
        raise ValueError(f"max_simulations must be a positive integer, got {max_simulations!r}")
    if temperature is None:
        source = getattr(table, "source", None) or {}
        temperature = float(source.get("temperature", device.temperature))
    else:
        temperature = number(temperature, "temperature", unit="°C")
    if table is None:
        lengths = default_lengths(device, l)
        table = (table_for or (lambda *a: default_table(runner, *a)))(device, temperature, vbs, lengths)
    table_vbs = check_table(table, device, vbs)
    return _correct(runner, device, table, table_vbs, gm_id=gm_id, ids=ids, gain=gain, l=l, vds=vds, vbs=vbs,
                    temperature=temperature, max_simulations=max_simulations)


def _correct(runner: Runner, device: Device, table: MosTable, table_vbs: Optional[float], *, gm_id: float,
             ids: float, gain: Optional[float], l: Any, vds: float, vbs: float, temperature: float,
             max_simulations: int) -> VerifiedSizing:
    """From the table's estimate, simulate and correct W, Vgs (and L for a gain) until the targets
    hold within TOLERANCE; ValueError when they cannot, or not within ``max_simulations``."""
    est = estimate(table, gm_id, ids, gain, l, vds, table_vbs)
    fingers = any(k.lower() == "nf" for k in device.params)
    simulate = Simulator(runner, device, temperature, fingers, table.width)
    w, length, vgs = float(est.w), float(est.l), float(est.vgs)
    alpha = gain_exponent(table, length, gm_id, vds, table_vbs) if gain is not None else 1.0
    vgs_max = float(device.vdd)

    def split(width: float) -> int:
        return 1 if device.w_max is None else max(1, math.ceil(width / device.w_max * (1 - 1e-12)))

    def errors_of(i: float, g: float, a: float) -> List[Tuple[str, float]]:
        out = [("Ids", i / ids - 1), ("gm/Id", g / gm_id - 1)]
        return out + [("gain", a / gain - 1)] if gain is not None else out

    def met(errors: List[Tuple[str, float]]) -> bool:
        return all(abs(e) <= TOLERANCE[name] for name, e in errors)

    lengths_seen: List[Tuple[float, float]] = []

    def along(length: float, g_gain: float) -> float:
        """d ln(gain) / d ln(L): the table's at first, then the secant of the last two lengths tried."""
        lengths_seen.append((math.log(length), math.log(g_gain)))
        if len(lengths_seen) >= 2:
            (l0, g0), (l1, g1) = lengths_seen[-2:]
            if abs(l1 - l0) > 1e-6 and 0.05 < (g1 - g0) / (l1 - l0) < 5:
                return (g1 - g0) / (l1 - l0)
        return alpha

    # First a sweep of Vgs around the table's answer at its W: the device's own gm/Id curve
    # gives Vgs, and its current there the W. Then operating points, with Newton (later secant)
    # steps on Id/gm, until both targets hold; a gain target off by more than its tolerance
    # moves L and sweeps again.
    n = split(w)
    sweep = True
    slope, last, final = math.nan, None, None
    while simulate.count < max_simulations:
        if sweep:
            lo, hi = max(vgs - _SWEEP_SPAN, 0.0), min(vgs + _SWEEP_SPAN, vgs_max)
            grid, curve = simulate.sweep(w, length, n, lo, hi, _SWEEP_STEP, vds, vbs)
            vgs, i_at, gain_at, slope = crossing(grid, curve, gm_id)
            w *= ids / i_at
            last = None
            if gain is not None and abs(gain_at / gain - 1) > TOLERANCE["gain"]:
                alpha = along(length, gain_at)
                # gain ~ L^alpha at a fixed gm/Id, where the current density goes about as 1/L
                factor = max(0.5, min(2.0, (gain / gain_at) ** (1 / alpha)))
                length, w = max(device.l_min, length * factor), w * factor
            else:
                sweep = False
            n = split(w)
            continue
        op = simulate.op(w, length, n, vgs, vds, vbs)
        g = op["gm"] / op["id"]
        g_gain = op["gm"] / op["gds"] if op.get("gds", 0.0) > 0 else math.inf
        errors = errors_of(op["id"], g, g_gain)
        final = (w, length, n, vgs, op, g, g_gain, errors)
        if met(errors):
            break
        if gain is not None and abs(errors[2][1]) > TOLERANCE["gain"]:
            alpha = along(length, g_gain)
            factor = max(0.5, min(2.0, (gain / g_gain) ** (1 / alpha)))
            length, w, sweep = max(device.l_min, length * factor), w * factor, True
            continue
        h, target = op["id"] / op["gm"], 1.0 / gm_id
        if last is not None and abs(vgs - last[0]) > 1e-9:
            secant = (h - last[1]) / (vgs - last[0])
            if math.isfinite(secant) and secant > 0:
                slope = secant
        last = (vgs, h)
        if not (math.isfinite(slope) and slope > 0):
            slope = 0.5  # square law: Id/gm = (Vgs - Vth) / 2
        new_vgs = min(max(vgs + max(-_MAX_VGS_STEP, min(_MAX_VGS_STEP, (target - h) / slope)), 0.0), vgs_max)
        if new_vgs == vgs and abs(errors[1][1]) > TOLERANCE["gm/Id"]:
            edge = "0 V" if new_vgs <= 0 else f"the supply, {vgs_max:g} V"
            what = "above the device's weak-inversion peak" if g < gm_id else "below what strong inversion gives"
            raise ValueError(f"gm_id = {gm_id:g} cannot be met: it is {what} (the simulated gm/Id is {g:.4g} "
                             f"with Vgs at {edge}, L = {length:.4g} m)")
        # Along the curve ln Id grows by the integral of gm/Id over Vgs; W scales what is left.
        ln_id = math.log(op["id"]) + 0.5 * (g + gm_id) * (new_vgs - vgs)
        w *= ids / math.exp(ln_id)
        vgs = new_vgs
        n = split(w)
    else:
        if final is None:
            raise ValueError(f"max_simulations = {max_simulations} leaves no simulation to verify the "
                             "sizing after its sweeps; allow more")
        w, length, n, vgs, op, g, g_gain, errors = final
        missed = [f"{name} is off by {e:+.2%}" for name, e in errors if abs(e) > TOLERANCE[name]]
        raise ValueError(f"gm_id = {gm_id:g}, ids = {ids:g}" + (f", gain = {gain:g}" if gain is not None else "")
                         + f" not met within {max_simulations} simulations: at the last point "
                         + ", ".join(missed) + f" (W = {w:.4g} m, L = {length:.4g} m, Vgs = {vgs:.4g} V)")

    w, length, n, vgs, op, g, g_gain, errors = final
    cgg = op.get("cgg", math.nan)
    ft = op["gm"] / (2 * math.pi * cgg) if cgg > 0 else math.nan
    return VerifiedSizing(
        device=device.name or device.model, w=w, l=length, vgs=vgs, vds=vds, vbs=vbs,
        nf=n if fingers else 1, m=1 if fingers else n, id=op["id"], gm=op["gm"], gds=op.get("gds", math.nan),
        gm_over_id=g, gain=g_gain, ft=ft, vdsat=op.get("vdsat", math.nan), vth=op.get("vth", math.nan), cgg=cgg,
        simulations=simulate.count, estimate=est,
        constraint_errors=errors, _start=(table, float(est.l), float(est.vgs), vds, table_vbs))
