"""Sizing verified by simulation: the table's design is the start, the device's operating point
simulated on the pool is the truth.

The simulations run on the characterisation's own netlist, whose W, L and body bias are ``.param``
values: a worker that characterised the device only re-parameterises that circuit for every step
of every sizing. Fingers need ``nf`` as a parameter too, and a netlist of their own.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import numpy as np

from ._characterise import (_CAPACITANCES, _MIRRORED, _device_outputs, instance_path,
                            netlist_for, saved_vectors, temperature_command)
from ._device import Device

if TYPE_CHECKING:
    from ._pool import SimulationPool
    from ._table import MosTable

__all__ = ["VerifiedSizing", "size", "sizing_netlist"]

# Relative tolerances of the simulated figures against their targets.
_TOLERANCE = {"Ids": 0.005, "gm/Id": 0.01, "gain": 0.02}
# A Newton step in Vgs larger than this is not trusted.
_MAX_VGS_STEP = 0.15
# The first simulation sweeps Vgs this far either side of the table's answer (V).
_SWEEP_SPAN, _SWEEP_STEP = 0.15, 0.005


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
        return {} if self._start is None else _table_figures(*self._start)

    @property
    def w_each(self) -> float:
        """Width of one of the ``m`` parallel devices (m); with fingers, the whole device's."""
        return self.w / self.m

    def __repr__(self) -> str:
        from ._table import _sci

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


def sizing_netlist(device: Device, temperature: float) -> str:
    """The netlist of a sizing in fingers: W, L, nf and the body bias as parameters."""
    params = "".join(f" {k}={v}" for k, v in device.params.items() if k.lower() != "nf")
    prefix = "XM1" if device.instance == "X" else "M1"
    lines = [f"tavlo sizing: {device.name or device.model}"]
    lines += [m.netlist_line() for m in device.models]
    lines.append(".option wnflag=1")  # a model bin is chosen by the width of one finger, W/nf
    # Defaults inside the kit's bins: a binned model is chosen when the netlist is first parsed.
    lines += [f".param w_op={device.to_library(1e-6)} l_op={device.to_library(device.l_min)} nf_op=1 vbs_op=0",
              f"{prefix} d g s b {device.model} W={{w_op}} L={{l_op}} nf={{nf_op}}{params}",
              "Vds d s 0", "Vgs g s 0", "Vbs b s {vbs_op}", "Vs s 0 0", f".temp {temperature!r}", ".end", ""]
    return "\n".join(lines)


