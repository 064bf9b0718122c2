#pragma once
// Writing whole buffers to descriptors: frames, CSV files, progress and log lines.

#include <cstddef>

#include "tavlo/base/error.hpp"

namespace tavlo {

/// Writes all n bytes to a descriptor, retrying partial writes; errors carry the OS text.
Status write_fd(int fd, const char* data, std::size_t n);

}  // namespace tavlo
