#include "tavlo/pool/exchange.hpp"

#include <cstring>
#include <tuple>

#include "tavlo/base/format.hpp"

namespace tavlo {

std::string timeout_message(std::chrono::nanoseconds timeout) {
    double secs = static_cast<double>(timeout.count()) / 1e9;
    return "worker timed out after " + format_fixed(secs, 0) + "s";
}

Exchange::Exchange(const SimulationRequest& request, std::vector<char>& buffer, bool write)
    : id_(request.id), line_(write ? encode_request_line(request) : std::string()), buf_(buffer) {
    buf_.resize(kBufferSize);
    std::tie(dst_, need_) = parser_.next();
}

std::span<char> Exchange::read_space() {
    // Large pieces go straight to their place; small ones through the buffer, in few reads.
    direct_ = need_ >= buf_.size();
    return direct_ ? std::span<char>(dst_, need_) : std::span<char>(buf_.data(), buf_.size());
}

void Exchange::received(std::size_t n) {
    answering_ = true;
    if (direct_) {
        dst_ += n;
        need_ -= n;
        if (need_ == 0) advance();
        return;
    }
    pos_ = 0;
    end_ = n;
    consume();
}

void Exchange::consume() {
    while (!parser_.done() && pos_ < end_) {
        const std::size_t take = std::min(need_, end_ - pos_);
        std::memcpy(dst_, buf_.data() + pos_, take);
        pos_ += take;
        dst_ += take;
        need_ -= take;
        if (need_ == 0) advance();
    }
}

void Exchange::advance() {
    parser_.commit();
    if (!parser_.done()) std::tie(dst_, need_) = parser_.next();
}

void Exchange::read_failed(const std::string& io_text) {
    if (!done()) error_ = parser_.read_failed(io_text);
}

void Exchange::write_failed(const std::string& io_text) {
    if (!done()) error_ = NgspiceError::worker_crashed("stdin write failed: " + io_text);
}

void Exchange::timed_out(std::chrono::nanoseconds timeout) {
    if (!done()) error_ = NgspiceError::simulation_failed(timeout_message(timeout));
}

Result<SimulationResponse> Exchange::take() {
    if (error_) return *error_;
    Result<SimulationResponse> answer = parser_.take();
    // An answer to another request means the stream is out of step: never hand it on.
    if (answer && answer->id != id_)
        return NgspiceError::worker_crashed("answer out of step: expected id '" + id_ + "', got '" + answer->id +
                                            "'");
    return answer;
}

}  // namespace tavlo