class _Simulator:
    """Simulations of one device on the pool, in the table's magnitudes."""

    def __init__(self, pool: "SimulationPool", device: Device, temperature: float, fingers: bool,
                 width: float) -> None:
        self.pool, self.device, self.fingers = pool, device, fingers
        # Without fingers, the characterisation's own netlist (of the table's width): a pool that
        # characterised the table has it parsed in every worker already.
        self.netlist = sizing_netlist(device, temperature) if fingers else netlist_for(device, width)
        # That netlist leaves the temperature to each request, after the worker's reset.
        self.setup = [] if fingers else [temperature_command(temperature)]
        self.sign = -1.0 if device.polarity == "pmos" else 1.0
        self.vectors = saved_vectors(device)
        self.path = instance_path(device)
        self.count = 0

    def _run(self, w: float, l: float, n: int, vgs: float, vds: float, vbs: float,
             analysis: str, what: str) -> Dict[str, np.ndarray]:
        """Figures of the whole device: n fingers on one instance, or n parallel copies of one
        instance of width w / n (their currents and charges add, as SPICE's m multiplies them)."""
        d, s = self.device, self.sign
        if self.fingers:
            params = {"w_op": float(d.to_library(w)), "l_op": float(d.to_library(l)), "nf_op": float(n),
                      "vbs_op": s * vbs}
        else:
            params = {"w_char": float(d.to_library(w / n)), "l_char": float(d.to_library(l)), "vbs_char": s * vbs}
        self.count += 1
        where = (f"{d.name or d.model} at W={w:.4g} m ({'nf' if self.fingers else 'm'}={n}), L={l:.4g} m, "
                 f"{what}, Vds={vds:.4g} V, Vbs={vbs:.4g} V")
        result = self.pool.run_simulation(self.netlist, [*self.setup, "save " + " ".join(self.vectors), analysis],
                                          f"size-{self.count}", params=params, return_vectors=self.vectors)
        if not result.success:
            details = [line for line in result.log if line.startswith("stderr ") and line != result.error][:3]
            raise ValueError("\n  ".join([f"the simulation of {where} failed (is W or L outside the kit's "
                                          f"model bins?): {result.error}", *details]))
        out = {"id": -s * result.vector("vds#branch")}
        outputs = _device_outputs(result, self.path, (out["id"].size, 1))
        out.update((key, values.reshape(-1).copy()) for key, values in outputs.items())
        if s < 0 and np.median(out.get("vdsat", out.get("vth", np.ones(1)))) < 0:  # the model's own frame
            for key in _MIRRORED:
                if key in out:
                    out[key] = -out[key]
        if not self.fingers:
            for key in ("id", "gm", "gds", "gmbs", *_CAPACITANCES):
                if key in out:
                    out[key] = out[key] * n
        if "gm" not in out:
            raise ValueError(f"the simulation of {where} gave no gm: the model does not report one")
        return out

    def op(self, w: float, l: float, n: int, vgs: float, vds: float, vbs: float) -> Dict[str, float]:
        s = self.sign
        # A DC point rather than op: the netlist's sources are those of the characterisation sweeps.
        out = self._run(w, l, n, vgs, vds, vbs, f"dc vds {s * vds!r} {s * vds!r} 1 vgs {s * vgs!r} {s * vgs!r} 1",
                        f"Vgs={vgs:.4g} V")
        if not (out["id"][0] > 0 and out["gm"][0] > 0):
            raise ValueError(f"the device is off at Vgs = {vgs:.4g} V, L = {l:.4g} m "
                             f"(Id = {out['id'][0]:.4g} A): no gm/Id to meet there")
        return {key: float(v[0]) for key, v in out.items()}

    def sweep(self, w: float, l: float, n: int, lo: float, hi: float, step: float, vds: float,
              vbs: float) -> Tuple[np.ndarray, Dict[str, np.ndarray]]:
        """The figures over Vgs = lo..hi in `step`s, at one W and L: one simulation."""
        count = int(round((hi - lo) / step))
        hi, s = lo + count * step, self.sign
        out = self._run(w, l, n, lo, vds, vbs, f"dc vds {s * vds!r} {s * vds!r} 1 vgs {s * lo!r} {s * hi!r} {s * step!r}",
                        f"Vgs={lo:.4g}..{hi:.4g} V")
        if out["id"].size != count + 1:
            raise RuntimeError(f"a sweep of {count + 1} points returned {out['id'].size}")
        return lo + step * np.arange(count + 1), out


def _positive(name: str, value: Any) -> float:
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}") from None
    if not (math.isfinite(x) and x > 0):
        raise ValueError(f"{name} must be a finite positive number, got {value!r}")
    return x


def _body(vbs: Any, vsb: Any) -> float:
    if vbs is not None and vsb is not None:
        raise ValueError(f"give vbs or vsb (= -vbs), not both; got vbs={vbs!r}, vsb={vsb!r}")
    value, name = (vsb, "vsb") if vsb is not None else (0.0 if vbs is None else vbs, "vbs")
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number (V), got {type(value).__name__}") from None
    if not math.isfinite(x):
        raise ValueError(f"{name} must be finite, got {value!r}")
    return (-x if name == "vsb" else x) + 0.0


def default_lengths(device: Device, l: Any) -> Tuple[float, ...]:
    """Lengths of the table a sizing characterises: l_min to 16 l_min by factors of √2, plus a
    given length outside that span."""
    grid = [device.l_min * 2 ** (k / 2) for k in range(9)]
    if l is not None:
        extra = [float(x) for x in np.atleast_1d(np.asarray(l, dtype=np.float64))]
        grid += [x for x in extra if not grid[0] * (1 - 1e-9) <= x <= grid[-1] * (1 + 1e-9)]
    return tuple(sorted(set(round(x, 15) for x in grid)))


def _table_figures(table: "MosTable", l: float, vgs: float, vds: float, vbs: float) -> Dict[str, float]:
    out = {}
    for name in ("ft", "vth", "vdsat"):
        if name in table.quantities:
            try:
                out[name] = float(table.lookup(name, l=l, vgs=vgs, vds=vds, vbs=vbs))
            except ValueError:
                pass
    return out


def _reach(table: "MosTable", l: Any, vds: float, vbs: float) -> Tuple[float, float, float]:
    """(lowest, highest gm/Id, length of the highest) the table reaches over its Vgs axis at the
    given lengths (all of them without), where the current is above the solver's floor."""
    lengths = table.lengths if l is None else np.atleast_1d(np.asarray(l, dtype=np.float64))
    lo, hi, at = math.inf, -math.inf, math.nan
    for length in lengths:
        g = np.asarray(table.lookup("gm_id", l=float(length), vds=vds, vbs=vbs))
        i = np.asarray(table.lookup("id", l=float(length), vds=vds, vbs=vbs))
        g = g[(np.abs(i) >= 1e-12) & np.isfinite(g)]
        if g.size:
            lo = min(lo, float(g.min()))
            if g.max() > hi:
                hi, at = float(g.max()), float(length)
    return lo, hi, at


