"""Argument checks shared by every layer of the package: numbers, sweeps and the body bias.

The bottom layer: it imports nothing of tavlo, so every other module may use it.
"""

from __future__ import annotations

import math
import numbers
from typing import Any, Optional, Tuple

import numpy as np

__all__ = ["ID_FLOOR", "MAX_POINTS", "number", "optional_number", "sweep", "body_bias", "one_body_bias",
           "bound"]

# Below this drain current (A) gm/Id means nothing: the sizing's default floor and the charts' cut.
ID_FLOOR = 1e-12

# Points on one sweep axis, as the native characterisation allows.
MAX_POINTS = 100_000


def number(value: Any, name: str, *, positive: bool = False, unit: str = "") -> float:
    """``value`` as a finite float; ValueError naming ``name`` for anything else.

    Strings are refused even when they spell a number: a netlist value typed as text is a mistake
    the caller should hear about, not one to parse."""
    unit_text = f" ({unit})" if unit else ""
    if isinstance(value, (str, bytes)) or not isinstance(value, (numbers.Real, np.ndarray, np.generic)):
        raise ValueError(f"{name} must be a number{unit_text}, got {value!r}")
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number{unit_text}, got {value!r}") from None
    if not math.isfinite(x):
        raise ValueError(f"{name} must be finite, got {value!r}")
    if positive and x <= 0:
        raise ValueError(f"{name} must be positive{unit_text}, got {value!r}")
    return x


def optional_number(value: Any, name: str, *, positive: bool = False, unit: str = "") -> Optional[float]:
    """None stays None; anything else goes through :func:`number`."""
    return None if value is None else number(value, name, positive=positive, unit=unit)


def sweep(value: Any, name: str) -> np.ndarray:
    """(start, stop, step) -> start + step * i up to stop, as the native characterisation does."""
    if not (isinstance(value, (tuple, list)) and len(value) == 3):
        raise ValueError(f"{name} must be a (start, stop, step) tuple, got {value!r}")
    start, stop, step = (number(v, name) for v in value)
    if step == 0:
        raise ValueError(f"{name} step must be non-zero, got {value!r}")
    n = round((stop - start) / step)
    if n < 0:
        raise ValueError(f"{name} {value!r}: the step goes away from stop")
    if n + 1 > MAX_POINTS:
        raise ValueError(f"{name} {value!r} gives {n + 1} points; at most {MAX_POINTS} are allowed")
    return start + step * np.arange(n + 1, dtype=np.float64)


def body_bias(vbs: Any, vsb: Any) -> Tuple[float, Optional[np.ndarray]]:
    """(fixed Vbs, None) or (NaN, Vbs axis) from a vbs or vsb (= -vbs) argument; default Vbs 0.

    A sweep is a (start, stop, step) tuple or a list of values."""
    if vbs is not None and vsb is not None:
        raise ValueError(f"give vbs or vsb (= -vbs), not both; got vbs={vbs!r}, vsb={vsb!r}")
    name, value, sign = ("vsb", vsb, -1.0) if vsb is not None else ("vbs", 0.0 if vbs is None else vbs, 1.0)
    if isinstance(value, tuple) and len(value) == 3:
        axis = sweep(value, name)
    elif isinstance(value, (list, tuple, np.ndarray)):
        try:
            axis = np.asarray(value, dtype=np.float64)
        except (TypeError, ValueError):
            axis = np.empty((0, 0))
        if axis.ndim != 1 or axis.size == 0:
            raise ValueError(f"{name} must be a number, a (start, stop, step) tuple or a non-empty list of "
                             f"numbers (V), got {value!r}")
        steps = np.diff(axis)
        if not np.all(np.isfinite(axis)) or not (np.all(steps > 0) or np.all(steps < 0)):
            raise ValueError(f"{name} values must be finite and strictly increasing or decreasing, "
                             f"got {axis.tolist()}")
    else:
        return sign * number(value, name, unit="V") + 0.0, None  # + 0.0: vsb=0 gives vbs 0, not -0
    return math.nan, sign * axis + 0.0


def one_body_bias(vbs: Any, vsb: Any) -> Optional[float]:
    """One Vbs from a vbs or vsb argument (no sweep); None when neither is given."""
    if vbs is None and vsb is None:
        return None
    fixed, axis = body_bias(vbs, vsb)
    if axis is not None:
        name, value = ("vsb", vsb) if vsb is not None else ("vbs", vbs)
        raise ValueError(f"{name} must be one number (V) here, got {value!r}")
    return fixed


def bound(value: Any, name: str) -> float:
    """A limit of a window: a number as :func:`number` takes it, or an infinity (no limit); NaN refused."""
    if isinstance(value, (int, float, np.floating, np.integer)) and not isinstance(value, bool) \
            and math.isinf(float(value)):
        return float(value)
    return number(value, name)
