#pragma once
// Finding the worker executable, and one started worker process with its pipes.

#include <sys/types.h>

#include <asio/awaitable.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tavlo/error.hpp"
#include "tavlo/protocol.hpp"

namespace tavlo {

/// The executable that every worker of a pool starts.
struct WorkerBinary {
    std::string path;
    std::vector<std::string> args;  // empty, or {"--worker"} for the last-resort fallback
};

/// NGSPICE_WORKER_BIN, next to the running executable, $VIRTUAL_ENV/bin, PATH, then self --worker.
Result<WorkerBinary> find_worker_binary();

/// Reads a worker's standard output through an 8192-byte buffer.
class BufferedReader {
public:
    explicit BufferedReader(asio::posix::stream_descriptor fd) : fd_(std::move(fd)), buf_(8192) {}
    /// Exactly n bytes; "early eof" when the stream ends first.
    asio::awaitable<Status> read_exact(char* dst, std::size_t n);

private:
    asio::posix::stream_descriptor fd_;
    std::vector<char> buf_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
};

/// Reads one response frame (same decoding as the blocking reader, with the pool's messages).
asio::awaitable<Result<SimulationResponse>> read_binary_response(BufferedReader& in);

/// One started worker. Dropping it closes both pipes; the child ends on its own at end of
/// input and is reaped in the background, so no zombie is left behind.
class WorkerProcess {
public:
    static Result<WorkerProcess> spawn(const WorkerBinary& binary, const asio::any_io_executor& executor);

    WorkerProcess(WorkerProcess&&) noexcept;
    WorkerProcess& operator=(WorkerProcess&&) noexcept;
    ~WorkerProcess();

    /// Never blocks; remembers a collected status, so later calls also answer true.
    bool has_exited();

    /// Writes one request and reads its answer, the answer bounded by `timeout`.
    /// A time-out is the only SimulationFailed error this returns.
    asio::awaitable<Result<SimulationResponse>> run(const SimulationRequest& request,
                                                    std::chrono::nanoseconds timeout);

    /// SIGKILL and reap: used when the stream can no longer be trusted.
    void kill_and_reap();

    pid_t pid() const { return pid_; }

private:
    WorkerProcess(pid_t pid, asio::posix::stream_descriptor in, asio::posix::stream_descriptor out)
        : pid_(pid), stdin_(std::move(in)), stdout_(std::move(out)) {}
    void release();

    pid_t pid_ = -1;
    bool reaped_ = false;
    asio::posix::stream_descriptor stdin_;
    BufferedReader stdout_;
};

/// "worker timed out after {}s" with whole seconds, as the caller sees it.
std::string timeout_message(std::chrono::nanoseconds timeout);

}  // namespace tavlo
