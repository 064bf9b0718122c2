#include "tavlo/base/error.hpp"

#include <cstring>

namespace tavlo {

std::string os_error_text(int err) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(err) + ")";
}

NgspiceError NgspiceError::from_errno(int err) { return io(os_error_text(err)); }

std::string NgspiceError::display() const {
    switch (kind_) {
        case ErrorKind::InitFailed: return "ngspice initialization failed: " + payload_;
        case ErrorKind::SimulationFailed: return "simulation failed: " + payload_;
        case ErrorKind::WorkerCrashed: return "worker process crashed: " + payload_;
        case ErrorKind::Serialization: return "serialization error: " + payload_;
        case ErrorKind::Io: return "I/O error: " + payload_;
        case ErrorKind::PoolSendFailed:
            return "worker pool send failed: all workers are shut down" +
                   (payload_.empty() ? std::string() : " (" + payload_ + ")");
        case ErrorKind::LibraryLoad: return "failed to load libngspice: " + payload_;
    }
    return payload_;
}

}  // namespace tavlo
