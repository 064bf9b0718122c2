#include "tavlo/pool/worker_pool.hpp"

#include <unistd.h>

#include <asio/experimental/as_tuple.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <mutex>

#include "tavlo/pool/worker_process.hpp"

namespace tavlo {

namespace {

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

using ReplyChannel = asio::experimental::concurrent_channel<void(asio::error_code, std::optional<Reply>)>;

const char* const kDash = " \xe2\x80\x94 ";  // " — "

std::string prefix(std::size_t index) { return "[pool] worker " + std::to_string(index) + ": "; }

}  // namespace

void log_line(const std::string& line) {
    static std::mutex mu;
    std::string whole = line + "\n";
    std::lock_guard lock(mu);
    (void)write_fd(2, whole.data(), whole.size());  // nowhere left to report a failure
}

namespace detail {

/// The sending half of a reply slot. Dropping it unsent tells the caller its request was lost.
class ReplySender {
public:
    ReplySender() = default;
    ReplySender(std::shared_ptr<ReplyChannel> ch, std::shared_ptr<CallState> call)
        : ch_(std::move(ch)), call_(std::move(call)) {}
    ReplySender(ReplySender&& o) noexcept = default;
    ReplySender& operator=(ReplySender&& o) noexcept {
        if (this != &o) {
            drop();
            ch_ = std::move(o.ch_);
            call_ = std::move(o.call_);
        }
        return *this;
    }
    ~ReplySender() { drop(); }

    void send(Reply r) {
        if (ch_) ch_->try_send(asio::error_code{}, std::optional<Reply>(std::move(r)));
        ch_.reset();
    }
    bool abandoned() const { return call_ && call_->abandoned(); }

private:
    void drop() {
        if (ch_) send(NgspiceError::worker_crashed("worker task dropped reply sender"));
    }
    std::shared_ptr<ReplyChannel> ch_;
    std::shared_ptr<CallState> call_;
};

struct QueueItem {
    SimulationRequest request;
    ReplySender reply;
};

using Queue = asio::experimental::concurrent_channel<void(asio::error_code, QueueItem)>;

struct PoolShared {
    // Waiting receivers of an Asio channel are served in arrival order, so the worker that has
    // been idle longest takes the next request; no extra lock around the receiving end is needed.
    Queue queue;
    WorkerBinary binary;
    std::chrono::nanoseconds timeout;
    std::atomic<std::uint32_t> live_tasks;
    std::atomic<bool> tasks_gone{false};

    PoolShared(const asio::any_io_executor& ex, std::size_t capacity, WorkerBinary b, std::chrono::nanoseconds t,
               std::uint32_t workers)
        : queue(ex, capacity), binary(std::move(b)), timeout(t), live_tasks(workers) {}

