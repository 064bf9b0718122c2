#include "tavlo/characterise/plan.hpp"

#include "tavlo/lut/sweep.hpp"

namespace tavlo {

std::vector<ChunkJob> plan_chunks(std::size_t n_lengths, const SweepRange& vgs, std::uint32_t n_chunks) {
    const auto chunks = chunk_indices(vgs.point_count(), n_chunks);
    std::vector<ChunkJob> jobs;
    jobs.reserve(n_lengths * chunks.size());
    for (std::size_t li = 0; li < n_lengths; ++li) {
        for (std::size_t ci = 0; ci < chunks.size(); ++ci) {
            const auto [first, last] = chunks[ci];
            // Each end from its index, never by summing steps: the slices meet the table's values.
            jobs.push_back({static_cast<std::uint32_t>(li), static_cast<std::uint32_t>(ci), first, last,
                            SweepRange{vgs.start + vgs.step * static_cast<double>(first),
                                       vgs.start + vgs.step * static_cast<double>(last), vgs.step}});
        }
    }
    return jobs;
}

}  // namespace tavlo
