#include "tavlo/pool/worker_pool.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <mutex>

#include "tavlo/pool/worker_process.hpp"

namespace tavlo {

namespace {

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

const char* const kDash = " \xe2\x80\x94 ";  // " — "

std::string prefix(std::size_t index) { return "[pool] worker " + std::to_string(index) + ": "; }

// Requests or answers this large may leave a large heap behind: check the worker's memory then.
constexpr std::size_t kLargeExchange = std::size_t{1} << 20;
// Otherwise memory is checked every so many requests (reading /proc costs a few microseconds).
constexpr std::uint64_t kRssCheckEvery = 16;

NgspiceError pool_closed() { return NgspiceError::worker_crashed("the pool was closed"); }

}  // namespace

namespace detail {

/// One worker task's process and bookkeeping. Its task owns it; a calling thread may use it only
/// while it holds the task's lease from the queue.
struct WorkerSlot {
    std::size_t index;
    WorkerProcess proc;
    std::uint64_t rss_baseline = 0;
};

struct PoolShared {
    /// Closed, or the process is exiting (its exit ends every worker): failures are not faults then.
    bool ending() const { return closing || process_exiting(); }

    WorkQueue queue;
    WorkerBinary binary;
    PoolOptions options;
    std::shared_ptr<ChildRegistry> children = std::make_shared<ChildRegistry>();
    std::atomic<std::uint32_t> live_tasks;
    std::atomic<bool> closing{false};
    std::mutex mu;
    std::string last_spawn_error;  // guarded by mu

