#pragma once
// Where requests come from and frames go: private copies of descriptors 0 and 1, read line by line.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>

#include "tavlo/base/error.hpp"
#include "tavlo/base/text.hpp"

namespace tavlo::detail {

// Frames go to a private copy of descriptor 1 and requests come from a private copy of
// descriptor 0. Descriptor 1 is pointed at standard error and descriptor 0 at /dev/null, so that
// ngspice's `shell` command, code models or a .spiceinit can neither write into the frame stream
// nor swallow requests. The copies are close-on-exec, so `shell` children never hold the pipes.
class PrivateStreams {
public:
    Status open() {
        out_ = fcntl(1, F_DUPFD_CLOEXEC, 3);
        if (out_ < 0) return NgspiceError::from_errno(errno);
        in_ = fcntl(0, F_DUPFD_CLOEXEC, 3);
        if (in_ < 0) return NgspiceError::from_errno(errno);
        if (dup2(2, 1) < 0) redirect_to_null(1, O_WRONLY);
        redirect_to_null(0, O_RDONLY);
        return ok_status();
    }
    ~PrivateStreams() {
        restore(out_, 1);
        restore(in_, 0);
    }
    int in() const { return in_; }
    int out() const { return out_; }

private:
    static void redirect_to_null(int fd, int mode) {
        int null = ::open("/dev/null", mode | O_CLOEXEC);
        if (null < 0) return;
        dup2(null, fd);
        close(null);
    }
    static void restore(int saved, int fd) {
        if (saved < 0) return;
        dup2(saved, fd);
        close(saved);
    }
    int in_ = -1;
    int out_ = -1;
};

// Lines split at line feeds; "\n" or "\r\n" removed; each must be UTF-8.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}

    /// False at end of input.
    Result<bool> next(std::string& line) {
        for (;;) {
            std::size_t nl = buf_.find('\n', scanned_);
            if (nl != std::string::npos) {
                line.assign(buf_, pos_, nl - pos_);
                pos_ = scanned_ = nl + 1;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                break;
            }
            scanned_ = buf_.size();
            if (eof_) {
                if (pos_ == buf_.size()) return false;
                line.assign(buf_, pos_);
                pos_ = scanned_ = buf_.size();
                break;
            }
            if (Status s = fill(); !s) return s.error();
        }
        if (!is_valid_utf8(line)) return NgspiceError::io("stream did not contain valid UTF-8");
        return true;
    }

private:
    Status fill() {
        buf_.erase(0, pos_);
        scanned_ -= pos_;
        pos_ = 0;
        await_input();
        ssize_t n;
        do {
            n = ::read(fd_, chunk_.get(), kChunk);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return NgspiceError::from_errno(errno);
        if (n == 0) eof_ = true;
        buf_.append(chunk_.get(), static_cast<std::size_t>(n));
        return ok_status();
    }

    // Watches for input for a moment before read() may put the thread to sleep: a pool with
    // queued work sends the next request within microseconds, while waking a sleeping core
    // costs tens of them on virtual machines. Costs at most kWatch of processor time an answer.
    void await_input() const {
        auto until = std::chrono::steady_clock::now() + kWatch;
        pollfd p{fd_, POLLIN, 0};
        while (poll(&p, 1, 0) == 0 && std::chrono::steady_clock::now() < until) {
        }
    }

    static constexpr auto kWatch = std::chrono::microseconds(50);
    static constexpr std::size_t kChunk = 64 * 1024;
    int fd_;
    std::unique_ptr<char[]> chunk_ = std::make_unique_for_overwrite<char[]>(kChunk);
    std::string buf_;
    std::size_t pos_ = 0;      // start of the next line
    std::size_t scanned_ = 0;  // bytes known to hold no line feed
    bool eof_ = false;
};

}  // namespace tavlo::detail
