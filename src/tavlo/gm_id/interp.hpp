#pragma once
// Reading the table between grid points by fractional positions along each axis.

#include <cmath>
#include <cstddef>
#include <optional>
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

/// A table of nl x nvgs x nvds values (row-major) at length position l, Vgs position p, Vds position v.
double trilinear_at(const double* table, std::size_t nl, std::size_t nvgs, std::size_t nvds, double l, double p,
                    double v);

/// One of lut.id / lut.gm / lut.gds at length position l, Vgs position p and Vds position v.
double trilinear_lut(const TransistorLut& lut, const std::vector<double>& table, double l, double p, double v);

/// Position in [0, n - 1] where the curve g(0..n-1) meets t: the first bracketing pair from the
/// highest index down wins, pairs holding NaN are skipped. g is evaluated lazily, only as far as
/// that pair, so a curve computed on demand costs no more than it must.
template <class Curve>
std::optional<double> find_crossing(const Curve& g, std::size_t n, double t) {
    if (n <= 1) return std::nullopt;
    double b = g(n - 1);
    for (std::size_t m = n - 1; m >= 1; --m) {
        const double a = g(m - 1);
        if (!std::isnan(a) && !std::isnan(b) && ((a >= t && t >= b) || (a <= t && t <= b))) {
            double frac = 0.5;  // a flat pair
            if (std::abs(a - b) > 1e-30) {
                frac = (a - t) / (a - b);
                if (frac < 0.0) frac = 0.0;
                if (frac > 1.0) frac = 1.0;
            }
            return static_cast<double>(m - 1) + frac;
        }
        b = a;
    }
    return std::nullopt;
}

}  // namespace tavlo
