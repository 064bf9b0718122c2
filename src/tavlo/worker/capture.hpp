#pragma once
// Capturing ngspice's output: the callbacks, the state they fill during one request, the error
// test on printed lines, and the `.measure` results found in them.

#include <ngspice/sharedspice.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavlo/protocol/protocol.hpp"

namespace tavlo {

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

}  // namespace tavlo
