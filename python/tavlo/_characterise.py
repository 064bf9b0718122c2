"""Characterisation of a process-kit transistor into a :class:`MosTable`.

One netlist per device and width: the length and the body bias are ``.param`` values that each
job sets with ``alterparam`` + ``reset``, and the temperature is its first command, so a worker that
keeps a parsed circuit never re-reads the model library. ``alter`` of an instance's L would not
re-select the model bin.

The jobs, their Vgs chunks and their sweep text come from the native planner that
``_SimulationPool.generate_lut`` uses too: one chunk rule, and sweeps on which ngspice visits
exactly the table's points.
"""

from __future__ import annotations

import concurrent.futures as cf
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ._checks import body_bias as _body_bias, number as _number, sweep as _range
from ._device import Device
from ._jobs import Job, Plan
from ._kitlib import model_lines
from ._noise import NOISE_POINTS_PER_JOB, noise_commands, noise_netlist, noise_quantities, noise_rows, noise_vectors
from ._progress import Progress
from ._runner import Runner
from ._table import MosTable
from .tavlo import TransistorLut, _assemble_jobs, _chunk_count, _dc_sweep, _extract_job, _plan_chunks

__all__ = ["characterise", "plan", "run_job", "assemble", "netlist_for", "job_request", "temperature_command",
           "Job", "Plan"]


# The model's own operating-point outputs saved along the sweep: table name -> ngspice names, first
# found wins (level 1-3 models call the threshold von).
DEVICE_QUANTITIES: Dict[str, Tuple[str, ...]] = {
    "gm": ("gm",), "gds": ("gds",), "gmbs": ("gmbs",), "vth": ("vth", "von"), "vdsat": ("vdsat",),
    "cgg": ("cgg",), "cgs": ("cgs",), "cgd": ("cgd",), "cgb": ("cgb",), "cdd": ("cdd",), "css": ("css",),
}
# Voltages change sign with a PMOS mirrored into magnitudes; conductances and capacitances do not.
# Models differ in which frame they report a PMOS's voltages (BSIM4 in the NMOS-like one, levels
# 1-3 in the device's own), so the sign of vdsat, positive in the NMOS-like frame, tells.
_MIRRORED = ("vth", "vdsat")
_CAPACITANCES = ("cgg", "cgs", "cgd", "cgb", "cdd", "css")
# The worker's log line for a job that found its netlist parsed already.
_REUSED = "reusing the circuit parsed for an earlier request"
# How often a characterisation's waiting thread looks at its progress callback's outcome.
_POLL_SECS = 0.05


def _lengths(value: Any) -> np.ndarray:
    if isinstance(value, tuple) and len(value) == 3:
        lengths = _range(value, "lengths")
    else:
        try:
            lengths = np.atleast_1d(np.asarray(value, dtype=np.float64))
        except (TypeError, ValueError):
            raise ValueError(f"lengths must be a list of lengths (m) or a (start, stop, step) tuple, "
                             f"got {value!r}") from None
        if lengths.ndim != 1 or lengths.size == 0:
            raise ValueError(f"lengths must be a non-empty list of lengths (m), got {value!r}")
    if not np.all(np.isfinite(lengths)) or np.any(lengths <= 0):
        raise ValueError(f"lengths must be positive finite numbers (m), got {lengths.tolist()}")
    steps = np.diff(lengths)
    if lengths.size > 1 and not (np.all(steps > 0) or np.all(steps < 0)):
        raise ValueError(f"lengths must be strictly increasing or decreasing, got {lengths.tolist()}")
    return lengths


def netlist_for(device: Device, width: float, temperature: Optional[float] = None) -> str:
    """The netlist every job of a characterisation loads: no analysis, L and Vbs as parameters.

    Without ``temperature`` the netlist has none of its own: each job sets it (:func:`job_request`),
    so that tables at several temperatures share one parsed circuit."""
    params = "".join(f" {k}={v}" for k, v in device.params.items())
    prefix = "XM1" if device.instance == "X" else "M1"
    lines = [f"tavlo characterisation: {device.name or device.model}"]
    lines += model_lines(device)
    lines += [f".param l_char={device.to_library(device.l_min)} w_char={device.to_library(width)} vbs_char=0",
              f"{prefix} d g s b {device.model} W={{w_char}} L={{l_char}}{params}",
              "Vds d s 0", "Vgs g s 0", "Vbs b s {vbs_char}", "Vs s 0 0",
              *([] if temperature is None else [f".temp {float(temperature)!r}"]), ".end", ""]
    return "\n".join(lines)


