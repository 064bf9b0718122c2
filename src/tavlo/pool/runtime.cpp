#include "tavlo/pool/runtime.hpp"

#include <sched.h>
#include <unistd.h>

namespace tavlo {

std::uint32_t available_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::uint32_t>(n);
    }
    return 1;
}

Result<std::unique_ptr<PoolRuntime>> PoolRuntime::create(PoolOptions options) {
    const std::uint32_t workers = options.workers;
    auto runtime = std::make_unique<asio::thread_pool>(available_cores());
    Result<std::shared_ptr<WorkerPool>> pool = WorkerPool::create(runtime->get_executor(), std::move(options));
    if (!pool) {
        runtime->join();  // no task was started
        return pool.error();
    }
    return std::unique_ptr<PoolRuntime>(new PoolRuntime(std::move(runtime), std::move(*pool), workers));
}

PoolRuntime::Call::Call(PoolRuntime& rt) : rt_(rt), access_(Access::Open) {
    if (forked_since(rt.owner_)) {
        access_ = Access::Foreign;  // its lock may have been held by a thread that is not here
        return;
    }
    std::lock_guard lock(rt.mu_);
    if (rt.closed_)
        access_ = Access::Closed;
    else
        ++rt.calls_;
}

PoolRuntime::Call::~Call() {
    if (access_ != Access::Open) return;
    std::lock_guard lock(rt_.mu_);
    if (--rt_.calls_ == 0) rt_.idle_.notify_all();
}

std::optional<Reply> PoolRuntime::run(SimulationRequest request, const std::shared_ptr<CallState>& call,
                                      const std::function<bool()>& interrupted) {
    Reply reply = NgspiceError::worker_crashed("no answer");
    // On the calling thread when a worker is idle: no hand-off to the runtime's threads and back.
    switch (pool_->run_here(request, interrupted, reply)) {
        case WorkerPool::Here::Done: return reply;
        case WorkerPool::Here::Interrupted: call->abandon(); return std::nullopt;
        case WorkerPool::Here::NotTaken: break;
    }
    std::optional<Reply> queued = wait(pool_->run_simulation(std::move(request), call), interrupted);
    if (!queued) call->abandon();
    return queued;
}

void PoolRuntime::close() {
    if (forked_since(owner_)) {
        // Let go without destroying: the runtime's threads, the workers and their pipes are the
        // parent's, and tearing them down here would wait for threads this process does not have.
        closed_ = true;
        if (!runtime_) return;
        (void)runtime_.release();
        new std::shared_ptr<WorkerPool>(std::move(pool_));
        return;
    }
    {
        std::lock_guard lock(mu_);
        if (closed_) return;
        closed_ = true;
    }
    pool_->close(std::chrono::milliseconds(200));
    {
        std::unique_lock lock(mu_);
        idle_.wait(lock, [&] { return calls_ == 0; });
    }
    runtime_->join();
    pool_->close(std::chrono::milliseconds(200));  // anything started while draining
    pool_.reset();
    runtime_.reset();
}

}  // namespace tavlo
