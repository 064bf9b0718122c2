#pragma once
// One whole characterisation over the pool: chunking, concurrent jobs, gathering, assembly.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tavlo/base/error.hpp"
#include "tavlo/lut/config.hpp"
#include "tavlo/lut/table.hpp"

namespace tavlo {

constexpr std::uint32_t CHUNK_POINT_TARGET = 50000;

/// Contiguous inclusive (first, last) index ranges of ceil(n / k) rows; requires k >= 1.
std::vector<std::pair<std::uint32_t, std::uint32_t>> chunk_indices(std::uint32_t n, std::uint32_t k);

/// The one chunk rule of every characterisation: about CHUNK_POINT_TARGET points a job, rounded up
/// so that lengths x chunks is a multiple of the workers.
std::uint32_t chunk_count(std::uint64_t n_lengths, std::uint32_t n_vgs, std::uint32_t n_vds, std::uint32_t workers);

std::uint32_t default_chunk_count(const LutConfig& config, std::uint32_t workers);

}  // namespace tavlo