def instance_path(device: Device) -> str:
    """ngspice's name of the transistor itself: ``m1``, or inside the subcircuit ``m.xm1.m<model>``
    (the kits' subcircuits name their one transistor after themselves)."""
    return "m1" if device.instance == "M" else f"m.xm1.m{device.model.lower()}"


def saved_vectors(device: Device) -> List[str]:
    """The drain current and every candidate device output, as ngspice names the vectors."""
    path = instance_path(device)
    return ["vds#branch"] + [f"@{path}[{name}]" for names in DEVICE_QUANTITIES.values() for name in names]


def temperature_command(temperature: float) -> str:
    """The command that sets a parsed circuit's temperature (°C); it must follow any reset."""
    return f"option temp={float(temperature)!r}"


def _sweep_text(sweep: Any) -> str:
    return sweep if isinstance(sweep, str) else _dc_sweep(tuple(float(x) for x in sweep))


def job_request(device: Device, length: float, vbs: float, vgs: Any, vds: Any, width: Optional[float] = None,
                temperature: Optional[float] = None) -> Tuple[Dict[str, float], List[str]]:
    """Parameters and commands of one job: the length and body bias as parameters (the worker
    sets them on its parsed circuit and resets it), the temperature (after that reset, which
    restores the netlist's), the saves (a reset drops them, so every job sends them again), then
    the sweep, Vds fastest. ``vgs`` and ``vds`` are (start, stop, step) or a planned sweep's text."""
    # Source names in lower case: a command's sweep source is matched case-sensitively against the
    # circuit's lower-cased names.
    params = {"l_char": float(device.to_library(length)), "vbs_char": float(vbs)}
    if width is not None:
        # Set on every job: a sizing on the same pool varies it on the same parsed circuit, and a
        # kept circuit serves only requests that set every parameter altered on it.
        params["w_char"] = float(device.to_library(width))
    commands = [] if temperature is None else [temperature_command(temperature)]
    return params, commands + ["save " + " ".join(saved_vectors(device)),
                               f"dc vds {_sweep_text(vds)} vgs {_sweep_text(vgs)}"]


def _device_outputs(result: Any, path: str, shape: Tuple[int, int]) -> Dict[str, np.ndarray]:
    """The device outputs the model gave over the whole sweep; one it lacks is absent."""
    return _extract_job(result, shape[0], shape[1], 1.0, _outputs(path))[1]


def _outputs(path: str) -> List[Tuple[str, List[str]]]:
    return [(key, [f"@{path}[{name}]" for name in names]) for key, names in DEVICE_QUANTITIES.items()]


