#include "tavlo/lut/sweep.hpp"

#include <algorithm>
#include <cstdint>
#include <numeric>

namespace tavlo {

std::vector<std::pair<std::uint32_t, std::uint32_t>> chunk_indices(std::uint32_t n, std::uint32_t k) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    if (n == 0) return out;
    k = std::max<std::uint32_t>(k, 1);  // callers reject 0; never divide by it
    // 64-bit arithmetic: start + size can pass 2^32 - 1 near the top of the range.
    const std::uint64_t size = n / k + (n % k != 0 ? 1 : 0);
    out.reserve(static_cast<std::size_t>((n + size - 1) / size));
    for (std::uint64_t start = 0; start < n;) {
        const std::uint64_t last = std::min<std::uint64_t>(start + size - 1, n - 1);
        out.emplace_back(static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(last));
        start = last + 1;
    }
    return out;
}

std::uint32_t chunk_count(std::uint64_t n_lengths, std::uint32_t n_vgs, std::uint32_t n_vds, std::uint32_t workers) {
    const std::uint32_t rows_per_chunk = std::max<std::uint32_t>(CHUNK_POINT_TARGET / std::max<std::uint32_t>(n_vds, 1), 1);
    const std::uint32_t chunks = n_vgs / rows_per_chunk + (n_vgs % rows_per_chunk != 0 ? 1 : 0);
    // Round up so that lengths x chunks is a multiple of the workers: otherwise the last round of
    // jobs leaves some workers idle (3 chunks on 2 workers take as long as 4).
    const std::uint64_t w = std::max<std::uint32_t>(workers, 1);
    const std::uint64_t step = w / std::gcd<std::uint64_t>(w, std::max<std::uint64_t>(n_lengths, 1));
    const std::uint64_t rounded = (std::max<std::uint64_t>(chunks, 1) + step - 1) / step * step;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(rounded, UINT32_MAX));
}

std::uint32_t default_chunk_count(const LutConfig& config, std::uint32_t workers) {
    return chunk_count(config.lengths.point_count(), config.vgs.point_count(), config.vds.point_count(), workers);
}

}  // namespace tavlo
