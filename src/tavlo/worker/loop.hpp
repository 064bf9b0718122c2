#pragma once
// The worker process's loop: requests on descriptor 0, frames on descriptor 1.

#include "tavlo/base/error.hpp"

namespace tavlo {

/// Serves requests until end of input (success), or returns the start-up or I/O error.
/// Also returns success right after answering a request during which ngspice asked to exit,
/// because the library cannot be used after that; the pool then starts a fresh worker.
Status run_worker();

}  // namespace tavlo
