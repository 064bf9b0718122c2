"""The table's axes and the reading engine: positions on ascending axes, interpolation, crossings.

The arithmetic is the native core's (the same code as ``TransistorLut.design``), reached through
``TransistorLut``'s private static functions; this module only shapes NumPy arguments for it.
"""

from __future__ import annotations

from typing import Any, Optional, Tuple

import numpy as np

from .tavlo import TransistorLut

__all__ = ["Axis", "as_float_array", "split_quantity", "interpolate", "crossing", "index"]

_AXIS_TEXT = {"l": ("length", "m"), "vgs": ("Vgs", "V"), "vds": ("Vds", "V"), "vbs": ("Vbs", "V")}


def as_float_array(value: Any, name: str) -> np.ndarray:
    """A number or an array of numbers as float64; text is refused even when it spells a number."""
    try:
        array = np.asarray(value)
        if array.dtype.kind not in "biuf":
            raise TypeError
        return array.astype(np.float64, copy=False)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name} must be a number or an array of numbers, got {type(value).__name__}") from exc


def ascending_order(key: str, values: np.ndarray) -> np.ndarray:
    """The permutation that makes a monotonic axis ascend; ValueError for an empty, non-finite or
    non-monotonic one (a scrambled axis is a damaged table, not a sweep)."""
    what, _ = _AXIS_TEXT[key]
    if values.size == 0:
        raise ValueError(f"the {what} axis is empty")
    steps = np.diff(values)
    if not np.all(np.isfinite(values)) or not (np.all(steps > 0) or np.all(steps < 0)):
        raise ValueError(f"the {what} axis must be finite and strictly monotonic, got {values!r}")
    return np.arange(values.size)[::-1] if values.size > 1 and steps[0] < 0 else np.arange(values.size)


class Axis:
    """One ascending axis, with the engine's clamped search for fractional positions."""

    def __init__(self, key: str, values: np.ndarray) -> None:
        if np.any(ascending_order(key, values) != np.arange(values.size)):
            raise ValueError(f"the {_AXIS_TEXT[key][0]} axis must be ascending, got {values!r}")
        self.key = key
        self.values = np.ascontiguousarray(values, dtype=np.float64)
        self.lo, self.hi = lo, hi = float(values[0]), float(values[-1])
        # Slack for values typed by hand against axes computed as start + step * i.
        self.slack = 1e-9 * max(abs(lo), abs(hi), hi - lo)

    def check(self, x: np.ndarray) -> None:
        bad = ~((x >= self.lo - self.slack) & (x <= self.hi + self.slack))
        if np.any(bad):
            what, unit = _AXIS_TEXT[self.key]
            first = float(x[bad].flat[0])
            span = f"{self.lo:g} {unit}" if self.values.size == 1 else f"[{self.lo:g}, {self.hi:g}] {unit}"
            raise ValueError(f"{self.key} = {first:g} is outside the table's {what} axis {span}")

    def locate(self, x: Any) -> np.ndarray:
        """Fractional index of x, clamped to the axis."""
        x = np.asarray(x, dtype=np.float64)
        flat = TransistorLut._locate(self.values, np.ascontiguousarray(x.reshape(-1)))
        return flat.reshape(x.shape)

    def position(self, x: Any) -> np.ndarray:
        """Fractional index of x, carried on linearly beyond the ends (as interpolation extrapolates)."""
        x = np.asarray(x, dtype=np.float64)
        a = self.values
        if a.size == 1:
            return np.zeros(x.shape)
        below = (x - a[0]) / (a[1] - a[0])
        above = (a.size - 1) + (x - a[-1]) / (a[-1] - a[-2])
        return np.where(x < a[0], below, np.where(x > a[-1], above, self.locate(x)))

    def value_at(self, p: Any) -> np.ndarray:
        """The axis at fractional positions p (extrapolating beyond the ends)."""
        p = np.asarray(p, dtype=np.float64)
        return TransistorLut._axis_value(self.values, np.ascontiguousarray(p.reshape(-1))).reshape(p.shape)


def index(q: np.ndarray) -> np.ndarray:
    """Floor, saturating at 0 (negative and NaN positions give entry 0), as the engine indexes."""
    f = np.floor(q)
    return np.where(f > 0.0, f, 0.0).astype(np.intp)


def interpolate(table: np.ndarray, lam: Any, p: Any, v: Any) -> np.ndarray:
    """A (n_l, n_vgs, n_vds) table at fractional positions, broadcast against each other."""
    lam, p, v = np.broadcast_arrays(*(np.asarray(a, dtype=np.float64) for a in (lam, p, v)))
    flat = [np.ascontiguousarray(a.reshape(-1)) for a in (lam, p, v)]
    return TransistorLut._interpolate(table, *flat).reshape(lam.shape)


def crossing(curve: np.ndarray, target: float) -> Optional[float]:
    """Position where the curve meets the target, from its highest index down (NaN pairs skipped)."""
    return TransistorLut._crossing(np.ascontiguousarray(curve, dtype=np.float64), float(target))


def split_quantity(name: Any, stored: Tuple[str, ...], allow_vgs: bool = False) -> Tuple[str, Optional[str]]:
    """('gm', 'id') for 'gm_id', ('gm', None) for 'gm'; ValueError listing what is allowed.

    A stored name wins over a ratio, so names holding '_' (gm_fd) stay readable."""
    if isinstance(name, str):
        if name in stored or (allow_vgs and name == "vgs"):
            return name, None
        for at in (i for i, c in enumerate(name) if c == "_"):
            num, den = name[:at], name[at + 1:]
            if num in stored and (den in stored or den == "w") and num != den:
                return num, den
    allowed = (f"one of {', '.join(stored)}, or a ratio num_den of two of them or over w "
               "(gm_id, gm_gds, id_w, ...)")
    if allow_vgs:
        allowed += ", or vgs"
    raise ValueError(f"quantity must be {allowed}; got {name!r}")
