#pragma once
// The jobs of a characterisation, for a LutConfig and for a process-kit device alike: one job per
// (length, Vgs chunk), each sweeping its Vgs rows across the whole Vds axis.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tavlo/lut/config.hpp"

namespace tavlo {

struct ChunkJob {
    std::uint32_t length_index = 0;
    std::uint32_t chunk_index = 0;
    std::uint32_t first = 0;  // Vgs indices, both inclusive
    std::uint32_t last = 0;
    SweepRange vgs;  // the rows' slice of the Vgs sweep, with its step
};

/// Lengths outer, chunks inner; `n_chunks` must be at least 1 (more chunks than rows give one row each).
std::vector<ChunkJob> plan_chunks(std::size_t n_lengths, const SweepRange& vgs, std::uint32_t n_chunks);

}  // namespace tavlo
