#include "tavlo/gm_id/interp.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tavlo {

std::size_t position_index(double q) {
    const double f = std::floor(q);
    if (!(f > 0.0)) return 0;  // negative, zero and NaN
    if (f >= static_cast<double>(std::numeric_limits<std::size_t>::max()))
        return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(f);
}

double lerp_at(const double* a, std::size_t n, double q) {
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    if (n == 1) return a[0];
    const std::size_t k = std::min(n - 2, position_index(q));
    const double w = q - static_cast<double>(k);
    return w * a[k + 1] + (1.0 - w) * a[k];
}

double locate_on_axis(const std::vector<double>& axis, double x) {
    const std::size_t n = axis.size();
    if (n <= 1 || x <= axis[0]) return 0.0;
    if (x >= axis[n - 1]) return static_cast<double>(n - 2) + 1.0;
    // Halving search for the number of leading entries below x.
    std::size_t lo = 0, size = n;
    while (size > 1) {
        const std::size_t half = size / 2;
        if (axis[lo + half] < x) lo += half;
        size -= half;
    }
    const std::size_t c = lo + (axis[lo] < x ? 1 : 0);
    const std::size_t i = std::min(c == 0 ? 0 : c - 1, n - 2);
    double t = (x - axis[i]) / (axis[i + 1] - axis[i]);
    if (t < 0.0) t = 0.0;
    if (t > 1.0) t = 1.0;
    return static_cast<double>(i) + t;
}

double axis_value_at(const std::vector<double>& axis, double p) { return lerp_at(axis.data(), axis.size(), p); }

double trilinear_at(const double* table, std::size_t nl, std::size_t nvgs, std::size_t nvds, double l, double p,
                    double v) {
    // Corners are clamped to the table, weights are not: positions beyond the ends extrapolate.
    const std::size_t i = std::min(nl >= 2 ? nl - 2 : 0, position_index(l));
    const std::size_t i1 = std::min(nl - 1, i + 1);
    const double tl = l - static_cast<double>(i);
    const std::size_t j = std::min(nvgs >= 2 ? nvgs - 2 : 0, position_index(p));
    const std::size_t j1 = std::min(nvgs - 1, j + 1);
    const double tv = p - static_cast<double>(j);
    auto corner = [&](std::size_t a, std::size_t b) { return lerp_at(table + (a * nvgs + b) * nvds, nvds, v); };
    return tv * ((1.0 - tl) * corner(i, j1)) + (1.0 - tv) * ((1.0 - tl) * corner(i, j)) +
           (1.0 - tv) * (tl * corner(i1, j)) + tv * (tl * corner(i1, j1));
}

double trilinear_lut(const TransistorLut& lut, const std::vector<double>& table, double l, double p, double v) {
    return trilinear_at(table.data(), lut.n_l(), lut.n_vgs(), lut.n_vds(), l, p, v);
}

}  // namespace tavlo
