#pragma once
// Finding the worker executable, the children a pool started, and one started worker process.

#include <sys/types.h>

#include <asio/awaitable.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
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
    /// Bytes read ahead and not consumed yet.
    std::size_t buffered() const { return end_ - pos_; }
    int native_handle() { return fd_.native_handle(); }
    asio::posix::stream_descriptor& descriptor() { return fd_; }

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

    /// The exchange of run() made on the calling thread with poll(2), between leave_event_loop()
    /// and rejoin_event_loop(): it saves the two thread hand-offs of the runtime.
    /// `interrupted` is asked every 50 ms until the answer starts to arrive; when it says true,
    /// returns nothing: the request is written and its answer is still to come (drain() reads it).
    std::optional<Result<SimulationResponse>> run_here(const SimulationRequest& request,
                                                       std::chrono::nanoseconds timeout,
                                                       const std::function<bool()>& interrupted);

    /// Takes the pipes out of the runtime's event loop for run_here(), whose traffic would
    /// otherwise wake a runtime thread for nothing on every answer, and puts them back.
    void leave_event_loop();
    void rejoin_event_loop();

    /// Reads and drops the answer to a request whose caller left; an error means the stream can
    /// no longer be trusted.
    asio::awaitable<Status> drain(std::chrono::nanoseconds timeout);

    /// Nothing is read ahead of the next answer, so run_here() may serve it.
    bool stream_idle() const { return stdout_.buffered() == 0 && !out_of_step_; }

    /// run_here() found bytes after an answer: the stream is out of step and the process must go.
    bool out_of_step() const { return out_of_step_; }

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
    bool out_of_step_ = false;
    int raw_in_ = -1, raw_out_ = -1;  // the pipes while out of the event loop
    std::uint64_t requests_ = 0;
    asio::posix::stream_descriptor stdin_;
    BufferedReader stdout_;
    std::shared_ptr<ChildRegistry> registry_;
};

/// "worker timed out after {}s" with whole seconds, as the caller sees it.
std::string timeout_message(std::chrono::nanoseconds timeout);

}  // namespace tavlo
