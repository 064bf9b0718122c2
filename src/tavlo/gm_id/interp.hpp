#pragma once
// Reading the table between grid points by fractional positions along each axis.

#include <cstddef>
#include <vector>

#include "tavlo/lut/table.hpp"

namespace tavlo {

/// Entry index of a position: floor, then saturating (negative and NaN give 0).
std::size_t position_index(double q);

/// Linear interpolation of the n >= 1 values at a[0..n) at position q; extrapolates beyond the ends.
double lerp_at(const double* a, std::size_t n, double q);

/// Fractional index of x on the axis, clamped to [0, n - 1].
double locate_on_axis(const std::vector<double>& axis, double x);

/// Linear interpolation of the axis at position p (extrapolates beyond the ends).
double axis_value_at(const std::vector<double>& axis, double p);

/// One of lut.id / lut.gm / lut.gds at length position l, Vgs position p and Vds position v.
double trilinear_lut(const TransistorLut& lut, const std::vector<double>& table, double l, double p, double v);

}  // namespace tavlo
