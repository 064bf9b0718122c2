#include "tavlo/protocol/protocol.hpp"

#include <unistd.h>

#include <cstring>
#include <limits>

namespace tavlo {

// ---- writing ----

Status StringSink::write(const char* data, std::size_t n) {
    bytes.append(data, n);
    return ok_status();
}

FdWriter::FdWriter(int fd, std::size_t capacity) : fd_(fd), capacity_(capacity) { buf_.reserve(capacity); }

Status FdWriter::write(const char* data, std::size_t n) {
    if (buf_.size() + n > capacity_) {
        if (Status s = flush(); !s) return s;
        if (n >= capacity_) return write_fd(fd_, data, n);
    }
    buf_.append(data, n);
    return ok_status();
}

Status FdWriter::flush() {
    Status s = write_fd(fd_, buf_.data(), buf_.size());
    buf_.clear();
    return s;
}

Status write_wire_response(ByteSink& out, const std::string& id, bool success,
                           const std::vector<VectorData>& vectors, const std::vector<std::string>& log,
                           const std::optional<std::string>& error, const std::vector<Measure>& measures,
                           bool exiting) {
    WireHeader h{id, success, {}, log, error, measures, exiting};
    h.vecs.reserve(vectors.size());
    for (const auto& v : vectors) h.vecs.push_back(meta_of(v));
    std::string header = encode_header(h);
    auto n = static_cast<std::uint32_t>(header.size());
    char prefix[4] = {static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                      static_cast<char>((n >> 16) & 0xff), static_cast<char>((n >> 24) & 0xff)};
    if (Status s = out.write(prefix, 4); !s) return s;
    if (Status s = out.write(header.data(), header.size()); !s) return s;
    for (const auto& v : vectors) {
        Status s = v.complex ? out.write(reinterpret_cast<const char*>(v.complex->data()), v.complex->size() * 16)
                             : out.write(reinterpret_cast<const char*>(v.real.data()), v.real.size() * 8);
        if (!s) return s;
    }
    return out.flush();
}

// ---- reading ----

NgspiceError read_failure(std::string_view step, const std::string& io_text) {
    return NgspiceError::worker_crashed("stdout read (" + std::string(step) + ") failed: " + io_text);
}

namespace {
// Header bytes are taken in pieces of this size, so memory follows what actually arrives.
constexpr std::size_t kHeaderPiece = 64 * 1024;
}  // namespace

std::string_view FrameParser::step() const {
    switch (state_) {
        case State::Len: return "header len";
        case State::Header: return "header";
        default: return vec_ < parsed_.vecs.size() && parsed_.vecs[vec_].is_complex ? "complex vec" : "vec data";
    }
}

NgspiceError FrameParser::read_failed(const std::string& io_text) const { return read_failure(step(), io_text); }

void FrameParser::fail(NgspiceError e) {
    error_ = std::move(e);
    state_ = State::Failed;
}

std::pair<char*, std::size_t> FrameParser::next() {
    switch (state_) {
        case State::Len: return {reinterpret_cast<char*>(prefix_), 4};
        case State::Header: {
            std::size_t n = std::min<std::size_t>(kHeaderPiece, header_len_ - filled_);
            header_.resize(filled_ + n);
            pending_ = n;
            return {header_.data() + filled_, n};
        }
        case State::Payload: {
            std::size_t n = std::min(kChunk, total_ - filled_);
            samples_.resize((filled_ + n) / 8);
            pending_ = n;
            return {reinterpret_cast<char*>(samples_.data()) + filled_, n};
        }
        default: return {nullptr, 0};
    }
}

void FrameParser::commit() {
    switch (state_) {
        case State::Len:
            header_len_ = prefix_[0] | (prefix_[1] << 8) | (prefix_[2] << 16) | (std::uint32_t(prefix_[3]) << 24);
            if (header_len_ > kMaxHeaderLen)
                return fail(read_failure("header", "announced header length " + std::to_string(header_len_) +
                                                       " exceeds the limit of " + std::to_string(kMaxHeaderLen)));
            state_ = State::Header;
            filled_ = 0;
            if (header_len_ > 0) return;
            break;  // an empty header is decoded (and refused) at once
        case State::Header:
            filled_ += pending_;
            pending_ = 0;
            if (filled_ < header_len_) return;
            break;
        case State::Payload:
            filled_ += pending_;
            pending_ = 0;
            if (filled_ == total_) finish_vector();
            return;
        default: return;
    }
    Result<WireHeader> h = decode_header(header_);
    if (!h) return fail(h.error());
    parsed_ = std::move(*h);
    exiting_ = parsed_.exiting;
    header_ = std::string();
    vectors_.reserve(parsed_.vecs.size());
    vec_ = 0;
    start_vector();
}

void FrameParser::start_vector() {
    for (; vec_ < parsed_.vecs.size(); ++vec_) {
        const WireVecMeta& meta = parsed_.vecs[vec_];
        std::uint64_t width = meta.is_complex ? 16 : 8;
        if (meta.len > std::numeric_limits<std::size_t>::max() / width) {
            state_ = State::Payload;  // so the message names this vector's step
            return fail(read_failed("announced vector length " + std::to_string(meta.len) + " is too large"));
        }
        total_ = static_cast<std::size_t>(meta.len * width);
        filled_ = pending_ = 0;
        samples_.clear();
        if (total_ > 0) {
            state_ = State::Payload;
            return;
        }
        VectorData& empty = vectors_.emplace_back(VectorData{meta.name, {}, std::nullopt, meta.is_scale});
        if (meta.is_complex) empty.complex.emplace();
    }
    state_ = State::Done;
}

void FrameParser::finish_vector() {
    WireVecMeta& meta = parsed_.vecs[vec_];
    VectorData v{std::move(meta.name), {}, std::nullopt, meta.is_scale};
    if (!meta.is_complex) {
        v.real = std::move(samples_);
    } else {
        std::size_t n = samples_.size() / 2;
        v.real.resize(n);
        std::vector<std::complex<double>> pairs(n);
        for (std::size_t i = 0; i < n; ++i) {
            v.real[i] = samples_[2 * i];
            pairs[i] = {samples_[2 * i], samples_[2 * i + 1]};
        }
        v.complex = std::move(pairs);
    }
    samples_ = {};
    vectors_.push_back(std::move(v));
    ++vec_;
    start_vector();
}

Result<SimulationResponse> FrameParser::take() {
    if (error_) return std::move(*error_);
    return SimulationResponse{std::move(parsed_.id), parsed_.success, std::move(vectors_), std::move(parsed_.log),
                              std::move(parsed_.error), std::move(parsed_.measures)};
}

Result<Unit> StringSource::read_exact(char* buf, std::size_t n) {
    if (bytes_.size() - pos_ < n) {
        pos_ = bytes_.size();
        return NgspiceError::io("early eof");
    }
    std::memcpy(buf, bytes_.data() + pos_, n);
    pos_ += n;
    return ok_status();
}

Result<SimulationResponse> read_frame(ByteSource& in) {
    FrameParser parser;
    while (!parser.done()) {
        auto [buf, n] = parser.next();
        if (auto r = in.read_exact(buf, n); !r) return parser.read_failed(r.error().payload());
        parser.commit();
    }
    return parser.take();
}

}  // namespace tavlo
