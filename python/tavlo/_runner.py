"""What the characterisation and the verified sizing need of a pool: something that runs one
simulation. ``SimulationPool`` is one; a test's analytic model can be another."""

from __future__ import annotations

from typing import Any, List, Mapping, Optional, Protocol, Sequence

__all__ = ["Runner", "ResultLike"]


class ResultLike(Protocol):
    """The parts of a :class:`~tavlo.SimulationResult` the layers above the pool read."""

    @property
    def success(self) -> bool: ...

    @property
    def error(self) -> Optional[str]: ...

    @property
    def log(self) -> List[str]: ...

    def vector(self, name: str) -> Any:
        """The vector as a 1-D float array; KeyError when the result has none of that name."""
        ...

    def vector_names(self) -> List[str]: ...


class Runner(Protocol):
    """Runs simulations, possibly from several threads at once (``workers`` of them in parallel)."""

    @property
    def workers(self) -> int: ...

    def run_simulation(self, netlist: str, commands: Sequence[str], id: Optional[str] = None, *,
                       params: Optional[Mapping[str, float]] = None,
                       return_vectors: Optional[Sequence[str]] = None) -> ResultLike: ...
