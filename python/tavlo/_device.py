"""How to instantiate one transistor of a process kit in an ngspice netlist."""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any, Dict, Mapping, Optional, Tuple, Union

__all__ = ["Device", "ModelFile"]

PathLike = Union[str, "os.PathLike[str]"]

# One netlist token: no whitespace, and none of the characters ngspice reads as a comment,
# an assignment or a line continuation.
_TOKEN = re.compile(r"[^\s$;=\"'{}()*+,]+")
_PARAM_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_RESERVED_PARAMS = {"w", "l"}


def _token(value: Any, what: str) -> str:
    if not isinstance(value, str) or not _TOKEN.fullmatch(value):
        raise ValueError(f"{what} must be a single netlist token (no whitespace, quotes, "
                         f"'$', ';', '=', '*', '+', ',' or brackets), got {value!r}")
    return value


def _positive(value: Any, what: str) -> float:
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a positive number, got {value!r}") from None
    if not (math.isfinite(x) and x > 0):
        raise ValueError(f"{what} must be a positive finite number, got {value!r}")
    return x


def _defined_sections(path: str) -> Tuple[str, ...]:
    """Section names a library file defines: lines '.lib <name>' with a single argument."""
    names = []
    with open(path, encoding="latin-1") as f:
        for line in f:
            parts = line.split()
            if len(parts) == 2 and parts[0].lower() == ".lib":
                names.append(parts[1])
    return tuple(names)


@dataclass(frozen=True)
class ModelFile:
    """A model file read with ``.include`` (no section) or ``.lib <path> <section>``.

    The path must exist; a section must be one the file defines.
    """

    path: str
    section: Optional[str] = None

    def __post_init__(self) -> None:
        if not isinstance(self.path, (str, os.PathLike)):
            raise TypeError(f"model file path must be a str or os.PathLike, got {type(self.path).__name__}")
        path = os.path.abspath(os.fspath(self.path))
        if any(c.isspace() for c in path) or "\0" in path or '"' in path or "'" in path:
            # ngspice 39 cuts a .lib path at the first blank, quoted or not.
            raise ValueError(f"model file path must not contain whitespace or quotes (ngspice cannot "
                             f"load it): {path!r}; move or link the files to a plain path")
        if not os.path.isfile(path):
            raise FileNotFoundError(f"model file not found: {path}")
        object.__setattr__(self, "path", path)
        if self.section is not None:
            section = _token(self.section, "model file section")
            defined = _defined_sections(path)
            if section.lower() not in {s.lower() for s in defined}:
                listed = ", ".join(dict.fromkeys(defined)) or "none"
                raise ValueError(f"section {section!r} is not defined in {path}; it defines: {listed}")

    def netlist_line(self) -> str:
        return f".include {self.path}" if self.section is None else f".lib {self.path} {self.section}"


def _model_file(entry: Any) -> ModelFile:
    if isinstance(entry, ModelFile):
        return entry
    if isinstance(entry, (str, os.PathLike)):
        return ModelFile(entry)
    if isinstance(entry, tuple) and len(entry) == 2:
        return ModelFile(entry[0], entry[1])
    raise TypeError("each model file must be a path, a (path, section) tuple or a ModelFile, "
                    f"got {entry!r}")