    PoolShared(WorkerBinary b, PoolOptions o)
        : queue(std::size_t{4} * o.workers), binary(std::move(b)), options(std::move(o)), live_tasks(options.workers) {}
};

}  // namespace detail

namespace {

using detail::PoolShared;
using detail::ReplyChannel;
using detail::Control;
using detail::QueueItem;
using detail::WorkerSlot;

struct TaskExit {
    std::shared_ptr<PoolShared> shared;
    ~TaskExit() {
        if (shared->live_tasks.fetch_sub(1) != 1 || shared->ending()) return;
        // No worker is left to serve the queue: refuse new requests and fail queued ones, saying why.
        std::string why;
        {
            std::lock_guard lock(shared->mu);
            why = "no worker process could be started: " + shared->last_spawn_error;
        }
        shared->queue.close(NgspiceError::pool_send_failed(why), NgspiceError::worker_crashed(why));
    }
};

Result<WorkerProcess> spawn(PoolShared& shared, const asio::any_io_executor& ex) {
    Result<WorkerProcess> p = WorkerProcess::spawn(shared.binary, ex, shared.children);
    if (!p) {
        std::lock_guard lock(shared.mu);
        shared.last_spawn_error = "'" + shared.binary.path + "': " + p.error().display();
    }
    return p;
}

/// Replaces the process after a crash or time-out, logging the outcome.
void respawn_after_failure(std::size_t index, PoolShared& shared, WorkerProcess& proc,
                           const asio::any_io_executor& ex) {
    if (shared.ending()) return;
    Result<WorkerProcess> fresh = spawn(shared, ex);
    if (fresh) {
        proc = std::move(*fresh);
        log_line(prefix(index) + "respawned successfully");
    } else {
        log_line(prefix(index) + "respawn failed" + kDash + fresh.error().display());
    }
}

std::size_t exchange_size(const SimulationRequest& request, const Reply& result) {
    std::size_t n = request.netlist.size();
    if (result)
        for (const VectorData& v : result->vectors) n += v.real.size() * (v.complex ? 16 : 8);
    return n;
}

/// After a good answer: whether the process should be replaced before it takes more work
/// (ngspice asked it to exit, it served long enough, or its memory grew too much).
bool due_for_replacement(WorkerSlot& slot, const RecyclePolicy& recycle, std::size_t exchange) {
    WorkerProcess& proc = slot.proc;
    if (proc.exiting()) return true;
    if (recycle.max_requests && proc.requests() >= recycle.max_requests) return true;
    if (recycle.max_rss_growth &&
        (slot.rss_baseline == 0 || proc.requests() % kRssCheckEvery == 0 || exchange >= kLargeExchange)) {
        const std::uint64_t rss = proc.rss();
        if (slot.rss_baseline == 0)
            slot.rss_baseline = rss;
        else if (rss > slot.rss_baseline + recycle.max_rss_growth)
            return true;
    }
    return false;
}

void log_failure(std::size_t index, const NgspiceError& error) {
    log_line(prefix(index) + "crashed during simulation" + kDash + error.payload());
}

/// What an exchange leaves its worker to do, whichever route ran it: a failed exchange (or one
/// with bytes after its answer) replaces the process, logged as a crash; a good one may make it
/// due for recycling. A failure caused by closing the pool says so, as queued requests do.
Control after_exchange(WorkerSlot& slot, PoolShared& shared, std::size_t exchanged, Reply& result) {
    if (!result) {
        if (shared.ending()) {
            result = pool_closed();
        } else {
            log_failure(slot.index, result.error());
        }
        return Control::Respawn;
    }
    if (slot.proc.out_of_step()) {
        log_line(prefix(slot.index) + "output after its answer, replacing it");
        return Control::Respawn;
    }
    return due_for_replacement(slot, shared.options.recycle, exchanged) ? Control::Recycle : Control::None;
}

/// Replaces a process that is idle: it loses nothing and leaves no zombie behind.
void replace_idle(WorkerSlot& slot, PoolShared& shared, const asio::any_io_executor& ex) {
    slot.proc.kill_and_reap();
    if (shared.ending()) return;
    Result<WorkerProcess> fresh = spawn(shared, ex);
    if (fresh) {
        slot.proc = std::move(*fresh);
        slot.rss_baseline = 0;
    } else {
        log_line(prefix(slot.index) + "respawn failed" + kDash + fresh.error().display());
    }
}

/// After a failed exchange: the stream cannot be trusted with another request (a late answer, the
/// rest of a frame), so the process goes, like a crashed one.
void replace_failed(WorkerSlot& slot, PoolShared& shared, const asio::any_io_executor& ex) {
    slot.proc.kill_and_reap();
    respawn_after_failure(slot.index, shared, slot.proc, ex);
    slot.rss_baseline = 0;
}

asio::awaitable<void> worker_task(std::size_t index, std::shared_ptr<PoolShared> shared) {
    TaskExit exit_guard{shared};
    auto ex = co_await asio::this_coro::executor;
    Result<WorkerProcess> spawned = spawn(*shared, ex);
    if (!spawned) {
        log_line(prefix(index) + "failed to spawn" + kDash + spawned.error().display());
        co_return;
    }
    WorkerSlot slot{index, std::move(*spawned)};
    WorkerProcess& proc = slot.proc;
    for (;;) {
        std::optional<QueueItem> item = co_await shared->queue.pop(&slot);
        if (!item) {
            if (shared->options.log_close) log_line(prefix(index) + "channel closed, exiting", false);
            co_return;
        }
        switch (item->control) {
            case Control::None:
                break;
            case Control::Respawn:
                replace_failed(slot, *shared, ex);
                continue;
            case Control::Recycle:
                replace_idle(slot, *shared, ex);
                continue;
            case Control::Drain: {
                Status drained = co_await proc.drain(shared->options.timeout);
                Reply dropped = drained ? Reply(SimulationResponse{}) : Reply(drained.error());
                const Control next = after_exchange(slot, *shared, 0, dropped);
                if (next == Control::Respawn) replace_failed(slot, *shared, ex);
                if (next == Control::Recycle) replace_idle(slot, *shared, ex);
                continue;
            }
        }
        if (item->reply.abandoned()) continue;  // its caller has gone; don't spend a worker on it
        if (proc.has_exited()) {
            log_line(prefix(index) + "detected dead process, respawning");
            Result<WorkerProcess> fresh = spawn(*shared, ex);
            if (!fresh) {
                item->reply.send(NgspiceError::worker_crashed("worker " + std::to_string(index) +
                                                              " failed to respawn: " + fresh.error().display()));
                continue;
            }
            proc = std::move(*fresh);
            slot.rss_baseline = 0;
        } else if (proc.out_of_step()) {
            log_line(prefix(index) + "output after its answer, replacing it");
            replace_failed(slot, *shared, ex);
        }
        Reply result = co_await proc.run(item->request, shared->options.timeout);
        const Control next = after_exchange(slot, *shared, exchange_size(item->request, result), result);
        if (shared->ending()) {
            item->reply.send(std::move(result));
            co_return;
        }
        // A failed worker is replaced before its caller hears of it; a recycled one after.
        if (next == Control::Respawn) replace_failed(slot, *shared, ex);
        item->reply.send(std::move(result));
        if (next == Control::Recycle) replace_idle(slot, *shared, ex);
    }
}

}  // namespace

Result<std::shared_ptr<WorkerPool>> WorkerPool::create(const asio::any_io_executor& executor, PoolOptions options) {
    if (options.workers == 0) return NgspiceError::init_failed("a pool needs at least one worker");
    if (options.workers > kMaxWorkers)
        return NgspiceError::init_failed("a pool has at most " + std::to_string(kMaxWorkers) + " workers");
    WorkerBinary binary;
    if (options.worker_exe) {
        binary.path = *options.worker_exe;
    } else {
        Result<WorkerBinary> found = find_worker_binary();
        if (!found) return found.error();
        binary = std::move(*found);
    }
    // The circuits a worker keeps stay within half the growth that would have it replaced.
    if (options.recycle.max_rss_growth)
        binary.env.push_back(std::string(kKeepBytesVariable) + "=" +
                             std::to_string(options.recycle.max_rss_growth / 2));
    const std::uint32_t workers = options.workers;
    auto shared = std::make_shared<PoolShared>(std::move(binary), std::move(options));
    for (std::uint32_t i = 0; i < workers; ++i) {
        // One strand per task: its process, timer and reads never run on two threads at once.
        asio::co_spawn(asio::make_strand(executor), worker_task(i, shared), asio::detached);
    }
    return std::shared_ptr<WorkerPool>(new WorkerPool(std::move(shared)));
}

Result<std::shared_ptr<WorkerPool>> WorkerPool::create(const asio::any_io_executor& executor, std::uint32_t workers,
                                                       std::chrono::nanoseconds timeout,
                                                       std::optional<std::string> worker_exe) {
    return create(executor, PoolOptions{workers, timeout, std::move(worker_exe), {}});
}

WorkerPool::~WorkerPool() {
    // Idle tasks wake up, log and end; their processes see end of input.
    shared_->queue.close(NgspiceError::pool_send_failed(), pool_closed());
}

void WorkerPool::close(std::chrono::milliseconds grace) {
    shared_->closing = true;
    shared_->queue.close(NgspiceError::pool_send_failed("the pool is closed"), pool_closed());
    shared_->children->terminate_all(grace);
}

std::size_t WorkerPool::live_processes() const { return shared_->children->size(); }

WorkerPool::Here WorkerPool::run_here(const SimulationRequest& request, const std::function<bool()>& interrupted,
                                      Reply& out) const {
    PoolShared& shared = *shared_;
    std::optional<detail::WorkQueue::Lease> lease = shared.queue.lease();
    if (!lease) return Here::NotTaken;
    detail::WorkerSlot& slot = lease->slot();
    // A dead or out-of-step worker is its task's to deal with, on the usual route.
    if (slot.proc.has_exited() || slot.proc.out_of_step()) {
        shared.queue.give_back(std::move(*lease), detail::Control::None);
        return Here::NotTaken;
    }
    slot.proc.leave_event_loop();
    std::optional<Reply> answer = slot.proc.run_here(request, shared.options.timeout, interrupted);
    slot.proc.rejoin_event_loop();
    if (!answer) {
        shared.queue.give_back(std::move(*lease), detail::Control::Drain);
        return Here::Interrupted;
    }
    out = std::move(*answer);
    const detail::Control next = after_exchange(slot, shared, exchange_size(request, out), out);
    // Ended before the caller hears of it, as on the runtime's route; its task starts another.
    if (next == detail::Control::Respawn) slot.proc.kill_and_reap();
    shared.queue.give_back(std::move(*lease), next);
    return Here::Done;
}

asio::awaitable<Reply> WorkerPool::run_simulation(SimulationRequest request, std::shared_ptr<CallState> call) const {
    auto shared = shared_;
    // A caller that has already given up (a failed characterisation) queues nothing more.
    if (call && call->abandoned()) co_return NgspiceError::worker_crashed("the request was abandoned");
    auto reply = std::make_shared<ReplyChannel>(co_await asio::this_coro::executor, 1);
    // A named item, not a temporary inside the co_await: GCC 12 mishandles such temporaries.
    QueueItem item{std::move(request), detail::ReplySender(reply, std::move(call))};
    co_await shared->queue.push(std::move(item));
    auto [rec, result] = co_await reply->async_receive(use_tuple);
    if (rec || !result) co_return NgspiceError::worker_crashed("worker task dropped reply sender");
    co_return std::move(*result);
}

}  // namespace tavlo
