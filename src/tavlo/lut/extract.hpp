#pragma once
// One job's answer as table rows, and finite-difference derivatives.

#include <cstddef>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tavlo/base/error.hpp"
#include "tavlo/lut/table.hpp"
#include "tavlo/protocol/protocol.hpp"

namespace tavlo {

/// A further quantity a job saves: its table name and the vector names that may carry it, first
/// found (with a value at every point) wins.
struct JobOutput {
    std::string name;
    std::vector<std::string> vectors;
};

/// What a job's answer must hold: rows x n_vds points of vds#branch, Vds fastest.
struct JobShape {
    std::size_t rows = 0;
    std::size_t n_vds = 0;
    double sign = 1.0;  // -1 for a PMOS simulated in negated voltages: the table keeps magnitudes
    std::vector<JobOutput> outputs;
};

struct JobRows {
    Grid id;
    std::vector<std::pair<std::string, Grid>> outputs;  // those found, in the shape's order
};

/// Why an answer gave no rows: vds#branch missing (`got` unused) or with `got` points.
struct JobFault {
    bool missing = false;
    std::size_t got = 0;
    std::vector<std::string> names;  // every vector of the answer, in its order
};

/// Id = -sign * vds#branch; an output none of whose vectors has a value at every point is absent.
std::variant<JobRows, JobFault> extract_job(const SimulationResponse& response, const JobShape& shape);

/// The fault as characterisation reports it (SimulationFailed).
NgspiceError fault_error(const JobFault& fault, std::size_t n_rows, std::size_t n_vds);

/// rows[r][c] = -vds#branch[r * n_vds + c]; SimulationFailed when missing or mis-sized.
Result<Grid> extract_id_rows(const SimulationResponse& response, std::size_t n_rows, std::size_t n_vds);

/// d/dVgs down each column (forward, central, backward differences).
Grid diff_vgs(const Grid& rows, double step);

/// d/dVds along each row.
Grid diff_vds(const Grid& rows, double step);

}  // namespace tavlo