def _estimate(table: "MosTable", gm_id: float, ids: float, gain: Optional[float], l: Any, vds: float,
              vbs: float) -> Any:
    est = _table_design(table, gm_id, ids, gain, l, vds, vbs)
    # Below its peak gm/Id rises with Vgs only where leakage still matters: no place to bias.
    curve = np.asarray(table.lookup("gm_id", l=float(est.l), vds=vds, vbs=vbs))
    current = np.asarray(table.lookup("id", l=float(est.l), vds=vds, vbs=vbs))
    curve = np.where((np.abs(current) >= 1e-12) & np.isfinite(curve), curve, -np.inf)
    peak = int(np.argmax(curve))
    if est.vgs < table.vgs[peak]:
        lowest = float(curve[peak:].min())
        raise ValueError(f"gm_id = {gm_id:g} cannot be met: it is below the lowest gm/Id the device reaches "
                         f"above its weak-inversion peak ({lowest:.4g} at Vgs = {table.vgs[-1]:g} V, "
                         f"L = {est.l:.4g} m); only leakage gives less")
    return est


def _table_design(table: "MosTable", gm_id: float, ids: float, gain: Optional[float], l: Any, vds: float,
                  vbs: float) -> Any:
    try:
        return table.design(gm_id=gm_id, gain=gain, ids=ids, vds=vds, l=l, vbs=vbs, gm_id_min=0.0,
                            gm_id_max=math.inf)
    except (ValueError, RuntimeError) as exc:
        try:
            lo, hi, at = _reach(table, l, vds, vbs)
        except ValueError:
            raise exc from None
        if gm_id > hi:
            raise ValueError(f"gm_id = {gm_id:g} cannot be met: it is above the device's weak-inversion "
                             f"peak, gm/Id = {hi:.4g} at L = {at:.4g} m, Vds = {vds:g} V") from None
        if gm_id < lo:
            raise ValueError(f"gm_id = {gm_id:g} cannot be met: it is below the lowest gm/Id the device "
                             f"reaches with Vgs up to {table.vgs.max():g} V ({lo:.4g}, strong inversion)") from None
        raise ValueError(f"the table cannot size gm_id = {gm_id:g}"
                         + (f", gain = {gain:g}" if gain is not None else "") + f": {exc}") from None


def _crossing(vgs: np.ndarray, out: Dict[str, np.ndarray], gm_id: float) -> Tuple[float, float, float, float]:
    """(Vgs, Id, gain, d(Id/gm)/dVgs) where a swept curve meets the gm/Id target, at its highest
    Vgs crossing (the table's convention); off the curve, its end nearest the target."""
    keep = (out["id"] > 0) & (out["gm"] > 0)  # where the device conducts and responds
    if np.count_nonzero(keep) < 2:
        raise ValueError(f"the device does not conduct over Vgs = {vgs[0]:.4g}..{vgs[-1]:.4g} V")
    vgs, out = vgs[keep], {key: v[keep] for key, v in out.items()}
    h = out["id"] / out["gm"]  # Id/gm is close to linear in Vgs, gm/Id is not
    target = 1.0 / gm_id
    gds = out.get("gds", np.zeros(h.size))
    gain = out["gm"] / np.where(gds > 0, gds, np.nan)
    d = h - target
    hits = np.flatnonzero((d[:-1] <= 0) & (d[1:] >= 0) | (d[:-1] >= 0) & (d[1:] <= 0))
    if hits.size:
        k = int(hits[-1])
        t = 0.0 if h[k + 1] == h[k] else float((target - h[k]) / (h[k + 1] - h[k]))
    else:
        k = int(np.argmin(np.abs(d)))
        k, t = (k, 0.0) if k < h.size - 1 else (k - 1, 1.0)
    lerp = lambda y: float((1 - t) * y[k] + t * y[k + 1])  # noqa: E731
    slope = float((h[k + 1] - h[k]) / (vgs[k + 1] - vgs[k]))
    return lerp(vgs), math.exp(lerp(np.log(out["id"]))), lerp(gain), slope


