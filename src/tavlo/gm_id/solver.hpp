#pragma once
// gm/Id sizing on a characterised table.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tavlo/base/error.hpp"
#include "tavlo/lut/table.hpp"

namespace tavlo {

enum class ConstraintKind { GmId = 0, Gain = 1, Ids = 2 };

struct DesignConstraint {
    ConstraintKind kind;
    double target;
};

struct DesignResult {
    double w = 0, l = 0, id = 0, vgs = 0, vds = 0, gm = 0, gds = 0, gm_over_id = 0, gain = 0;
    std::vector<std::pair<std::string, double>> constraint_errors;
};

Result<DesignResult> solve_design(const TransistorLut& lut, const std::vector<DesignConstraint>& constraints,
                                  std::optional<double> vds, std::optional<double> gm_id_min,
                                  std::optional<double> gm_id_max, std::optional<double> id_min);

}  // namespace tavlo
