#include "tavlo/characterise/assemble.hpp"

#include <algorithm>

namespace tavlo {

Assembly::Assembly(std::size_t n_blocks, std::size_t block_size) : n_blocks_(n_blocks), block_size_(block_size) {}

bool Assembly::place(const std::string& name, std::size_t block, std::size_t first, std::span<const double> values) {
    if (block >= n_blocks_ || first > block_size_ || values.size() > block_size_ - first) return false;
    auto q = std::find_if(quantities_.begin(), quantities_.end(), [&](const Quantity& x) { return x.name == name; });
    if (q == quantities_.end()) {
        const std::size_t total = n_blocks_ * block_size_;
        q = quantities_.insert(quantities_.end(), {name, std::vector<double>(total, 0.0), std::vector<bool>(total), 0});
    }
    const std::size_t at = block * block_size_ + first;
    std::copy(values.begin(), values.end(), q->values.begin() + static_cast<std::ptrdiff_t>(at));
    // Counted once per value, so a job placed twice cannot stand in for one that is missing.
    for (std::size_t i = at; i < at + values.size(); ++i) {
        if (!q->placed[i]) q->placed[i] = true, ++q->count;
    }
    return true;
}

std::vector<std::pair<std::string, std::vector<double>>> Assembly::finish() && {
    std::vector<std::pair<std::string, std::vector<double>>> out;
    for (Quantity& q : quantities_)
        if (q.count == n_blocks_ * block_size_) out.emplace_back(std::move(q.name), std::move(q.values));
    quantities_.clear();
    return out;
}

}  // namespace tavlo