def _gain_exponent(table: "MosTable", l: float, gm_id: float, vds: float, vbs: float) -> float:
    """d ln(gain) / d ln(L) at the target gm/Id, from the table's grid lengths either side of l."""
    a = table.lengths
    k = int(np.clip(np.searchsorted(a, l) - 1, 0, max(a.size - 2, 0)))
    if a.size < 2:
        return 1.0
    try:
        g0, g1 = (float(table.lookup("gm_gds", gm_id=gm_id, l=float(a[i]), vds=vds, vbs=vbs)) for i in (k, k + 1))
        alpha = math.log(g1 / g0) / math.log(a[k + 1] / a[k])
    except (ValueError, ZeroDivisionError):
        return 1.0
    return alpha if math.isfinite(alpha) and 0.2 < alpha < 3 else 1.0


def size(pool: "SimulationPool", device: Device, *, gm_id: Any, ids: Any, l: Any = None, gain: Any = None,
         vds: Any = None, vbs: Any = None, vsb: Any = None, table: Optional["MosTable"] = None,
         temperature: Any = None, max_simulations: int = 12) -> VerifiedSizing:
    from ._table import MosTable

    if not isinstance(device, Device):
        raise TypeError(f"device must be a tavlo.Device (see tavlo.pdk), got {type(device).__name__}")
    gm_id, ids = _positive("gm_id", gm_id), _positive("ids", ids)
    gain = None if gain is None else _positive("gain", gain)
    if l is not None and gain is not None and np.ndim(l) == 0:
        raise ValueError("give l or gain, not both: at one length the gm/Id target sets the gain "
                         "(a sequence of candidate lengths with a gain target picks the closest)")
    if l is not None:
        ls = np.atleast_1d(np.asarray(l, dtype=np.float64))
        if ls.ndim != 1 or ls.size == 0 or not np.all(np.isfinite(ls)) or np.any(ls < device.l_min * (1 - 1e-9)):
            raise ValueError(f"l must be a length or a sequence of lengths (m) of at least the device's "
                             f"l_min = {device.l_min:g} m, got {l!r}")
    vds = device.vdd / 2 if vds is None else _positive("vds", vds)
    if vds > device.vdd * (1 + 1e-9):
        raise ValueError(f"vds must lie in (0, {device.vdd:g}] V (the device's supply), got {vds!r}")
    vbs = _body(vbs, vsb)
    if isinstance(max_simulations, bool) or not isinstance(max_simulations, int) or max_simulations < 1:
        raise ValueError(f"max_simulations must be a positive integer, got {max_simulations!r}")
    if temperature is None:
        source = getattr(table, "source", None) or {}
        temperature = float(source.get("temperature", device.temperature))
    else:
        given = temperature
        try:
            temperature = float(given)
        except (TypeError, ValueError):
            temperature = math.nan
        if not math.isfinite(temperature):
            raise ValueError(f"temperature must be a finite number of °C, got {given!r}")
    if table is None:
        table = pool._sizing_table(device, temperature, vbs, default_lengths(device, l))
    elif not isinstance(table, MosTable):
        raise TypeError(f"table must be a tavlo.MosTable or None, got {type(table).__name__}")
    # A table at another single Vbs still gives a start; the simulation is at the asked one.
    table_vbs = vbs if table.vbs_axis is not None or (math.isfinite(table.vbs) and abs(table.vbs - vbs) < 1e-9) \
        else None

    est = _estimate(table, gm_id, ids, gain, l, vds, table_vbs)
    fingers = any(k.lower() == "nf" for k in device.params)
    simulate = _Simulator(pool, device, temperature, fingers, table.width)
    w, length, vgs = float(est.w), float(est.l), float(est.vgs)
    alpha = _gain_exponent(table, length, gm_id, vds, table_vbs) if gain is not None else 1.0
    vgs_max = float(device.vdd)

    def split(width: float) -> int:
        return 1 if device.w_max is None else max(1, math.ceil(width / device.w_max * (1 - 1e-12)))

    def errors_of(i: float, g: float, a: float) -> List[Tuple[str, float]]:
        out = [("Ids", i / ids - 1), ("gm/Id", g / gm_id - 1)]
        return out + [("gain", a / gain - 1)] if gain is not None else out

    def met(errors: List[Tuple[str, float]]) -> bool:
        return all(abs(e) <= _TOLERANCE[name] for name, e in errors)

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
            vgs, i_at, gain_at, slope = _crossing(grid, curve, gm_id)
            w *= ids / i_at
            last = None
            if gain is not None and abs(gain_at / gain - 1) > _TOLERANCE["gain"]:
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
        if gain is not None and abs(errors[2][1]) > _TOLERANCE["gain"]:
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
        if new_vgs == vgs and abs(errors[1][1]) > _TOLERANCE["gm/Id"]:
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
        missed = [f"{name} is off by {e:+.2%}" for name, e in errors if abs(e) > _TOLERANCE[name]]
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
