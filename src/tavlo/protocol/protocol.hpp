#pragma once
// The pool-worker wire format: one compact JSON request per line, answered by one
// length-prefixed frame (JSON header, then raw little-endian binary64 samples).

#include <bit>
#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tavlo/base/error.hpp"
#include "tavlo/base/io.hpp"
#include "tavlo/base/text.hpp"

namespace tavlo {

static_assert(std::endian::native == std::endian::little, "samples are copied as little-endian blocks");

using Measure = std::pair<std::string, double>;

/// One simulation job as the pool sends it.
struct SimulationRequest {
    std::string id;
    std::string netlist;
    std::vector<std::string> commands;
    std::optional<std::vector<std::string>> return_vectors;
    /// Parameter values to set with `alterparam` before the commands. A request that carries them
    /// (even none) may run on the circuit that the worker kept from an earlier request with the
    /// same netlist text, instead of parsing it again.
    std::optional<std::vector<std::pair<std::string, double>>> params;
};

/// The environment variable by which a pool tells its workers how much resident memory the
/// circuits they keep parsed may add (bytes, decimal).
inline constexpr const char* kKeepBytesVariable = "TAVLO_WORKER_KEEP_BYTES";

/// Description of one vector payload in a frame.
struct WireVecMeta {
    std::string name;
    std::uint64_t len = 0;
    bool is_scale = false;
    bool is_complex = false;
};

/// The JSON part of a response frame.
struct WireHeader {
    std::string id;
    bool success = false;
    std::vector<WireVecMeta> vecs;
    std::vector<std::string> log;
    std::optional<std::string> error;
    std::vector<Measure> measures;
    /// The worker ends after this frame (ngspice asked to exit); written only when true.
    bool exiting = false;
};

/// One result vector in memory; `real` always has the sample count.
struct VectorData {
    std::string name;
    std::vector<double> real;
    std::optional<std::vector<std::complex<double>>> complex;
    bool is_scale = false;
};

/// The result of one simulation as the pool hands it on.
struct SimulationResponse {
    std::string id;
    bool success = false;
    std::vector<VectorData> vectors;
    std::vector<std::string> log;
    std::optional<std::string> error;
    std::vector<Measure> measures;
};

/// True for "time", "frequency" and "v-sweep", ignoring ASCII case.
bool is_scale_name(std::string_view name);

WireVecMeta meta_of(const VectorData& v);

/// Compact JSON of the request followed by one line feed.
std::string encode_request_line(const SimulationRequest& request);
Result<SimulationRequest> decode_request(std::string_view json);

std::string encode_header(const WireHeader& header);
Result<WireHeader> decode_header(std::string_view json);

// ---- writing frames ----

/// A byte stream that frames are written to.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual Status write(const char* data, std::size_t n) = 0;
    virtual Status flush() = 0;
};

/// Collects bytes in memory (tests, and callers that want the frame as a string).
class StringSink final : public ByteSink {
public:
    Status write(const char* data, std::size_t n) override;
    Status flush() override { return ok_status(); }
    std::string bytes;
};

/// Buffered writer over a file descriptor; errors carry the OS text.
class FdWriter final : public ByteSink {
public:
    explicit FdWriter(int fd, std::size_t capacity = 8192);
    Status write(const char* data, std::size_t n) override;
    Status flush() override;

private:
    int fd_;
    std::string buf_;
    std::size_t capacity_;
};

/// Writes one complete frame and flushes.
Status write_wire_response(ByteSink& out, const std::string& id, bool success,
                           const std::vector<VectorData>& vectors, const std::vector<std::string>& log,
                           const std::optional<std::string>& error, const std::vector<Measure>& measures,
                           bool exiting = false);

// ---- reading frames ----

/// Largest header a reader accepts. A header is JSON metadata (names, log lines, measures); a
/// larger announcement means the stream is broken, and only that request fails.
constexpr std::uint32_t kMaxHeaderLen = 64u << 20;

/// Reads one response frame incrementally, for the blocking reader below and the pool's
/// asynchronous one alike: ask for the next region, fill it completely, commit. Memory grows only
/// as bytes actually arrive, so a lying length cannot make the reader allocate it up front.
class FrameParser {
public:
    /// The next region to fill; never empty while !done() (a zero-length header is decoded on commit).
    std::pair<char*, std::size_t> next();
    /// The region from next() holds its bytes now; may finish the frame.
    void commit();
    bool done() const { return state_ == State::Done || state_ == State::Failed; }
    /// The WorkerCrashed error of the step being read, e.g. "stdout read (header len) failed: early eof".
    NgspiceError read_failed(const std::string& io_text) const;
    /// Once done(): the response, or why the frame is unusable (Serialization for a header that does
    /// not decode, WorkerCrashed for an oversized announcement).
    Result<SimulationResponse> take();
    /// Once done(): the worker said it ends after this frame.
    bool worker_exiting() const { return exiting_; }

    static constexpr std::size_t kChunk = 1 << 20;

private:
    enum class State { Len, Header, Payload, Done, Failed };
    void fail(NgspiceError e);
    void start_vector();
    void finish_vector();
    std::string_view step() const;

    State state_ = State::Len;
    unsigned char prefix_[4] = {};
    std::uint32_t header_len_ = 0;
    std::string header_;
    WireHeader parsed_;
    std::size_t vec_ = 0;             // index into parsed_.vecs
    std::vector<double> samples_;     // interleaved re/im for complex vectors
    std::size_t total_ = 0, filled_ = 0, pending_ = 0;
    std::vector<VectorData> vectors_;
    std::optional<NgspiceError> error_;
    bool exiting_ = false;
};

/// The crash message of one read step, e.g. "stdout read (header len) failed: early eof".
NgspiceError read_failure(std::string_view step, const std::string& io_text);

/// A byte stream that frames are read from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    /// Reads exactly n bytes; end of stream first gives the text "early eof".
    virtual Result<Unit> read_exact(char* buf, std::size_t n) = 0;
};

class StringSource final : public ByteSource {
public:
    explicit StringSource(std::string bytes) : bytes_(std::move(bytes)) {}
    Result<Unit> read_exact(char* buf, std::size_t n) override;

private:
    std::string bytes_;
    std::size_t pos_ = 0;
};

/// Reads one frame in the pool's order and with the pool's error messages.
Result<SimulationResponse> read_frame(ByteSource& in);

}  // namespace tavlo
