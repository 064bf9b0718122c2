// The characterisation planner as the process-kit route in Python uses it: the same chunk rule,
// Vgs slices and dc sweep text as generate_lut's.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "bindings.hpp"
#include "tavlo/characterise/plan.hpp"
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
}

}  // namespace tavlo::py
