#pragma once

#include <string_view>
#include <vector>

#include "tavlo/protocol/protocol.hpp"

namespace tavlo::py {

struct PySimulationResult {
    SimulationResponse response;
};

/// Case-insensitive lookup: the name itself, then "v(x)" as x, then x as "V(x)".
const VectorData* find_vector(const std::vector<VectorData>& vectors, std::string_view name);

}  // namespace tavlo::py
