#include "tavlo/lut/config.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

#include "tavlo/format.hpp"

namespace tavlo {

const char* const kBuiltinNmosCard =
    ".model nch nmos level=3 tox=10n vth0=0.7 kp=80u gamma=0.5 phi=0.6 lambda=0.01 +nsub=1e17 nss=0 nfs=1e11 "
    "xj=0.2u ld=0.05u delta=0 theta=0.1 eta=0 kappa=0.2";
const char* const kBuiltinPmosCard =
    ".model pch pmos level=3 tox=10n vth0=-0.7 kp=40u gamma=0.6 phi=0.6 lambda=0.015 +nsub=1e17 nss=0 nfs=1e11 "
    "xj=0.2u ld=0.05u delta=0 theta=0.1 eta=0 kappa=0.2";

std::uint32_t SweepRange::point_count() const {
    const double r = std::round((stop - start) / step);  // halves away from zero
    std::uint32_t n = 0;
    if (r >= 4294967295.0) {
        n = 4294967295u;
    } else if (r > 0.0) {  // NaN and negatives stay 0
        n = static_cast<std::uint32_t>(r);
    }
    return n + 1u;  // wraps to 0 at the saturated count, like the u32 addition it is
}

std::vector<double> SweepRange::values() const {
    const std::uint32_t n = point_count();
    std::vector<double> out;
    out.reserve(n);
    // Each value straight from its index: repeated addition would accumulate rounding.
    for (std::uint32_t i = 0; i < n; ++i) out.push_back(start + step * static_cast<double>(i));
    return out;
}

namespace {

const char* model_section_text(const LutConfig& c, std::string& tmp) {
    if (c.model_file) {
        tmp = c.model_section ? ".lib " + *c.model_file + " " + *c.model_section : ".include " + *c.model_file;
        return tmp.c_str();
    }
    if (!c.model_card.empty()) return c.model_card.c_str();
    return c.is_pmos ? kBuiltinPmosCard : kBuiltinNmosCard;
}

// Shortest text that reads back as the same number, for messages.
std::string plain_number(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, x);
    return std::string(buf, res.ptr);
}

std::string range_text(const SweepRange& r) {
    std::string s = "(";  // appended piecewise: GCC 12 warns falsely on "(" + std::string&&
    s += plain_number(r.start);
    s += ", ";
    s += plain_number(r.stop);
    s += ", ";
    s += plain_number(r.step);
    return s += ")";
}

std::string too_many_points(const char* name, const SweepRange& r) {
    return std::string(name) + " " + range_text(r) + " gives too many points; at most 4294967295 are allowed";
}

bool has_line_break_or_nul(std::string_view s) { return s.find_first_of(std::string_view("\n\r\0", 3)) != s.npos; }

}  // namespace

std::string build_netlist(const LutConfig& config, const SweepRange& vgs_slice, double length) {
    std::string model_tmp;
    const std::string w = format_sci(config.width, 3);
    const std::string l = format_sci(length, 3);
    std::string s;
    s.reserve(512 + config.model_card.size());
    s += config.is_pmos ? "pmos" : "nmos";
    s += " characterisation W=" + w + " L=" + l + "\n";
    s += "\n* model\n";
    s += model_section_text(config, model_tmp);
    s += "\n\n* test bench: M1 drain gate source bulk\n";
    s += "M1 drain gate source bulk " + config.model_name + " W=" + w + " L=" + l + "\n";
    s += "Vds drain source dc 0\n";
    s += "Vgs gate  source dc 0\n";
    s += "Vbs bulk  source dc " + format_sci(config.vbs, 3) + "\n";
    s += "Vs  source 0    dc 0\n";
    s += "\n* sweep\n";
    // Vds first: the simulator sweeps it fastest, which the row extraction relies on.
    s += ".dc Vds " + format_sci(config.vds.start, 6) + " " + format_sci(config.vds.stop, 6) + " " +
         format_sci(config.vds.step, 6);
    s += " Vgs " + format_sci(vgs_slice.start, 6) + " " + format_sci(vgs_slice.stop, 6) + " " +
         format_sci(vgs_slice.step, 6);
    s += "\n\n.end";
    return s;
}

std::optional<std::string> validate_config(const LutConfig& config) {
    const std::pair<const char*, const SweepRange*> sweeps[] = {
        {"lengths", &config.lengths}, {"vgs", &config.vgs}, {"vds", &config.vds}};
    for (const auto& [name, r] : sweeps) {
        if (r->step == 0.0 || !std::isfinite(r->step))
            return std::string(name) + " step must be a finite non-zero number, got " + plain_number(r->step);
    }
    // A count that saturates wraps to zero points: an empty table, not a characterisation.
    if (config.lengths.point_count() == 0) return too_many_points("lengths", config.lengths);
    // The derivatives need a neighbour on both voltage axes.
    const std::pair<const char*, const SweepRange*> axes[] = {{"vgs", &config.vgs}, {"vds", &config.vds}};
    for (const auto& [name, r] : axes) {
        const std::uint32_t n = r->point_count();
        if (n == 0) return too_many_points(name, *r);
        if (n < 2)
            return std::string(name) + " " + range_text(*r) + " gives " + std::to_string(n) +
                   " point; at least 2 points are required";
    }
    // Any of these on a netlist line would start a line of its own.
    auto injects = [](const std::optional<std::string>& s) { return s && has_line_break_or_nul(*s); };
    if (has_line_break_or_nul(config.model_name))
        return std::string("model_name must not contain a line break or NUL character");
    if (injects(config.model_file)) return std::string("model_file must not contain a line break or NUL character");
    if (injects(config.model_section))
        return std::string("model_section must not contain a line break or NUL character");
    if (config.model_card.find('\0') != std::string::npos)
        return std::string("model_card must not contain a NUL character (line breaks are allowed)");
    return std::nullopt;
}

}  // namespace tavlo
