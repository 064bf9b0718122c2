#pragma once
// The circuits a worker keeps parsed between requests, in the order ngspice lists them, and
// what ngspice's own list says: the two must agree before a kept circuit is used again.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tavlo/worker/deck_files.hpp"

namespace tavlo {

/// One parsed circuit that ngspice holds.
struct KeptCircuit {
    std::string netlist;
    std::string cwd;                 // relative include paths depend on it
    std::vector<FileStamp> files;    // as they were just before the parse
    std::string name;                // as ngspice lists it
    std::vector<std::string> altered;  // parameters requests have set on it
};

/// ngspice's list of circuits as `setcirc` prints it: newest first.
struct CircuitListing {
    std::vector<std::string> names;
    /// Position of the current circuit; none when the current one is not in the list (a load
    /// that failed half-way leaves such a circuit current).
    std::optional<std::size_t> current;
};

/// Reads the lines that a bare `setcirc` printed (with their "stdout "/"stderr " prefixes).
CircuitListing parse_circuit_listing(const std::vector<std::string>& lines);

}  // namespace tavlo
