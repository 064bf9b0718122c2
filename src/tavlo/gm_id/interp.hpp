#pragma once
// Reading the table between grid points by fractional positions along each axis.

#include <vector>

#include "tavlo/lut/table.hpp"

namespace tavlo {

/// Fractional index of x on the axis, clamped to [0, n - 1].
double locate_on_axis(const std::vector<double>& axis, double x);

/// Linear interpolation of the axis at position p (extrapolates beyond the ends).
double axis_value_at(const std::vector<double>& axis, double p);

/// One of lut.id / lut.gm / lut.gds at length position l, Vgs position p and Vds position v.
double trilinear_lut(const TransistorLut& lut, const std::vector<double>& table, double l, double p, double v);

}  // namespace tavlo
