#pragma once
// N long-lived worker processes fed from one bounded queue, with time-outs, crash detection and
// respawn. Callers await run_simulation(); nothing outside the pool sees its machinery.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tavlo/base/error.hpp"
#include "tavlo/protocol/protocol.hpp"

namespace tavlo {

using Reply = Result<SimulationResponse>;

/// A caller's interest in one request. Abandoning it (Ctrl-C, a failed characterisation)
/// makes a worker skip the request if it is still queued; a running one finishes unread.
class CallState {
public:
    void abandon() { abandoned_.store(true, std::memory_order_relaxed); }
    bool abandoned() const { return abandoned_.load(std::memory_order_relaxed); }

    /// Jobs of a call made of many (a characterisation): the caller's thread reads them to show
    /// progress while the runtime's threads do the work.
    void set_jobs(std::size_t total) { total_.store(total, std::memory_order_relaxed); }
    void job_done() { done_.fetch_add(1, std::memory_order_relaxed); }
    std::size_t jobs_done() const { return done_.load(std::memory_order_relaxed); }
    std::size_t jobs_total() const { return total_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> abandoned_{false};
    std::atomic<std::size_t> done_{0}, total_{0};
};

/// When a worker is replaced although it is healthy: ngspice leaks a little per failing netlist,
/// and a huge request leaves a large heap behind.
struct RecyclePolicy {
    /// Requests a worker serves before it is replaced; 0 never.
    std::uint64_t max_requests = 0;
    /// Growth of resident memory over its size after its first request; 0 never.
    std::uint64_t max_rss_growth = 0;
};

struct PoolOptions {
    std::uint32_t workers = 1;
    std::chrono::nanoseconds timeout = std::chrono::seconds(120);
    std::optional<std::string> worker_exe;
    RecyclePolicy recycle;
    /// Log "channel closed, exiting" when a normal close ends a worker (faults are always logged).
    bool log_close = true;
};

/// Largest worker count a pool accepts: beyond it descriptors and processes run out long before
/// any gain.
constexpr std::uint32_t kMaxWorkers = 1024;

namespace detail {
struct PoolShared;
}

class WorkerPool {
public:
    /// Resolves the worker binary and starts one task per worker on `executor`; does not wait
    /// for any process to start. `workers` must be 1 to kMaxWorkers.
    static Result<std::shared_ptr<WorkerPool>> create(const asio::any_io_executor& executor, PoolOptions options);
    static Result<std::shared_ptr<WorkerPool>> create(const asio::any_io_executor& executor, std::uint32_t workers,
                                                      std::chrono::nanoseconds timeout,
                                                      std::optional<std::string> worker_exe);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    /// Queues the request (waiting while the queue is full) and awaits its answer.
    asio::awaitable<Reply> run_simulation(SimulationRequest request,
                                          std::shared_ptr<CallState> call = nullptr) const;

    /// What run_here() did.
    enum class Here { NotTaken, Done, Interrupted };

    /// Runs the request on the calling thread when a worker is idle and nothing is queued, with
    /// the same time-out, checks and replacement of a failed worker as run_simulation(), but
    /// without handing the request to the runtime's threads and back. NotTaken: no worker was
    /// idle, use run_simulation(). Interrupted: `interrupted()` said so before the answer began
    /// to arrive; the worker reads and drops the answer itself.
    Here run_here(const SimulationRequest& request, const std::function<bool()>& interrupted, Reply& out) const;

    /// Refuses new requests, fails queued ones, and ends every worker process (SIGTERM, then
    /// SIGKILL after `grace`), busy or not, and reaps it. The runtime's work then drains by
    /// itself: join it, then call close() again to reap anything started meanwhile. Idempotent.
    void close(std::chrono::milliseconds grace = std::chrono::milliseconds(500));

    /// Worker processes started and not yet reaped.
    std::size_t live_processes() const;

private:
    explicit WorkerPool(std::shared_ptr<detail::PoolShared> shared) : shared_(std::move(shared)) {}
    std::shared_ptr<detail::PoolShared> shared_;
};

/// Writes one whole line to standard error, never interleaved with another; a fault's line is
/// also kept for take_fault_lines() once keep_fault_lines(true) was called.
void log_line(const std::string& line, bool fault = true);
void keep_fault_lines(bool on);
/// The fault lines kept since the last call, oldest first (at most the last 1000).
std::vector<std::string> take_fault_lines();

}  // namespace tavlo
