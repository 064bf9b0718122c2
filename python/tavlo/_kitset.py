"""Kit sets: several devices (corners) at several temperatures, planned together for a pool or a
cluster, into tables keyed by (device name, corner, temperature)."""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Optional, Tuple

from ._characterise import Plan, characterise, plan
from ._device import Device
from ._progress import Progress, ProgressArg, check_progress
from ._runner import Runner
from ._table import MosTable

__all__ = ["SetKey", "plan_set", "characterise_set"]

SetKey = Tuple[str, Optional[str], float]


def plan_set(devices: Iterable[Device], temperatures: Optional[Iterable[float]], workers: int,
             kw: Dict[str, Any]) -> Dict[SetKey, Plan]:
    """Every table's plan, every argument checked before anything runs; ``kw`` are the single
    call's keywords (``temperature`` among them only without ``temperatures``)."""
    kw = dict(kw)
    if "temperature" in kw and temperatures is not None:
        raise ValueError("give temperature (one) or temperatures (several), not both")
    devices = list(devices) if not isinstance(devices, Device) else [devices]
    if not devices:
        raise ValueError("devices must name at least one tavlo.Device")
    temps: List[Optional[float]] = [kw.pop("temperature", None)] if temperatures is None else list(temperatures)
    if not temps:
        raise ValueError("temperatures must hold at least one temperature (°C)")
    plans: Dict[SetKey, Plan] = {}
    for device in devices:
        for t in temps:
            p = plan(device, workers, temperature=t, **kw)
            key = (device.name or device.model, device.corner, p.temperature)
            if key in plans:
                raise ValueError(f"{key} is asked for twice; give each device, corner and temperature once")
            plans[key] = p
    return plans


def characterise_set(runner: Runner, devices: Iterable[Device], temperatures: Optional[Iterable[float]] = None,
                     *, progress: ProgressArg = None, **kw: Any) -> Dict[SetKey, MosTable]:
    """See :meth:`SimulationPool.characterise_set`."""
    check_progress(progress)
    plans = plan_set(devices, temperatures, runner.workers, kw)
    kw = {k: v for k, v in kw.items() if k != "temperature"}
    tables: Dict[SetKey, MosTable] = {}
    with Progress(progress, sum(len(p.jobs) for p in plans.values()), "characterising") as shown:
        # One table after another, each spread over every worker: a worker keeps the circuit it
        # parsed last, so it parses each table's library once.
        for key, p in plans.items():
            forwarded = [0]

            def report(done: int, total: int, forwarded: List[int] = forwarded) -> None:
                shown.advance(done - forwarded[0])  # calls come one at a time
                forwarded[0] = done
                if shown.error is not None:
                    raise shown.error

            tables[key] = characterise(runner, p.device, temperature=p.temperature,
                                       progress=False if progress is False else report, **kw)
    return tables
