#pragma once
// Finding the worker executable, the children a pool started, and one started worker process.

#include <sys/types.h>

#include <asio/awaitable.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tavlo/base/error.hpp"
#include "tavlo/protocol/protocol.hpp"

namespace tavlo {

/// The executable that every worker of a pool starts.
struct WorkerBinary {
    std::string path;
    std::vector<std::string> args;
};

/// NGSPICE_WORKER_BIN, next to the running executable, $VIRTUAL_ENV/bin, then PATH; InitFailed
/// ("could not find 'ngspice-worker' binary. …") when none exists.
Result<WorkerBinary> find_worker_binary();

/// Every child a pool started and has not reaped yet. Signals go only to registered pids, under
/// the lock that reaping takes too, so a pid the system has recycled is never signalled. Dropped
/// children are reaped here, by later calls and at the latest by terminate_all: no thread of our
/// own waits for them, and none outlives the pool.
class ChildRegistry {
public:
    ChildRegistry();
    ~ChildRegistry();
    void add(pid_t pid);
    /// Reaps the child if it has ended; true when it is gone (or was never ours).
    bool reap_if_exited(pid_t pid);
    /// SIGKILL and wait for it.
    void kill_and_reap(pid_t pid);
    /// Its handle is gone: the child ends on its own (end of input) and is reaped later.
    void orphan(pid_t pid);
    /// SIGTERM to every child, SIGKILL to those still there after `grace`, and reap them all.
    void terminate_all(std::chrono::milliseconds grace);
    std::size_t size();

private:
    void reap_orphans_locked();
    std::mutex mu_;
    std::map<pid_t, bool> children_;  // pid -> orphaned
};

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

/// Reads one response frame with the pool's messages; `exiting` learns whether the worker said
/// it ends after this frame.
asio::awaitable<Result<SimulationResponse>> read_binary_response(BufferedReader& in, bool* exiting = nullptr);

/// One started worker. Dropping it closes both pipes; the child ends on its own at end of input
/// and its registry reaps it.
class WorkerProcess {
public:
    static Result<WorkerProcess> spawn(const WorkerBinary& binary, const asio::any_io_executor& executor,
                                       std::shared_ptr<ChildRegistry> registry);

    WorkerProcess(WorkerProcess&&) noexcept;
    WorkerProcess& operator=(WorkerProcess&&) noexcept;
    ~WorkerProcess();

    /// Never blocks; remembers a collected status, so later calls also answer true.
    bool has_exited();

    /// Writes one request and reads its answer, each bounded by `timeout`. Any error means the
    /// stream can no longer be trusted (a time-out, a short read, a header that does not decode,
    /// an answer to another request): the caller must replace the process.
    asio::awaitable<Result<SimulationResponse>> run(const SimulationRequest& request,
                                                    std::chrono::nanoseconds timeout);

    /// The last answer said the worker ends now.
    bool exiting() const { return exiting_; }
    std::uint64_t requests() const { return requests_; }
    /// Resident memory in bytes, 0 when unknown.
    std::uint64_t rss() const;

    /// SIGKILL and reap: used when the stream can no longer be trusted.
    void kill_and_reap();

    pid_t pid() const { return pid_; }

private:
    WorkerProcess(pid_t pid, asio::posix::stream_descriptor in, asio::posix::stream_descriptor out,
                  std::shared_ptr<ChildRegistry> registry)
        : pid_(pid), stdin_(std::move(in)), stdout_(std::move(out)), registry_(std::move(registry)) {}
    void release();

    pid_t pid_ = -1;
    bool gone_ = false;
    bool exiting_ = false;
    std::uint64_t requests_ = 0;
    asio::posix::stream_descriptor stdin_;
    BufferedReader stdout_;
    std::shared_ptr<ChildRegistry> registry_;
};

/// "worker timed out after {}s" with whole seconds, as the caller sees it.
std::string timeout_message(std::chrono::nanoseconds timeout);

}  // namespace tavlo
