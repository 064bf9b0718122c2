"""Simulating the sized device at its operating point on a runner, in the table's magnitudes."""

from __future__ import annotations

import math
from typing import Dict, Tuple

import numpy as np

from ._characterise import (_CAPACITANCES, _MIRRORED, _device_outputs, instance_path,
                            netlist_for, saved_vectors, temperature_command)
from ._device import Device
from ._kitlib import model_lines
from ._runner import Runner

__all__ = ["Simulator", "crossing", "sizing_netlist"]


def sizing_netlist(device: Device, temperature: float) -> str:
    """The netlist of a sizing in fingers: W, L, nf and the body bias as parameters."""
    params = "".join(f" {k}={v}" for k, v in device.params.items() if k.lower() != "nf")
    prefix = "XM1" if device.instance == "X" else "M1"
    lines = [f"tavlo sizing: {device.name or device.model}"]
    lines += model_lines(device)
    lines.append(".option wnflag=1")  # a model bin is chosen by the width of one finger, W/nf
    # Defaults inside the kit's bins: a binned model is chosen when the netlist is first parsed.
    lines += [f".param w_op={device.to_library(1e-6)} l_op={device.to_library(device.l_min)} nf_op=1 vbs_op=0",
              f"{prefix} d g s b {device.model} W={{w_op}} L={{l_op}} nf={{nf_op}}{params}",
              "Vds d s 0", "Vgs g s 0", "Vbs b s {vbs_op}", "Vs s 0 0", f".temp {temperature!r}", ".end", ""]
    return "\n".join(lines)


class Simulator:
    """Simulations of one device on a runner, in the table's magnitudes."""

    def __init__(self, runner: Runner, device: Device, temperature: float, fingers: bool,
                 width: float) -> None:
        self.runner, self.device, self.fingers = runner, device, fingers
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
        result = self.runner.run_simulation(self.netlist, [*self.setup, "save " + " ".join(self.vectors), analysis],
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
        analysis = f"dc vds {s * vds!r} {s * vds!r} 1 vgs {s * lo!r} {s * hi!r} {s * step!r}"
        out = self._run(w, l, n, lo, vds, vbs, analysis, f"Vgs={lo:.4g}..{hi:.4g} V")
        if out["id"].size != count + 1:
            raise RuntimeError(f"a sweep of {count + 1} points returned {out['id'].size}")
        return lo + step * np.arange(count + 1), out

def crossing(vgs: np.ndarray, out: Dict[str, np.ndarray], gm_id: float) -> Tuple[float, float, float, float]:
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