    /// Drops every queued item; their callers learn that the request was lost.
    void drain() {
        while (queue.try_receive([](asio::error_code, QueueItem) {})) {
        }
    }
};

}  // namespace detail

namespace {

using detail::PoolShared;
using detail::QueueItem;

struct TaskExit {
    std::shared_ptr<PoolShared> shared;
    ~TaskExit() {
        if (shared->live_tasks.fetch_sub(1) == 1) {
            // No worker is left to serve the queue: refuse new requests and fail queued ones.
            shared->tasks_gone.store(true);
            shared->drain();
        }
    }
};

/// Replaces the process after a crash or time-out, logging the outcome.
void respawn_after_failure(std::size_t index, PoolShared& shared, WorkerProcess& proc,
                           const asio::any_io_executor& ex) {
    Result<WorkerProcess> fresh = WorkerProcess::spawn(shared.binary, ex);
    if (fresh) {
        proc = std::move(*fresh);
        log_line(prefix(index) + "respawned successfully");
    } else {
        log_line(prefix(index) + "respawn failed" + kDash + fresh.error().display());
    }
}

asio::awaitable<void> worker_task(std::size_t index, std::shared_ptr<PoolShared> shared) {
    TaskExit exit_guard{shared};
    auto ex = co_await asio::this_coro::executor;
    Result<WorkerProcess> spawned = WorkerProcess::spawn(shared->binary, ex);
    if (!spawned) {
        log_line(prefix(index) + "failed to spawn" + kDash + spawned.error().display());
        co_return;
    }
    WorkerProcess proc = std::move(*spawned);
    for (;;) {
        auto [ec, item] = co_await shared->queue.async_receive(use_tuple);
        if (ec) {
            log_line(prefix(index) + "channel closed, exiting");
            co_return;
        }
        if (item.reply.abandoned()) continue;  // its caller has gone; don't spend a worker on it
        if (proc.has_exited()) {
            log_line(prefix(index) + "detected dead process, respawning");
            Result<WorkerProcess> fresh = WorkerProcess::spawn(shared->binary, ex);
            if (!fresh) {
                item.reply.send(NgspiceError::worker_crashed("worker " + std::to_string(index) +
                                                             " failed to respawn: " + fresh.error().display()));
                continue;
            }
            proc = std::move(*fresh);
        }
        Reply result = co_await proc.run(item.request, shared->timeout);
        if (!result.ok()) {
            ErrorKind kind = result.error().kind();
            if (kind == ErrorKind::WorkerCrashed || kind == ErrorKind::SimulationFailed) {
                // After a time-out the late answer would still lie in the stream: the process
                // cannot be trusted with another request, so it goes like a crashed one.
                if (kind == ErrorKind::SimulationFailed) proc.kill_and_reap();
                log_line(prefix(index) + "crashed during simulation" + kDash + result.error().payload());
                respawn_after_failure(index, *shared, proc, ex);
            }
        }
        item.reply.send(std::move(result));
    }
}

}  // namespace

Result<std::shared_ptr<WorkerPool>> WorkerPool::create(const asio::any_io_executor& executor, std::uint32_t workers,
                                                       std::chrono::nanoseconds timeout,
                                                       std::optional<std::string> worker_exe) {
    if (workers == 0) return NgspiceError::init_failed("a pool needs at least one worker");
    WorkerBinary binary;
    if (worker_exe) {
        binary.path = *worker_exe;
    } else {
        Result<WorkerBinary> found = find_worker_binary();
        if (!found) return found.error();
        binary = std::move(*found);
    }
    auto shared = std::make_shared<PoolShared>(executor, std::size_t{4} * workers, std::move(binary), timeout,
                                               workers);
    for (std::uint32_t i = 0; i < workers; ++i) {
        // One strand per task: its process, timer and reads never run on two threads at once.
        asio::co_spawn(asio::make_strand(executor), worker_task(i, shared), asio::detached);
    }
    return std::shared_ptr<WorkerPool>(new WorkerPool(std::move(shared)));
}

WorkerPool::~WorkerPool() {
    shared_->queue.close();  // idle tasks wake up, log and end; their processes see end of input
}

asio::awaitable<Reply> WorkerPool::run_simulation(SimulationRequest request, std::shared_ptr<CallState> call) const {
    auto shared = shared_;
    if (shared->tasks_gone.load()) co_return NgspiceError::pool_send_failed();
    auto reply = std::make_shared<ReplyChannel>(co_await asio::this_coro::executor, 1);
    // A named item, not a temporary inside the co_await: GCC 12 mishandles such temporaries.
    QueueItem item{std::move(request), detail::ReplySender(reply, std::move(call))};
    auto [ec] = co_await shared->queue.async_send(asio::error_code{}, std::move(item), use_tuple);
    if (ec) co_return NgspiceError::pool_send_failed();
    // The last task may have ended while this item went in: make sure it is not stranded.
    if (shared->tasks_gone.load()) shared->drain();
    auto [rec, result] = co_await reply->async_receive(use_tuple);
    if (rec || !result) co_return NgspiceError::worker_crashed("worker task dropped reply sender");
    co_return std::move(*result);
}

}  // namespace tavlo
