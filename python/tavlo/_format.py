"""Numbers in user-visible text, printed as the native reprs print them."""

from __future__ import annotations

import math

__all__ = ["sci", "fixed"]


def _non_finite(x: float) -> str:
    return "NaN" if math.isnan(x) else ("inf" if x > 0 else "-inf")


def sci(x: float) -> str:
    """3-decimal scientific form without '+' or exponent padding: 1e-5 is 1.000e-5."""
    if not math.isfinite(x):
        return _non_finite(x)
    mantissa, exponent = f"{x:.3e}".split("e")
    return f"{mantissa}e{int(exponent)}"


def fixed(x: float, decimals: int) -> str:
    if not math.isfinite(x):
        return _non_finite(x)
    return f"{x:.{decimals}f}"
