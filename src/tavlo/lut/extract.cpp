#include "tavlo/lut/extract.hpp"

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tavlo/base/format.hpp"

namespace tavlo {

namespace {

const VectorData* find_named(const SimulationResponse& response, const std::string& name) {
    for (const auto& v : response.vectors)
        if (equals_ignore_ascii_case(v.name, name)) return &v;
    return nullptr;
}

}  // namespace

std::variant<JobRows, JobFault> extract_job(const SimulationResponse& response, const JobShape& shape) {
    const std::size_t expected = shape.rows * shape.n_vds;
    const VectorData* branch = find_named(response, "vds#branch");
    if (!branch || branch->real.size() != expected) {
        JobFault fault{branch == nullptr, branch ? branch->real.size() : 0, {}};
        fault.names.reserve(response.vectors.size());
        for (const auto& v : response.vectors) fault.names.push_back(v.name);
        return fault;
    }
    JobRows out{Grid{shape.rows, shape.n_vds, std::vector<double>(expected)}, {}};
    // The branch current flows into the drain source's + terminal: the drain current is its negative.
    const double k = -shape.sign;
    for (std::size_t i = 0; i < expected; ++i) out.id.data[i] = k * branch->real[i];
    for (const JobOutput& output : shape.outputs) {
        for (const std::string& name : output.vectors) {
            const VectorData* v = find_named(response, name);
            if (!v || v->real.size() != expected) continue;
            out.outputs.emplace_back(output.name, Grid{shape.rows, shape.n_vds, v->real});
            break;
        }
    }
    return out;
}

NgspiceError fault_error(const JobFault& fault, std::size_t n_rows, std::size_t n_vds) {
    if (fault.missing)
        return NgspiceError::simulation_failed("'vds#branch' not found; available: " + quoted_name_list(fault.names));
    return NgspiceError::simulation_failed("expected " + std::to_string(n_rows * n_vds) + " points (" +
                                           std::to_string(n_rows) + "\u00d7" + std::to_string(n_vds) + "), got " +
                                           std::to_string(fault.got));
}

Result<Grid> extract_id_rows(const SimulationResponse& response, std::size_t n_rows, std::size_t n_vds) {
    auto rows = extract_job(response, JobShape{n_rows, n_vds, 1.0, {}});
    if (auto* fault = std::get_if<JobFault>(&rows)) return fault_error(*fault, n_rows, n_vds);
    return std::move(std::get<JobRows>(rows).id);
}

Grid diff_vds(const Grid& rows, double h) {
    Grid out{rows.rows, rows.cols, std::vector<double>(rows.rows * rows.cols, 0.0)};
    const std::size_t m = rows.cols;
    if (m < 2) return out;  // no neighbour to difference against; configurations are checked before this
    const double h2 = h + h;
    for (std::size_t r = 0; r < rows.rows; ++r) {
        const double* in = rows.data.data() + r * m;
        double* o = out.data.data() + r * m;
        o[0] = (in[1] - in[0]) / h;
        for (std::size_t j = 1; j + 1 < m; ++j) o[j] = (in[j + 1] - in[j - 1]) / h2;
        o[m - 1] = (in[m - 1] - in[m - 2]) / h;
    }
    return out;
}

Grid diff_vgs(const Grid& rows, double h) {
    Grid out{rows.rows, rows.cols, std::vector<double>(rows.rows * rows.cols, 0.0)};
    const std::size_t n = rows.rows, m = rows.cols;
    if (m == 0 || n < 2) return out;  // as in diff_vds
    const double h2 = h + h;
    // Row by row rather than column by column: the same differences, read contiguously.
    auto row = [&](std::size_t i) { return rows.data.data() + i * m; };
    for (std::size_t c = 0; c < m; ++c) out.at(0, c) = (row(1)[c] - row(0)[c]) / h;
    for (std::size_t i = 1; i + 1 < n; ++i)
        for (std::size_t c = 0; c < m; ++c) out.at(i, c) = (row(i + 1)[c] - row(i - 1)[c]) / h2;
    for (std::size_t c = 0; c < m; ++c) out.at(n - 1, c) = (row(n - 1)[c] - row(n - 2)[c]) / h;
    return out;
}

}  // namespace tavlo
