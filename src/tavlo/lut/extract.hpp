#pragma once
// Drain-current rows from a chunk's response, and finite-difference derivatives.

#include <cstddef>

#include "tavlo/base/error.hpp"
#include "tavlo/lut/table.hpp"
#include "tavlo/protocol/protocol.hpp"

namespace tavlo {

/// rows[r][c] = -vds#branch[r * n_vds + c]; SimulationFailed when missing or mis-sized.
Result<Grid> extract_id_rows(const SimulationResponse& response, std::size_t n_rows, std::size_t n_vds);

/// d/dVgs down each column (forward, central, backward differences).
Grid diff_vgs(const Grid& rows, double step);

/// d/dVds along each row.
Grid diff_vds(const Grid& rows, double step);

}  // namespace tavlo
