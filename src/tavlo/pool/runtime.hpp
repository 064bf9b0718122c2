#pragma once
// A pool with the runtime it runs on, for callers on threads of their own (the Python module):
// each call runs on the calling thread when a worker is idle, else through the runtime's queue.

#include <sys/types.h>

#include <asio/thread_pool.hpp>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "tavlo/pool/block_on.hpp"
#include "tavlo/pool/worker_pool.hpp"
#include "tavlo/pool/worker_process.hpp"

namespace tavlo {

/// Cores this process may run on (at least 1).
std::uint32_t available_cores();

class PoolRuntime {
public:
    /// A runtime with one thread per available core, and the pool on it.
    static Result<std::unique_ptr<PoolRuntime>> create(PoolOptions options);
    ~PoolRuntime() { close(); }
    PoolRuntime(const PoolRuntime&) = delete;
    PoolRuntime& operator=(const PoolRuntime&) = delete;

    enum class Access { Open, Closed, Foreign };

    /// One call's hold on the pool: close() waits for the calls in flight before it stops the
    /// runtime they run on. A closed pool, or one in a forked copy of the process that opened
    /// it (its workers and runtime threads belong to the parent), takes no calls.
    class Call {
    public:
        explicit Call(PoolRuntime& rt);
        ~Call();
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        Access access() const { return access_; }

    private:
        PoolRuntime& rt_;
        Access access_;
    };

    /// Runs one request; nothing when `interrupted()` (asked every kInterruptPeriod) said so
    /// before the answer began, and the request is then abandoned.
    std::optional<Reply> run(SimulationRequest request, const std::shared_ptr<CallState>& call,
                             const std::function<bool()>& interrupted);

    /// Waits for `work` on the runtime; nothing when `interrupted()` said so (the caller
    /// abandons its call).
    template <class T>
    std::optional<T> wait(asio::awaitable<T> work, const std::function<bool()>& interrupted) {
        return block_on(runtime_->get_executor(), std::move(work), interrupted, kInterruptPeriod);
    }

    /// Ends every worker (busy ones too), lets the calls in flight and the runtime's work drain,
    /// and stops the runtime: nothing is left running and no operation is destroyed half-way.
    /// In a forked copy of the opening process it only lets go: the parent's workers stay
    /// untouched and nothing waits for threads that do not exist here. Idempotent.
    void close();

    const std::shared_ptr<WorkerPool>& pool() const { return pool_; }
    std::uint32_t workers() const { return workers_; }

private:
    PoolRuntime(std::unique_ptr<asio::thread_pool> runtime, std::shared_ptr<WorkerPool> pool, std::uint32_t workers)
        : runtime_(std::move(runtime)), pool_(std::move(pool)), workers_(workers) {}

    std::unique_ptr<asio::thread_pool> runtime_;
    std::shared_ptr<WorkerPool> pool_;
    std::uint32_t workers_;
    pid_t owner_ = ::getpid();
    std::mutex mu_;
    std::condition_variable idle_;
    int calls_ = 0;
    bool closed_ = false;
};

}  // namespace tavlo
