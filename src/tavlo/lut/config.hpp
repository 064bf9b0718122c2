#pragma once
// Characterisation settings, the sweep-point rule and the DC test-bench netlist.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavlo {

/// Inclusive linear sweep: values start + step * i.
struct SweepRange {
    double start = 0.0;
    double stop = 0.0;
    double step = 1.0;

    /// round((stop - start) / step) saturated to u32, plus one (wrapping like the u32 addition it is).
    std::uint32_t point_count() const;
    std::vector<double> values() const;
};

struct LutConfig {
    double width = 1e-5;
    SweepRange lengths{5e-7, 5e-7, 1.0};
    SweepRange vgs{0.0, 1.8, 0.05};
    SweepRange vds{0.0, 1.8, 0.05};
    double vbs = 0.0;
    std::optional<std::string> model_file;
    std::optional<std::string> model_section;
    std::string model_card;
    std::string model_name = "nch";
    bool is_pmos = false;
};

extern const char* const kBuiltinNmosCard;
extern const char* const kBuiltinPmosCard;

/// The complete netlist for one length and one Vgs slice; ends with ".end" and no newline.
std::string build_netlist(const LutConfig& config, const SweepRange& vgs_slice, double length);

/// "start stop step" of a dc sweep on which ngspice visits exactly the sweep's point_count() values
/// (it adds the step up and stops within a tolerance, so the plain stop can gain or lose a point).
/// Numbers in the netlist's scientific form, or `shortest` as a person writes them ("0.3", "1.8"):
/// ngspice reads the two spellings of one number a bit apart, so a hand-written deck matches the latter.
std::string dc_sweep_text(const SweepRange& r, bool shortest = false);

/// Empty when the configuration can be characterised; otherwise the reason, naming the argument.
/// Rejects what would break the sweep or inject netlist lines (checked before any simulation).
std::optional<std::string> validate_config(const LutConfig& config);

}  // namespace tavlo
