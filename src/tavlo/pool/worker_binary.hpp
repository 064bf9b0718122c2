#pragma once
// Finding the executable that a pool's workers start.

#include <string>
#include <vector>

#include "tavlo/base/error.hpp"

namespace tavlo {

/// The executable that every worker of a pool starts.
struct WorkerBinary {
    std::string path;
    std::vector<std::string> args;
    /// `NAME=value` entries set in its environment, over the caller's.
    std::vector<std::string> env;
};

/// NGSPICE_WORKER_BIN, next to the running executable, $VIRTUAL_ENV/bin, then PATH; InitFailed
/// ("could not find 'ngspice-worker' binary. …") when none exists.
Result<WorkerBinary> find_worker_binary();

}  // namespace tavlo
