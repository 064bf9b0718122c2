#pragma once
// The worker process's loop: requests on descriptor 0, frames on descriptor 1.

#include "tavlo/error.hpp"

namespace tavlo {

/// Serves requests until end of input (success), or returns the start-up or I/O error.
Status run_worker();

}  // namespace tavlo
