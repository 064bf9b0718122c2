// The characterisation pipeline as the process-kit route in Python uses it: the same chunk rule,
// Vgs slices, dc sweep text, job extraction and placement as generate_lut's.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "bindings.hpp"
#include "result.hpp"
#include "tavlo/characterise/assemble.hpp"
#include "tavlo/characterise/plan.hpp"
#include "tavlo/lut/extract.hpp"
#include "tavlo/lut/sweep.hpp"

namespace tavlo::py {

namespace {

using namespace nb::literals;
using Sweep = std::tuple<double, double, double>;

SweepRange finite_range(const Sweep& s, const char* name) {
    const auto [start, stop, step] = s;
    if (!std::isfinite(start) || !std::isfinite(stop) || !std::isfinite(step) || step == 0.0)
        throw nb::value_error((std::string(name) + " must be finite with a non-zero step").c_str());
    return SweepRange{start, stop, step};
}

using Values = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// Any result a runner returns: the native one as it is, another through its vector_names() and
// vector(name).
SimulationResponse response_of(nb::handle result) {
    nb::object as_array = nb::module_::import_("numpy").attr("ascontiguousarray");
    SimulationResponse response;
    for (nb::handle name : result.attr("vector_names")()) {
        auto values = nb::cast<Values>(as_array(result.attr("vector")(name), "float64").attr("reshape")(-1));
        response.vectors.push_back({nb::cast<std::string>(name),
                                    std::vector<double>(values.data(), values.data() + values.size()),
                                    std::nullopt, false});
    }
    return response;
}

nb::object grid_array(Grid&& g) {
    const std::size_t rows = g.rows, cols = g.cols;
    return nb::cast(to_numpy(std::move(g.data), {rows, cols}));
}

}  // namespace

void register_characterise(nb::module_& m) {
    m.def(
        "_chunk_count",
        [](std::uint64_t n_lengths, std::uint32_t n_vgs, std::uint32_t n_vds, std::uint32_t workers) {
            return chunk_count(n_lengths, n_vgs, n_vds, workers);
        },
        "n_lengths"_a, "n_vgs"_a, "n_vds"_a, "workers"_a,
        "Vgs chunks per length by default: about 50 000 points a job, with ``n_lengths`` x chunks a\n"
        "multiple of the workers.");
    m.def(
        "_plan_chunks",
        [](std::uint64_t n_lengths, const Sweep& vgs, std::uint32_t n_chunks) {
            if (n_chunks == 0) throw nb::value_error("n_chunks must be at least 1");
            std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::string>> out;
            for (const ChunkJob& job : plan_chunks(n_lengths, finite_range(vgs, "vgs"), n_chunks))
                out.emplace_back(job.length_index, job.chunk_index, job.first, job.last, dc_sweep_text(job.vgs, true));
            return out;
        },
        "n_lengths"_a, "vgs"_a, "n_chunks"_a,
        "The jobs of a characterisation, lengths outer: (length index, chunk index, first and last\n"
        "Vgs index, the chunk's Vgs sweep as dc command text).");
    m.def(
        "_dc_sweep",
        [](const Sweep& sweep) { return dc_sweep_text(finite_range(sweep, "sweep"), true); },
        "sweep"_a,
        "\"start stop step\" of a dc sweep on which ngspice visits exactly the sweep's points.");
    m.def(
        "_extract_job",
        [](nb::handle result, std::size_t rows, std::size_t n_vds, double sign,
           const std::vector<std::pair<std::string, std::vector<std::string>>>& outputs) {
            JobShape shape{rows, n_vds, sign, {}};
            for (const auto& [name, vectors] : outputs) shape.outputs.push_back({name, vectors});
            auto extracted = nb::isinstance<PySimulationResult>(result)
                                 ? extract_job(nb::cast<const PySimulationResult&>(result).response, shape)
                                 : extract_job(response_of(result), shape);
            if (auto* fault = std::get_if<JobFault>(&extracted)) {
                if (fault->missing)
                    throw std::runtime_error("returned no drain current: " + fault_error(*fault, rows, n_vds).payload());
                throw std::runtime_error("returned " + std::to_string(fault->got) + " points, expected " +
                                         std::to_string(rows) + " x " + std::to_string(n_vds));
            }
            JobRows& job = std::get<JobRows>(extracted);
            nb::dict found;
            for (auto& [name, grid] : job.outputs) found[nb::str(name.c_str())] = grid_array(std::move(grid));
            return nb::make_tuple(grid_array(std::move(job.id)), found);
        },
        "result"_a, "rows"_a, "n_vds"_a, "sign"_a, "outputs"_a,
        "Id over a job's ``rows`` x ``n_vds`` (the negated vds#branch, times ``sign``) and the\n"
        "``outputs`` found, each (name, vector names: first found at every point wins).");
    m.def(
        "_assemble_jobs",
        [](std::size_t n_blocks, std::size_t block_size, nb::iterable pieces) {
            Assembly assembly(n_blocks, block_size);
            for (nb::handle piece : pieces) {
                auto [block, first, quantities] = nb::cast<std::tuple<std::size_t, std::size_t, nb::dict>>(piece);
                for (auto [name, values] : quantities) {
                    auto flat = nb::cast<Values>(nb::module_::import_("numpy").attr("ascontiguousarray")(
                        values, "float64").attr("reshape")(-1));
                    if (!assembly.place(nb::cast<std::string>(name), block, first, {flat.data(), flat.size()}))
                        throw nb::value_error(("a job's " + nb::cast<std::string>(name) + " runs past block " +
                                               std::to_string(block) + " of " + std::to_string(n_blocks))
                                                  .c_str());
                }
            }
            nb::dict out;
            for (auto& [name, values] : std::move(assembly).finish())
                out[nb::str(name.c_str())] = nb::cast(to_numpy(std::move(values), {n_blocks, block_size}));
            return out;
        },
        "n_blocks"_a, "block_size"_a, "pieces"_a,
        "Whole (n_blocks, block_size) arrays from pieces (block, first value, {name: values}); a\n"
        "quantity not placed at every value is left out.");
}

}  // namespace tavlo::py
