#include "tavlo/lut/config.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "tavlo/base/format.hpp"

namespace tavlo {

// Level 3 names the threshold vto and has no lambda: kappa (with nsub given) sets the output
// conductance. A shallow xj and a small ld keep the channel and the threshold sound down to 0.1 µm.
const char* const kBuiltinNmosCard =
    ".model nch nmos level=3 tox=10n vto=0.7 kp=80u gamma=0.5 phi=0.6 nsub=1e17 nss=0 nfs=1e11 "
    "xj=0.05u ld=0.01u delta=0 theta=0.1 eta=0 kappa=0.2";
const char* const kBuiltinPmosCard =
    ".model pch pmos level=3 tox=10n vto=-0.7 kp=40u gamma=0.6 phi=0.6 nsub=1e17 nss=0 nfs=1e11 "
    "xj=0.05u ld=0.01u delta=0 theta=0.1 eta=0 kappa=0.2";

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

bool is_ordinary_path_char(unsigned char c) {
    return std::isalnum(c) || std::string_view("/._-+~:@%^,=[]").find(static_cast<char>(c)) != std::string_view::npos ||
           c >= 0x80;
}

// Paths ngspice would split (a space) are quoted; ordinary ones keep their plain spelling.
std::string path_text(const std::string& path) {
    for (unsigned char c : path)
        if (!is_ordinary_path_char(c)) return "\"" + path + "\"";
    return path;
}

const char* model_section_text(const LutConfig& c, std::string& tmp) {
    if (c.model_file) {
        tmp = c.model_section ? ".lib " + path_text(*c.model_file) + " " + *c.model_section
                              : ".include " + path_text(*c.model_file);
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

// ngspice ends a .dc sweep once the running sum of steps passes stop by more than this (absolute).
constexpr double kNgspiceSweepTolerance = 1e3 * 2.220446049250313e-16;

// The shortest %g spelling within `tolerance` of x (0: reads back exactly), as a person writes it.
std::string shortest_text(double x, double tolerance) {
    char buf[40];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, x);
        if (std::abs(std::strtod(buf, nullptr) - x) <= tolerance) break;
    }
    return buf;
}

}  // namespace

std::string dc_sweep_text(const SweepRange& r, bool shortest) {
    auto spell = [&](double x, double tolerance) {
        return shortest ? shortest_text(x, tolerance) : format_sci_exact(x, 6, tolerance);
    };
    const std::uint32_t n = r.point_count() - 1u;
    const double last = r.start + r.step * static_cast<double>(n);
    // ngspice adds the step n times and stops once the sum passes stop by more than its tolerance.
    double sum = r.start;
    for (std::uint32_t i = 0; i < n; ++i) sum += r.step;
    const double dir = r.step > 0 ? 1.0 : -1.0;
    auto visits_all = [&](const std::string& text) {
        const double stop = std::strtod(text.c_str(), nullptr);
        return dir * (sum - stop) <= kNgspiceSweepTolerance && dir * (sum + r.step - stop) > kNgspiceSweepTolerance;
    };
    // The shortest spelling of the table's last value that ngspice ends on; the stop as given when it is one.
    std::string stop = spell(r.stop, kNgspiceSweepTolerance / 4);
    for (const std::string& candidate :
         {spell(last, kNgspiceSweepTolerance / 4), spell(last, 0.0), spell(sum, 0.0)}) {
        if (visits_all(stop)) break;
        stop = candidate;
    }
    return spell(r.start, 0.0) + " " + stop + " " + spell(r.step, 0.0);
}

std::string build_netlist(const LutConfig& config, const SweepRange& vgs_slice, double length) {
    std::string model_tmp;
    const std::string w = format_sci_exact(config.width, 3);
    const std::string l = format_sci_exact(length, 3);
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
    s += "Vbs bulk  source dc " + format_sci_exact(config.vbs, 3) + "\n";
    s += "Vs  source 0    dc 0\n";
    s += "\n* sweep\n";
    // Vds first: the simulator sweeps it fastest, which the row extraction relies on.
    s += ".dc Vds " + dc_sweep_text(config.vds) + " Vgs " + dc_sweep_text(vgs_slice);
    s += "\n\n.end";
    return s;
}

namespace {

// What the operating system could still hand out; no limit when it cannot tell.
double available_memory_bytes() {
    if (std::FILE* f = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        unsigned long long kib = 0;
        bool found = false;
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
                found = true;
                break;
            }
        std::fclose(f);
        if (found) return static_cast<double>(kib) * 1024.0;
    }
    const long pages = ::sysconf(_SC_AVPHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) return static_cast<double>(pages) * static_cast<double>(page);
    return std::numeric_limits<double>::infinity();
}

constexpr std::string_view kNameExtras = "_.-+:[]<>#!/@";

// Model names and library sections are one netlist token each.
std::optional<std::string> check_token(const char* arg, const std::string& value) {
    bool ok = !value.empty();
    for (unsigned char c : value)
        ok = ok && (std::isalnum(c) || kNameExtras.find(static_cast<char>(c)) != std::string_view::npos);
    if (ok) return std::nullopt;
    return std::string(arg) + " must be a single name of letters, digits and " + std::string(kNameExtras) +
           " (no spaces, ; $ * = , quotes or brackets), got " + quote_name(value);
}

}  // namespace

