#pragma once
// N long-lived worker processes fed from one bounded queue, with time-outs, crash detection and
// respawn. Callers await run_simulation(); nothing outside the pool sees its machinery.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tavlo/base/error.hpp"
#include "tavlo/pool/fault_lines.hpp"
#include "tavlo/pool/queue.hpp"
#include "tavlo/protocol/protocol.hpp"

namespace tavlo {

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

}  // namespace tavlo
