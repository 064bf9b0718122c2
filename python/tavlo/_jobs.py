"""The plain data of a characterisation: its jobs and its plan."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

import numpy as np

from ._device import Device

__all__ = ["Job", "Plan"]


@dataclass(frozen=True)
class Job:
    """One (Vbs, length, Vgs chunk) sweep, or a noise job over a run of (Vgs, Vds) points, in plain
    data: it travels to other processes as it is."""

    index: Tuple[int, int, int, int]  # Vbs index, length index, first and stop Vgs rows
    netlist: str
    params: Dict[str, float]
    commands: List[str]
    return_vectors: List[str]
    path: str  # the transistor's instance path, for its outputs
    n_vds: int
    sign: float
    where: str  # what the job computes, for messages
    noise: bool = False  # a noise job: index holds its first and stop points over Vgs x Vds


@dataclass(frozen=True)
class Plan:
    """A characterisation's checked arguments, its axes and its jobs."""

    device: Device
    lengths: np.ndarray
    vgs: np.ndarray
    vds: np.ndarray
    vbs_values: np.ndarray
    vbs_axis: Optional[np.ndarray]  # None: one fixed Vbs, a 3-D table
    temperature: float
    width: float
    jobs: List[Job]