std::optional<std::string> validate_config(const LutConfig& config) {
    if (!(config.width > 0.0) || !std::isfinite(config.width))
        return "width must be a finite positive number of metres, got " + plain_number(config.width);
    const std::pair<const char*, const SweepRange*> sweeps[] = {
        {"lengths", &config.lengths}, {"vgs", &config.vgs}, {"vds", &config.vds}};
    for (const auto& [name, r] : sweeps) {
        if (r->step == 0.0 || !std::isfinite(r->step))
            return std::string(name) + " step must be a finite non-zero number, got " + plain_number(r->step);
        if (!std::isfinite(r->start) || !std::isfinite(r->stop))
            return std::string(name) + " " + range_text(*r) + " must have a finite start and stop";
    }
    // A count that saturates wraps to zero points: an empty table, not a characterisation.
    if (config.lengths.point_count() == 0) return too_many_points("lengths", config.lengths);
    // A stop the step walks away from leaves the start alone: not the sweep that was asked for.
    if (config.lengths.point_count() == 1 && config.lengths.stop != config.lengths.start)
        return "lengths " + range_text(config.lengths) +
               " gives 1 point; the step must lead from start towards stop (or give stop equal to start)";
    {
        const std::vector<double> ls{config.lengths.start,
                                     config.lengths.start + config.lengths.step *
                                                                static_cast<double>(config.lengths.point_count() - 1)};
        for (double l : ls)
            if (!(l > 0.0) || !std::isfinite(l))
                return "lengths " + range_text(config.lengths) + " must stay finite and positive, reaches " +
                       plain_number(l);
    }
    // The derivatives need a neighbour on both voltage axes.
    const std::pair<const char*, const SweepRange*> axes[] = {{"vgs", &config.vgs}, {"vds", &config.vds}};
    for (const auto& [name, r] : axes) {
        const std::uint32_t n = r->point_count();
        if (n == 0) return too_many_points(name, *r);
        if (n < 2)
            return std::string(name) + " " + range_text(*r) + " gives " + std::to_string(n) +
                   " point; at least 2 points are required";
    }
    // A PMOS biased with positive Vds forward-biases its drain-bulk diode (amperes of current), and
    // with positive Vgs stays off: a table of either would look plausible and be wrong.
    if (config.is_pmos) {
        for (const auto& [name, r] : axes) {
            const double last = r->start + r->step * static_cast<double>(r->point_count() - 1);
            if (std::min(r->start, last) >= 0.0 && std::max(r->start, last) > 0.0)
                return "a PMOS is swept with negative voltages, but " + std::string(name) + " " + range_text(*r) +
                       " is positive; sweep it as " + std::string(name) + "=(" + plain_number(0.0 - r->start) + ", " +
                       plain_number(0.0 - r->stop) + ", " + plain_number(0.0 - r->step) +
                       "), or give magnitudes to SimulationPool.characterise";
        }
    }
    // Id, gm and gds, 8 bytes a point each; doubles, as the product may not fit 64 bits.
    const double points = static_cast<double>(config.lengths.point_count()) *
                          static_cast<double>(config.vgs.point_count()) * static_cast<double>(config.vds.point_count());
    const double bytes = points * 3.0 * 8.0, available = available_memory_bytes();
    if (bytes > available || points > 9.007199254740992e15)
        return "the table of " + std::to_string(config.lengths.point_count()) + " x " +
               std::to_string(config.vgs.point_count()) + " x " + std::to_string(config.vds.point_count()) +
               " points (lengths " + range_text(config.lengths) + " x vgs " + range_text(config.vgs) + " x vds " +
               range_text(config.vds) + ") would need " + format_sci(bytes, 3) + " bytes, more than the " +
               format_sci(available, 3) +
               " bytes of memory available; use larger steps or narrower ranges";
    // Any of these on a netlist line would start a line of its own.
    auto injects = [](const std::optional<std::string>& s) { return s && has_line_break_or_nul(*s); };
    if (has_line_break_or_nul(config.model_name))
        return std::string("model_name must not contain a line break or NUL character");
    if (injects(config.model_file)) return std::string("model_file must not contain a line break or NUL character");
    if (injects(config.model_section))
        return std::string("model_section must not contain a line break or NUL character");
    if (auto bad = check_token("model_name", config.model_name)) return bad;
    if (config.model_section)
        if (auto bad = check_token("model_section", *config.model_section)) return bad;
    if (config.model_file) {
        const std::string& f = *config.model_file;
        if (f.empty()) return std::string("model_file must not be empty");
        if (f.find('"') != std::string::npos) return "model_file must not contain a double quote, got " + quote_name(f);
        // ngspice reads ';' as the start of a comment even inside quotes, and splits .lib paths at spaces.
        if (f.find(';') != std::string::npos)
            return "model_file must not contain ';' (ngspice cannot read such a path; use a link without it), got " +
                   quote_name(f);
        if (config.model_section && f.find_first_of(" \t\f\v") != std::string::npos)
            return "model_file must not contain spaces when model_section is given (ngspice cannot read such a "
                   ".lib path; use a link without them), got " +
                   quote_name(f);
    }
    if (config.model_card.find('\0') != std::string::npos)
        return std::string("model_card must not contain a NUL character (line breaks are allowed)");
    return std::nullopt;
}

}  // namespace tavlo
