#include "tavlo/base/format.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavlo {

namespace {

std::size_t non_finite(char* out, double x) {
    const char* s = std::isnan(x) ? "NaN" : (x > 0 ? "inf" : "-inf");
    std::size_t n = std::strlen(s);
    std::memcpy(out, s, n + 1);
    return n;
}

}  // namespace

std::size_t format_sci_to(char* out, double x, int decimals) {
    if (!std::isfinite(x)) return non_finite(out, x);
    char tmp[64];
    int n = std::snprintf(tmp, sizeof tmp, "%.*e", decimals, x);
    // printf writes e+05 / e-05: drop the plus sign and the leading zeros of the exponent.
    char* e = std::strchr(tmp, 'e');
    std::size_t mant = static_cast<std::size_t>(e - tmp);
    std::memcpy(out, tmp, mant + 1);
    std::size_t len = mant + 1;
    const char* p = e + 1;
    if (*p == '-') out[len++] = '-';
    if (*p == '-' || *p == '+') ++p;
    while (*p == '0' && p[1] != '\0') ++p;
    while (p < tmp + n) out[len++] = *p++;
    out[len] = '\0';
    return len;
}

std::string format_sci(double x, int decimals) {
    char buf[80];
    return std::string(buf, format_sci_to(buf, x, decimals));
}

std::string format_sci_exact(double x, int min_decimals, double tolerance) {
    if (!std::isfinite(x)) return format_sci(x, min_decimals);
    // 16 decimals (17 significant digits) always read back exactly.
    for (int d = min_decimals; d < 16; ++d) {
        std::string s = format_sci(x, d);
        if (std::abs(std::strtod(s.c_str(), nullptr) - x) <= tolerance) return s;
    }
    return format_sci(x, std::max(min_decimals, 16));
}

std::string format_fixed(double x, int decimals) {
    char buf[400];
    if (!std::isfinite(x)) return std::string(buf, non_finite(buf, x));
    int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string quote_name(const std::string& name) {
    std::string out = "\"";
    for (unsigned char c : name) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u{%x}", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

}  // namespace tavlo
