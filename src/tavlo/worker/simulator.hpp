#pragma once
// Running one request on an initialised ngspice: load, commands, vectors, measures, clean-up.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavlo/base/error.hpp"
#include "tavlo/protocol/protocol.hpp"
#include "tavlo/worker/capture.hpp"
#include "tavlo/worker/ngspice.hpp"

namespace tavlo {

/// Copies one ngspice vector record; complex data wins over real data when both are present.
VectorData extract_vector_data(const vector_info& info, std::string name);

/// True when the netlist's last non-blank line is ".end", ignoring ASCII case and white space.
bool netlist_has_end(std::string_view netlist);

/// The netlist's lines as ngspice gets them: trailing white space of the whole netlist removed,
/// split at line feeds, one trailing carriage return per line dropped, NUL bytes made spaces.
std::vector<std::string> netlist_lines(std::string_view netlist);

/// An initialised ngspice with its callback state: the part of the loop that talks to ngspice,
/// usable in-process (benchmarks) as well as by run_worker.
class Simulator {
public:
    /// Loads the library (see Ngspice::load), initialises it once and makes it single-threaded.
    static Result<std::unique_ptr<Simulator>> start(const std::optional<std::string>& library = std::nullopt);
    ~Simulator();

    /// Runs one decoded request and returns what its frame carries.
    SimulationResponse handle(const SimulationRequest& request);
    /// Discards the results and the circuit of the last request; call after its frame is out.
    void clean_up();
    /// ngspice asked to exit; the library must not be used any more.
    bool exit_requested();

private:
    Simulator(Ngspice ng, std::unique_ptr<SimState> state);
    int command(const std::string& text);
    /// Waits until a thread that a `bg_` command started has finished.
    void wait_for_background(std::uint64_t started_before);
    /// Waits until no background thread that announced itself is still running.
    void wait_for_background_idle();
    std::vector<VectorData> collect_vectors(const std::optional<std::vector<std::string>>& wanted);

    std::unique_ptr<SimState> state_;  // outlives ng_: ngspice holds its address
    Ngspice ng_;
    bool circuit_loaded_ = false;
    std::uint64_t cleanups_ = 0;
};

}  // namespace tavlo
