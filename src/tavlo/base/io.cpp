#include "tavlo/base/io.hpp"

#include <unistd.h>

#include <cerrno>

namespace tavlo {

Status write_fd(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return NgspiceError::from_errno(errno);
        }
        if (w == 0) return NgspiceError::io("failed to write whole buffer");
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return ok_status();
}

}  // namespace tavlo
