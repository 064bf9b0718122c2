#pragma once
// The worker process's loop: requests on descriptor 0, frames on descriptor 1.

#include <ngspice/sharedspice.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavlo/error.hpp"
#include "tavlo/ngspice_lib.hpp"
#include "tavlo/protocol.hpp"

namespace tavlo {

/// Serves requests until end of input (success), or returns the start-up or I/O error.
/// Also returns success right after answering a request during which ngspice asked to exit,
/// because the library cannot be used after that; the pool then starts a fresh worker.
Status run_worker();

/// What ngspice's callbacks record during one request. Lives on the heap at a fixed address,
/// which ngspice hands back to every callback.
struct SimState {
    std::vector<std::string> log_lines;
    std::vector<std::string> init_vector_names;
    std::optional<std::string> first_error;
    bool had_error = false;

    /// ngspice asked to exit at some point; never cleared.
    bool exit_requested = false;
    /// Background-thread notices, counted so the loop can wait for a `bg_` command to finish.
    std::uint64_t bg_started = 0;
    std::uint64_t bg_exited = 0;

    /// Callbacks may come from ngspice's background thread; the loop holds this while it
    /// reads or resets the fields, never across an ngspice call.
    std::mutex mutex;
    std::condition_variable bg_changed;

    /// Clears the per-request fields (caller holds the mutex).
    void reset();
    /// Marks an error and keeps the first one (caller holds the mutex).
    void note_error(const std::string& text);
};

// ngspice's callbacks; `user` is the SimState. The data callback is registered as null: this
// system has no use for per-point values, and ngspice then skips about a quarter of a sweep's work.
int send_char(char* text, int id, void* user);
int send_stat(char* text, int id, void* user);
int controlled_exit(int status, NG_BOOL immediate, NG_BOOL quit, int id, void* user);
int send_init_data(pvecinfoall info, int id, void* user);
int bg_thread_running(NG_BOOL exited, int id, void* user);

/// True for a printed line that reports an error ("stderr " lines mentioning "error", or any line
/// starting with "error", ignoring ASCII case).
bool is_error_line(std::string_view line);

/// `.measure` results ("name = value ...") found in the log, in order, duplicates kept.
std::vector<Measure> parse_measures(const std::vector<std::string>& log_lines);

/// Copies one ngspice vector record; complex data wins over real data when both are present.
VectorData extract_vector_data(const vector_info& info, std::string name);

/// True when the netlist's last non-blank line is ".end", ignoring ASCII case and white space.
bool netlist_has_end(std::string_view netlist);

/// The netlist's lines as ngspice gets them: trailing white space of the whole netlist removed,
/// split at line feeds, one trailing carriage return per line dropped, NUL bytes made spaces.
std::vector<std::string> netlist_lines(std::string_view netlist);

/// True when the text is empty or Unicode white space only.
bool is_blank(std::string_view text);

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