def plan(device: Device, workers: int, lengths: Any = None, vgs: Any = None, vds: Any = None, vbs: Any = None,
         vsb: Any = None, temperature: Optional[float] = None, n_chunks: Optional[int] = None,
         width: float = 1e-6, noise: bool = False) -> Plan:
    """Check the arguments of a characterisation on ``workers`` parallel workers and list its jobs;
    with ``noise``, noise jobs follow the sweeps."""
    if not isinstance(device, Device):
        raise TypeError(f"device must be a tavlo.Device (see tavlo.pdk), got {type(device).__name__}")
    if not isinstance(noise, bool):
        raise ValueError(f"noise must be True or False, got {noise!r}")
    ls = _lengths([device.l_min] if lengths is None else lengths)
    full = device.vdd
    vgs_axis = _range((0.0, full, full / 72) if vgs is None else vgs, "vgs")
    vds_axis = _range((0.0, full, full / 72) if vds is None else vds, "vds")
    for name, axis in (("vgs", vgs_axis), ("vds", vds_axis)):
        if axis.size < 2:
            raise ValueError(f"{name} must give at least 2 points, got {axis.tolist()}")
    fixed_vbs, vbs_axis = _body_bias(vbs, vsb)
    vbs_values = np.array([fixed_vbs]) if vbs_axis is None else vbs_axis
    temperature = device.temperature if temperature is None else _number(temperature, "temperature")
    width = _number(width, "width")
    if width <= 0:
        raise ValueError(f"width must be positive (m), got {width!r}")
    if device.w_max is not None and width > device.w_max:
        raise ValueError(f"width {width!r} m is above the device's largest binned width {device.w_max!r} m")
    if np.any(ls < device.l_min * (1 - 1e-9)):
        raise ValueError(f"lengths must be at least the device's l_min={device.l_min!r} m, got {ls.tolist()}")
    n_vgs, n_vds = vgs_axis.size, vds_axis.size
    if n_chunks is None:
        k = _chunk_count(vbs_values.size * ls.size, n_vgs, n_vds, workers)
    elif isinstance(n_chunks, bool) or not isinstance(n_chunks, int) or n_chunks < 1:
        raise ValueError(f"n_chunks must be a positive integer or None, got {n_chunks!r}")
    else:
        k = n_chunks

    # A PMOS table is the NMOS-like mirror: ngspice sees every voltage negated, the table stores
    # the sweeps as given and the current flowing out of the drain.
    sign = -1.0 if device.polarity == "pmos" else 1.0
    netlist = netlist_for(device, width)
    # Sweeps ending on the table's last value, so that the planner counts the table's points.
    vds_sweep = _dc_sweep((sign * vds_axis[0], sign * vds_axis[-1], sign * (vds_axis[1] - vds_axis[0])))
    chunks = _plan_chunks(ls.size, (sign * vgs_axis[0], sign * vgs_axis[-1], sign * (vgs_axis[1] - vgs_axis[0])),
                          min(k, 2**32 - 1))
    if chunks[-1][3] != n_vgs - 1:
        raise RuntimeError(f"vgs: the planner counts {chunks[-1][3] + 1} points, the table {n_vgs}")
    saved, path = saved_vectors(device), instance_path(device)
    # Corner and temperature too: on a cluster many tables run at once.
    conditions = f"({device.corner}, {temperature:g} °C)" if device.corner else f"({temperature:g} °C)"
    jobs = []
    for bi in range(vbs_values.size):
        for li, _, first, last, vgs_sweep in chunks:
            params, commands = job_request(device, float(ls[li]), sign * vbs_values[bi], vgs_sweep, vds_sweep,
                                           width, temperature)
            where = (f"{device.name or device.model} at L={ls[li]:.6g} m, Vbs={vbs_values[bi]:.6g} V, "
                     f"Vgs {vgs_axis[first]:.6g}..{vgs_axis[last]:.6g} V {conditions}")
            jobs.append(Job((bi, li, first, last + 1), netlist, params, commands, saved, path, n_vds, sign, where))
    if noise:
        jobs += _noise_jobs(device, netlist, sign * vgs_axis, sign * vds_axis, ls, sign * vbs_values, width,
                            temperature, conditions, sign)
    return Plan(device, ls, vgs_axis, vds_axis, vbs_values, vbs_axis, temperature, width, jobs)


def _at_own_values(netlist: str, params: Dict[str, float]) -> str:
    """The netlist with a job's parameters as its defaults."""
    lines = netlist.split("\n")
    for i, line in enumerate(lines):
        if line.startswith(".param l_char="):
            values = dict(token.split("=", 1) for token in line.split()[1:])
            values.update((name, repr(float(value))) for name, value in params.items())
            lines[i] = ".param " + " ".join(f"{name}={value}" for name, value in values.items())
    return "\n".join(lines)


