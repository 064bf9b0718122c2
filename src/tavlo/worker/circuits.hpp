#pragma once
// The circuits a worker keeps parsed between requests, in the order ngspice lists them, and
// what ngspice's own list says: the two must agree before a kept circuit is used again.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tavlo/worker/deck_files.hpp"

namespace tavlo {

/// How a kept circuit serves requests. ngspice 39 re-reads, on `reset`, one deck shared by all
/// its circuits, and sizes its parameter tables by the line count of the last deck it read; so:
enum class CircuitRole {
    /// The only circuit ngspice holds, reused by `alterparam` and `reset` (a deck too large to
    /// keep beside others, or a request whose own commands reload the deck).
    single,
    /// Never run: each request runs on a copy (`mc_source`) made after its parameters are set on
    /// the template's deck. Several can be kept.
    template_deck,
    /// A circuit parsed after every template: it keeps ngspice's last deck apart from the
    /// templates' decks, and its padding keeps ngspice's line count above theirs.
    guard,
};

/// One parsed circuit that ngspice holds.
struct KeptCircuit {
    std::uint64_t id = 0;
    CircuitRole role = CircuitRole::single;
    std::string netlist;
    std::string cwd;                 // relative include paths depend on it
    std::vector<FileStamp> files;    // as they were just before the parse
    std::string name;                // as ngspice lists it
    std::vector<std::string> altered;  // parameters requests have set on it
    std::size_t lines = 0;             // at least as many lines as ngspice read for it
    std::uint64_t bytes = 0;           // resident memory its parse added
    std::uint64_t last_used = 0;
};

/// The names of kept circuits, as ngspice lists them.
std::vector<std::string> names_of(const std::vector<KeptCircuit>& circuits);

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
