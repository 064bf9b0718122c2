#pragma once
// Number spelling shared by netlists, CSV files, reprs and messages.

#include <cstddef>
#include <string>

namespace tavlo {

/// Scientific form with fixed decimals: "1.000e-5", "0.000e0", "-1.800000e0"; inf, -inf, NaN.
std::string format_sci(double x, int decimals);

/// Writes format_sci(x, decimals) into out (at least 32 bytes) and returns its length.
std::size_t format_sci_to(char* out, double x, int decimals);

/// format_sci with the fewest decimals, at least min_decimals, whose text reads back within tolerance
/// of x (exactly when tolerance is 0): "1.000e-5" stays short, 1.0004e-6 gets the digits it needs.
std::string format_sci_exact(double x, int min_decimals, double tolerance = 0.0);

/// Fixed-point form with fixed decimals: "0.450"; inf, -inf, NaN.
std::string format_fixed(double x, int decimals);

/// JSON-style quoted name list: ["a", "b\"c"].
std::string quoted_name_list(const auto& names);

/// One name quoted with backslash escapes for quotes, backslashes and control characters.
std::string quote_name(const std::string& name);

std::string quoted_name_list(const auto& names) {
    std::string out = "[";
    bool first = true;
    for (const auto& n : names) {
        if (!first) out += ", ";
        first = false;
        out += quote_name(n);
    }
    return out + "]";
}

}  // namespace tavlo
