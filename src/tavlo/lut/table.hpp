#pragma once
// The characterised table: Id, gm and gds over lengths x Vgs x Vds, each one contiguous buffer.

#include <cstddef>
#include <string>
#include <vector>

#include "tavlo/base/error.hpp"

namespace tavlo {

/// A 2-D table of doubles, row-major (row = Vgs index, column = Vds index).
struct Grid {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> data;  // rows * cols values

    double& at(std::size_t r, std::size_t c) { return data[r * cols + c]; }
    double at(std::size_t r, std::size_t c) const { return data[r * cols + c]; }
};

struct TransistorLut {
    double width = 0.0;
    double vbs = 0.0;
    std::vector<double> lengths;
    std::vector<double> vgs;
    std::vector<double> vds;
    // [length][vgs][vds], row-major, lengths.size() * vgs.size() * vds.size() values each.
    std::vector<double> id;
    std::vector<double> gm;
    std::vector<double> gds;

    std::size_t n_l() const { return lengths.size(); }
    std::size_t n_vgs() const { return vgs.size(); }
    std::size_t n_vds() const { return vds.size(); }
    std::size_t index(std::size_t k, std::size_t i, std::size_t j) const { return (k * n_vgs() + i) * n_vds() + j; }
    bool single_length() const { return lengths.size() == 1; }

    /// Writes "L,Vgs,Vds,Id,gm,gds" and one line per point; Io error with the OS text.
    Status write_csv(const std::string& path) const;
};

/// Checks that the three tables match the axes; empty when consistent, else the reason.
std::string check_shape(const TransistorLut& lut);

}  // namespace tavlo