def _noise_jobs(device: Device, netlist: str, vgs: np.ndarray, vds: np.ndarray, ls: np.ndarray, vbs: np.ndarray,
                width: float, temperature: float, conditions: str, sign: float) -> List[Job]:
    """Noise jobs over every (Vgs, Vds) point of each length and Vbs, in ngspice's voltages."""
    path, n_vds, n_points = instance_path(device), vds.size, vgs.size * vds.size
    noisy, vectors, jobs = noise_netlist(netlist), noise_vectors(instance_path(device)), []
    for bi in range(vbs.size):
        for li in range(ls.size):
            params = job_request(device, float(ls[li]), float(vbs[bi]), "", "", width)[0]
            for first in range(0, n_points, NOISE_POINTS_PER_JOB):
                stop = min(first + NOISE_POINTS_PER_JOB, n_points)
                points = [(vgs[i // n_vds], vds[i % n_vds]) for i in range(first, stop)]
                where = (f"noise of {device.name or device.model} at L={ls[li]:.6g} m, Vbs={sign * vbs[bi]:.6g} V, "
                         f"points {first}..{stop - 1} {conditions}")
                jobs.append(Job((bi, li, first, stop), noisy, params, [temperature_command(temperature),
                                                                      *noise_commands(points)],
                                vectors, path, n_vds, sign, where, noise=True))
    return jobs


def run_job(run_simulation: Callable[..., Any], job: Job) -> Tuple[np.ndarray, Dict[str, np.ndarray]]:
    """Id over the job's rows × Vds and the device outputs, run with a pool's ``run_simulation``."""
    bi, li, first, stop = job.index
    request_id = f"char-b{bi}-l{li}-{'noise' if job.noise else 'vgs'}{first}"
    try:
        result = run_simulation(job.netlist, job.commands, request_id, params=job.params,
                                return_vectors=job.return_vectors)
        own = _at_own_values(job.netlist, job.params)
        if not result.success and _REUSED not in result.log and own != job.netlist:
            # The parse ran at the netlist's default length and width, not the job's: once more at
            # the job's own, so that a device that loads there is simulated and an error names them.
            result = run_simulation(own, job.commands, request_id, return_vectors=job.return_vectors)
    except RuntimeError as exc:
        raise RuntimeError(f"characterisation of {job.where} failed: {exc}") from exc
    if not result.success:
        # ngspice's first error line is often "Error on line 5"; the lines after it name the cause.
        details = [line for line in result.log if line.startswith("stderr ") and line != result.error][:5]
        raise RuntimeError("\n  ".join([f"characterisation of {job.where} failed: {result.error}", *details]))
    if job.noise:
        try:
            return np.empty(0), noise_rows(result, job.path, stop - first)
        except RuntimeError as exc:
            raise RuntimeError(f"characterisation of {job.where} {exc}") from None
    try:
        return _extract_job(result, stop - first, job.n_vds, job.sign, _outputs(job.path))
    except RuntimeError as exc:
        raise RuntimeError(f"characterisation of {job.where} {exc}") from None


def characterise(pool: Runner, device: Device, lengths: Any = None, vgs: Any = None,
                 vds: Any = None, vbs: Any = None, vsb: Any = None, temperature: Optional[float] = None,
                 n_chunks: Optional[int] = None, width: float = 1e-6, progress: Any = None,
                 noise: bool = False) -> MosTable:
    """Characterise ``device`` over lengths × Vgs × Vds, and Vbs when it is swept, on the pool's
    workers; see :meth:`SimulationPool.characterise`."""
    p = plan(device, pool.workers, lengths, vgs, vds, vbs, vsb, temperature, n_chunks, width, noise)
    shown = Progress(progress, len(p.jobs), "characterising")
    executor = cf.ThreadPoolExecutor(max_workers=max(2 * pool.workers, 1), thread_name_prefix="tavlo-char")
    try:
        futures = [executor.submit(run_job, pool.run_simulation, job) for job in p.jobs]
        for future in futures:
            future.add_done_callback(lambda f: f.cancelled() or shown.advance())
        pending = set(futures)
        while pending:
            # Woken often enough that a progress callback that raised stops the call promptly.
            done, pending = cf.wait(pending, timeout=_POLL_SECS, return_when=cf.FIRST_EXCEPTION)
            failed = [f for f in done if f.exception() is not None]
            if failed:
                raise failed[0].exception()  # type: ignore[misc]
            if shown.error is not None:
                raise shown.error
        results = [future.result() for future in futures]
    finally:
        # Queued jobs are dropped; running ones finish in their worker and are discarded.
        executor.shutdown(wait=False, cancel_futures=True)
        shown.close()
    return assemble(p, results)


def assemble(p: Plan, results: Sequence[Tuple[np.ndarray, Dict[str, np.ndarray]]]) -> MosTable:
    """The table from every job's result, given in the order of ``p.jobs``."""
    device, ls, vgs_axis, vds_axis, vbs_values = p.device, p.lengths, p.vgs, p.vds, p.vbs_values
    n_b = vbs_values.size
    shape = (ls.size, vgs_axis.size, vds_axis.size)
    pieces = []
    for job, (rows, outputs) in zip(p.jobs, results, strict=True):
        bi, li, first, stop = job.index
        # Sweeps place whole Vgs rows, noise jobs runs of points over Vgs x Vds.
        pieces.append((bi * ls.size + li, first if job.noise else first * vds_axis.size,
                       outputs if job.noise else dict(outputs, id=rows)))
    whole = {key: values.reshape(n_b, *shape)
             for key, values in _assemble_jobs(n_b * ls.size, vgs_axis.size * vds_axis.size, pieces).items()}
    if "id" not in whole:
        raise RuntimeError(f"characterisation of {device.name or device.model}: the jobs left drain currents unfilled")
    ids = whole.pop("id")
    noise = {key: whole.pop(key) for key in ("sth", "sfl") if key in whole}

    source = dict(device.describe(), temperature=p.temperature, width=p.width, mirrored=device.polarity == "pmos")
    subs = []
    for bi, x in enumerate(vbs_values):
        quantities = _in_magnitudes({key: values[bi] for key, values in whole.items()}, device.polarity == "pmos")
        quantities["gm_fd"] = np.gradient(ids[bi], vgs_axis, axis=1)
        quantities["gds_fd"] = np.gradient(ids[bi], vds_axis, axis=2)
        # The model's own derivatives where it gives them: exact, where differences over the grid are not.
        gm = quantities.pop("gm", quantities["gm_fd"])
        gds = quantities.pop("gds", quantities["gds_fd"])
        if len(noise) == 2:
            quantities.update(noise_quantities(noise["sth"][bi], noise["sfl"][bi], gm, p.temperature))
        lut = TransistorLut._from_arrays(p.width, float(x), ls, vgs_axis, vds_axis, ids[bi], gm, gds)
        sub = MosTable(lut, None, quantities=quantities)
        sub.source = dict(source, vbs=float(x))
        subs.append(sub)
    vbs_axis = p.vbs_axis
    if vbs_axis is None:
        return subs[0]
    # A quantity some Vbs lacks is left out of the whole table rather than partly filled.
    common = set.intersection(*(set(sub.quantities) for sub in subs))
    if any(set(sub.quantities) != common for sub in subs):
        subs = [MosTable(sub.lut, None, quantities={k: sub.quantity(k) for k in sub.quantities
                                                    if k in common and k not in ("id", "gm", "gds", "ft")})
                for sub in subs]
        for sub, x in zip(subs, vbs_values, strict=True):
            sub.source = dict(source, vbs=float(x))
    table = MosTable._stack(subs, vbs_axis)
    table.source = dict(source, vbs=vbs_axis.tolist())
    return table


def _in_magnitudes(out: Dict[str, np.ndarray], pmos: bool) -> Dict[str, np.ndarray]:
    """The device outputs in the table's magnitudes, without the capacitances a model left at zero."""
    if pmos:
        frame = out.get("vdsat", out.get("vth"))
        if frame is not None and np.median(frame) < 0:
            for key in _MIRRORED:
                if key in out:
                    out[key] = -out[key]
    for key in list(out):
        # A model that evaluates no charges in a DC sweep (levels 1-3) reports zeros there.
        if key in _CAPACITANCES and not np.any(out[key]):
            del out[key]
    return out