@dataclass(frozen=True)
class Device:
    """A transistor of a process kit: what to load and how to write its instance line.

    Parameters
    ----------
    model : str
        The model name (``instance="M"``) or subcircuit name (``instance="X"``).
    models : sequence
        Model files loaded in this order, each a path (``.include``), a ``(path, section)`` tuple
        (``.lib path section``) or a :class:`ModelFile`.
    polarity : str
        ``"nmos"`` or ``"pmos"``.
    instance : str
        ``"M"`` for a MOS model, ``"X"`` for a subcircuit.
    scale : float
        Metres per unit of W and L in this library: 1e-6 where the kit sets ``.option scale=1u``.
        W and L given to tavlo are always in metres.
    vdd : float
        Nominal supply (V).
    l_min : float
        Smallest gate length (m).
    w_max : float, optional
        Largest gate width the models are binned for (m).
    params : mapping
        Extra instance parameters written on the instance line, e.g. ``{"nf": 1}``.
    name, corner : str, optional
        Descriptive: the kit's device name and process corner.
    temperature : float
        Default characterisation temperature (°C).

    Examples
    --------
    >>> Device("nfet_03v3", [kit / "design.ngspice", (kit / "sm141064.ngspice", "typical")],
    ...        vdd=3.3, l_min=280e-9)                                         # doctest: +SKIP
    """

    model: str
    models: Tuple[ModelFile, ...]
    polarity: str = "nmos"
    instance: str = "M"
    scale: float = 1.0
    vdd: float = 1.8
    l_min: float = 1e-7
    w_max: Optional[float] = None
    params: Mapping[str, Any] = field(default_factory=dict)
    name: Optional[str] = None
    corner: Optional[str] = None
    temperature: float = 27.0

    def __post_init__(self) -> None:
        set_ = lambda key, value: object.__setattr__(self, key, value)  # noqa: E731 (frozen)
        _token(self.model, "model")
        if isinstance(self.models, (str, os.PathLike)):
            raise TypeError("models must be a sequence of model files, not a single path: wrap it in a list")
        try:
            entries = list(self.models)
        except TypeError:
            raise TypeError(f"models must be a sequence of model files, got {self.models!r}") from None
        models = tuple(_model_file(m) for m in entries)
        if not models:
            raise ValueError("models must name at least one model file")
        set_("models", models)
        if self.polarity not in ("nmos", "pmos"):
            raise ValueError(f"polarity must be 'nmos' or 'pmos', got {self.polarity!r}")
        if self.instance not in ("M", "X"):
            raise ValueError(f"instance must be 'M' (a MOS model) or 'X' (a subcircuit), got {self.instance!r}")
        set_("scale", _positive(self.scale, "scale"))
        set_("vdd", _positive(self.vdd, "vdd"))
        set_("l_min", _positive(self.l_min, "l_min"))
        if self.w_max is not None:
            set_("w_max", _positive(self.w_max, "w_max"))
        set_("params", MappingProxyType(_instance_params(self.params)))
        for key in ("name", "corner"):
            value = getattr(self, key)
            if value is not None and not isinstance(value, str):
                raise ValueError(f"{key} must be a string or None, got {value!r}")
        try:
            temperature = float(self.temperature)
        except (TypeError, ValueError):
            temperature = math.nan
        if not math.isfinite(temperature):
            raise ValueError(f"temperature must be a finite number of °C, got {self.temperature!r}")
        set_("temperature", temperature)

    def __hash__(self) -> int:
        return hash((self.model, self.models, self.polarity, self.instance, self.scale,
                     tuple(self.params.items()), self.corner))

    def to_library(self, metres: float) -> str:
        """A length in metres as this library writes it, with the digits it needs."""
        # 12 significant digits: 0.15e-6 / 1e-6 must read 0.15, not 0.15000000000000002, whose
        # last-digit error could push a length across a model-bin edge.
        return format(metres / self.scale, ".12g")

    def describe(self) -> Dict[str, Any]:
        """What a table records about where it came from."""
        return {"name": self.name or self.model, "model": self.model, "polarity": self.polarity,
                "corner": self.corner, "model_files": [(m.path, m.section) for m in self.models]}


def _instance_params(params: Any) -> Dict[str, Any]:
    if not isinstance(params, Mapping):
        raise TypeError(f"params must be a mapping of instance parameter names to values, got {params!r}")
    out: Dict[str, Any] = {}
    for key, value in params.items():
        if not isinstance(key, str) or not _PARAM_NAME.fullmatch(key):
            raise ValueError(f"instance parameter names must be identifiers, got {key!r}")
        if key.lower() in _RESERVED_PARAMS:
            raise ValueError(f"params must not set {key!r}: tavlo writes W and L itself")
        if isinstance(value, bool) or not isinstance(value, (int, float, str)):
            raise ValueError(f"instance parameter {key!r} must be a number or a token, got {value!r}")
        if isinstance(value, float) and not math.isfinite(value):
            raise ValueError(f"instance parameter {key!r} must be finite, got {value!r}")
        out[key] = _token(value, f"instance parameter {key!r}") if isinstance(value, str) else value
    return out
