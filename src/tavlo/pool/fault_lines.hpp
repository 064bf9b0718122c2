#pragma once
// The pool's log lines on standard error, and the fault lines kept for an embedding program.

#include <string>
#include <vector>

namespace tavlo {

/// Writes one whole line to standard error, never interleaved with another; a fault's line is
/// also kept for take_fault_lines() once keep_fault_lines(true) was called.
void log_line(const std::string& line, bool fault = true);
void keep_fault_lines(bool on);
/// The fault lines kept since the last call, oldest first (at most the last 1000).
std::vector<std::string> take_fault_lines();

}  // namespace tavlo
