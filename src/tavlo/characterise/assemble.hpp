#pragma once
// The one placement of every characterisation: each job's values go to their place in whole
// arrays of blocks (one block per Vbs x length, Vgs x Vds values, Vds fastest), in any order.

#include <cstddef>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tavlo {

class Assembly {
public:
    Assembly(std::size_t n_blocks, std::size_t block_size);

    /// Places `values` from value `first` of block `block`; false, placing nothing, when they
    /// would run past the block.
    bool place(const std::string& name, std::size_t block, std::size_t first, std::span<const double> values);

    /// The quantities placed at every value of every block, in the order first placed; a quantity
    /// some job lacks is left out rather than partly filled.
    std::vector<std::pair<std::string, std::vector<double>>> finish() &&;

private:
    struct Quantity {
        std::string name;
        std::vector<double> values;
        std::vector<bool> placed;
        std::size_t count = 0;
    };
    std::size_t n_blocks_, block_size_;
    std::vector<Quantity> quantities_;
};

}  // namespace tavlo
