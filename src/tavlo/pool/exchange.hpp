#pragma once
// One request and its answer as a state machine without I/O of its own: its driver asks it for the
// bytes to write and where to put the bytes it reads, and tells it what happened. The calling
// thread drives it with poll(2), the runtime with Asio; both get the same checks and messages.

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tavlo/base/error.hpp"
#include "tavlo/protocol/protocol.hpp"

namespace tavlo {

/// "worker timed out after {}s" with whole seconds, as the caller sees it.
std::string timeout_message(std::chrono::nanoseconds timeout);

class Exchange {
public:
    /// Size of a worker's read buffer.
    static constexpr std::size_t kBufferSize = 8192;

    /// The exchange of `request`, reading through `buffer` (kBufferSize bytes, the worker's one
    /// buffer). Without `write`, its request went out earlier and only the answer is read.
    Exchange(const SimulationRequest& request, std::vector<char>& buffer, bool write = true);

    bool writing() const { return !done() && written_ < line_.size(); }
    /// What is still to be written.
    std::string_view to_write() const { return std::string_view(line_).substr(written_); }
    void wrote(std::size_t n) { written_ += n; }

    /// Where the next read puts its bytes: a large piece straight into the answer, a small one
    /// into the buffer.
    std::span<char> read_space();
    /// `n` (> 0) bytes have been read into read_space().
    void received(std::size_t n);

    /// The stream ended ("early eof") or a read failed, with the operating system's text.
    void read_failed(const std::string& io_text);
    void write_failed(const std::string& io_text);
    void timed_out(std::chrono::nanoseconds timeout);

    bool done() const { return error_.has_value() || parser_.done(); }
    /// Part of the answer has arrived.
    bool answering() const { return answering_; }

    /// Once done(): the answer, or why there is none. An answer to another request is an error.
    Result<SimulationResponse> take();
    /// Once done(): bytes came after the answer, so the stream is out of step.
    bool out_of_step() const { return !error_ && pos_ != end_; }
    /// Once done(): the worker said it ends after this answer.
    bool exiting() const { return !error_ && parser_.worker_exiting(); }

private:
    void consume();
    void advance();

    std::string id_;
    std::string line_;
    std::size_t written_ = 0;
    std::vector<char>& buf_;
    std::size_t pos_ = 0, end_ = 0;
    FrameParser parser_;
    char* dst_ = nullptr;
    std::size_t need_ = 0;
    bool direct_ = false;
    bool answering_ = false;
    std::optional<NgspiceError> error_;
};

}  // namespace tavlo
