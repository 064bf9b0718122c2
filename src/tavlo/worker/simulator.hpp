#pragma once
// Running one request on an initialised ngspice: load, commands, vectors, measures, clean-up.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavlo/base/error.hpp"
#include "tavlo/protocol/protocol.hpp"
#include "tavlo/worker/capture.hpp"
#include "tavlo/worker/circuits.hpp"
#include "tavlo/worker/ngspice.hpp"

namespace tavlo {

/// Copies one ngspice vector record; complex data wins over real data when both are present.
VectorData extract_vector_data(const vector_info& info, std::string name);

/// True when the netlist's last non-blank line is ".end", ignoring ASCII case and white space.
bool netlist_has_end(std::string_view netlist);

/// The netlist's lines as ngspice gets them: trailing white space of the whole netlist removed,
/// split at line feeds, one trailing carriage return per line dropped, NUL bytes made spaces.
std::vector<std::string> netlist_lines(std::string_view netlist);

/// True when some command's first word is one of `words` (ASCII case ignored).
bool runs_any(const std::vector<std::string>& commands, std::initializer_list<std::string_view> words);

/// The log line of a request that ran on a circuit kept from an earlier one.
extern const char* const kReusedCircuit;

/// Bounds on the templates a worker keeps (simulator_templates.cpp): their count, the memory their
/// parses added (at most; the pool lowers it to half the growth that would replace the worker),
/// and the lines of one (its guard is padded to as many).
constexpr std::size_t kMaxTemplates = 4;
constexpr std::uint64_t kTemplateBytes = std::uint64_t{96} << 20;
constexpr std::size_t kMaxTemplateLines = 50000;

/// This process's resident memory in bytes, 0 when unknown.
std::uint64_t resident_bytes();

/// An initialised ngspice with its callback state: the part of the loop that talks to ngspice,
/// usable in-process (benchmarks) as well as by run_worker.
class Simulator {
public:
    /// Loads the library (see Ngspice::load), initialises it once and makes it single-threaded.
    static Result<std::unique_ptr<Simulator>> start(const std::optional<std::string>& library = std::nullopt);
    ~Simulator();

    /// Runs one decoded request and returns what its frame carries.
    SimulationResponse handle(const SimulationRequest& request);
    /// Discards the results of the last request, and its circuit unless that is kept for reuse;
    /// call after its frame is out.
    void clean_up();
    /// ngspice asked to exit; the library must not be used any more.
    bool exit_requested();

private:
    Simulator(Ngspice ng, std::unique_ptr<SimState> state);
    int command(const std::string& text);
    /// The variables every request relies on; sent at start and again after a request's set/unset.
    void apply_worker_settings();
    /// Waits until a thread that a `bg_` command started has finished.
    void wait_for_background(std::uint64_t started_before);
    /// Waits until no background thread that announced itself is still running.
    void wait_for_background_idle();
    std::vector<VectorData> collect_vectors(const std::optional<std::vector<std::string>>& wanted);

    std::unique_ptr<SimState> state_;  // outlives ng_: ngspice holds its address
    Ngspice ng_;

    // Circuits (simulator_circuits.cpp, simulator_templates.cpp).
    /// Loads the netlist, or reuses a kept circuit; false (with the answer filled) on failure.
    bool load(const SimulationRequest& request, SimulationResponse& answer);
    /// Parses the netlist into a new current circuit kept at the front; false (with the answer
    /// filled) when ngspice made none.
    bool parse(const std::string& netlist, SimulationResponse& answer, std::vector<FileStamp> files);
    /// The kept circuit that may serve this request, if any; drops one whose files changed.
    std::optional<std::size_t> find_reusable(const SimulationRequest& request, const std::string& cwd);
    /// Runs a command whose output and errors belong to the worker, not to the request.
    std::vector<std::string> quiet_command(const std::string& text);
    /// Runs `work` likewise; returns what ngspice printed meanwhile.
    std::vector<std::string> quietly(const std::function<void()>& work);
    CircuitListing list_circuits();
    /// Makes kept circuit i current; false when ngspice did not confirm it.
    bool select_circuit(std::size_t i);
    void remove_circuit(std::size_t i);
    /// Removes every circuit ngspice holds and forgets them.
    void drop_all_circuits();
    /// Checks ngspice's list against the kept one after a request; anything unexpected drops all.
    void reconcile_circuits();
    std::optional<std::size_t> index_of(std::uint64_t id) const;
    /// Notes the error as the request's and fills the answer; false.
    bool refuse(SimulationResponse& answer, std::string error);
    /// After loading: false (with the answer filled) when ngspice printed an error.
    bool finish_load(SimulationResponse& answer);
    /// `alterparam` for each of the request's parameters on kept circuit i, which is current.
    bool set_params(std::size_t i, const SimulationRequest& request, SimulationResponse& answer);
    /// Sets the request's parameters on kept circuit i and re-reads it with `reset`.
    bool reset_single(std::size_t i, const SimulationRequest& request, SimulationResponse& answer);
    /// Sets the request's parameters on template i and makes the copy the request runs on.
    bool make_run_copy(std::size_t i, const SimulationRequest& request, SimulationResponse& answer);
    /// Parses a new guard, padded beyond every template, and removes the old one.
    bool refresh_guard();
    /// Removes least recently used templates beyond the count and memory bounds, never `keep`.
    void evict_templates(std::uint64_t keep);
    /// Removes the copy the last request ran on; false when ngspice's list was not as expected.
    bool remove_run_copy();

    // Kept circuits in ngspice's list order (front: its circuit 1, the newest).
    std::vector<KeptCircuit> circuits_;
    // Position of the circuit the current request loaded or reused.
    std::optional<std::size_t> request_circuit_;
    // Decided at the end of a request: keep its circuit, or drop every circuit (its commands
    // may have changed what ngspice holds behind the worker's back).
    bool keep_after_request_ = false;
    bool drop_all_after_request_ = false;
    bool settings_touched_ = false;
    // ngspice's front circuit is the copy the request ran on, not a kept one.
    bool run_copy_ = false;
    // A circuit was removed since the guard was parsed: ngspice's last deck may be gone.
    bool guard_stale_ = true;
    std::uint64_t next_id_ = 0;
    std::uint64_t uses_ = 0;
    std::uint64_t cleanups_ = 0;
};

}  // namespace tavlo
