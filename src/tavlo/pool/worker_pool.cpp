#include "tavlo/pool/worker_pool.hpp"

#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <deque>
#include <mutex>

#include "tavlo/pool/worker_process.hpp"

namespace tavlo {

namespace {

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

using ReplyChannel = asio::experimental::concurrent_channel<void(asio::error_code, std::optional<Reply>)>;
// A one-shot wake-up for a coroutine waiting on the queue.
using Signal = asio::experimental::concurrent_channel<void(asio::error_code, bool)>;

const char* const kDash = " \xe2\x80\x94 ";  // " — "

std::string prefix(std::size_t index) { return "[pool] worker " + std::to_string(index) + ": "; }

// Requests or answers this large may leave a large heap behind: check the worker's memory then.
constexpr std::size_t kLargeExchange = std::size_t{1} << 20;
// Otherwise memory is checked every so many requests (reading /proc costs a few microseconds).
constexpr std::uint64_t kRssCheckEvery = 16;

}  // namespace

namespace {

// Fault lines kept for the embedding program (the Python module hands them to its logger from a
// thread that holds the interpreter lock); bounded, the oldest dropped first.
constexpr std::size_t kKeptLines = 1000;
std::mutex g_kept_mu;
std::deque<std::string> g_kept;
std::atomic<bool> g_keep{false};
std::atomic<std::size_t> g_kept_count{0};

}  // namespace

void log_line(const std::string& line, bool fault) {
    static std::mutex mu;
    std::string whole = line + "\n";
    {
        std::lock_guard lock(mu);
        (void)write_fd(2, whole.data(), whole.size());  // nowhere left to report a failure
    }
    if (!fault || !g_keep.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(g_kept_mu);
    if (g_kept.size() == kKeptLines) g_kept.pop_front();
    g_kept.push_back(line);
    g_kept_count.store(g_kept.size(), std::memory_order_release);
}

void keep_fault_lines(bool on) { g_keep.store(on, std::memory_order_relaxed); }

std::vector<std::string> take_fault_lines() {
    if (g_kept_count.load(std::memory_order_acquire) == 0) return {};
    std::lock_guard lock(g_kept_mu);
    std::vector<std::string> out(std::make_move_iterator(g_kept.begin()), std::make_move_iterator(g_kept.end()));
    g_kept.clear();
    g_kept_count.store(0, std::memory_order_release);
    return out;
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

/// What an idle worker is told when a calling thread gives it back (see WorkerPool::run_here).
enum class Control {
    None,     // a request to run
    Respawn,  // the exchange failed: replace the process, logging it
    Recycle,  // healthy but due for replacement: replace it quietly
    Drain,    // its caller left before the answer: read and drop it
};

struct QueueItem {
    SimulationRequest request;
    ReplySender reply;
    Control control = Control::None;
};

/// One worker task's process and bookkeeping. Its task owns it; a calling thread may use it only
/// while it holds the task's lease from the queue.
struct WorkerSlot {
    std::size_t index;
    WorkerProcess proc;
    std::uint64_t rss_baseline = 0;
};

/// The bounded request queue. Idle workers wait in arrival order and are handed the next item
/// directly, so the worker that has been idle longest takes it; callers wait for space in
/// arrival order too. Closing wakes every waiter and answers every queued item, so nothing is
/// left pending when the runtime stops.
class WorkQueue {
public:
    explicit WorkQueue(std::size_t capacity) : capacity_(capacity) {}

    /// Queues the item, waiting while the queue is full; a closed queue answers it at once.
    asio::awaitable<void> push(QueueItem item) {
        auto ex = co_await asio::this_coro::executor;
        std::shared_ptr<Waiter> waiter, wake;
        {
            std::unique_lock lock(mu_);
            if (closed_) {
                NgspiceError why = refused_;
                lock.unlock();
                item.reply.send(std::move(why));
                co_return;
            }
            if (!poppers_.empty()) {
                wake = std::move(poppers_.front());
                poppers_.pop_front();
                wake->item = std::move(item);
            } else if (items_.size() < capacity_) {
                items_.push_back(std::move(item));
                co_return;
            } else {
                waiter = std::make_shared<Waiter>(ex);
                waiter->item = std::move(item);
                pushers_.push_back(waiter);
            }
        }
        if (wake) {
            wake->signal.try_send(asio::error_code{}, true);
            co_return;
        }
        co_await waiter->signal.async_receive(use_tuple);
        std::unique_lock lock(mu_);
        if (!waiter->item) co_return;  // taken into the queue
        QueueItem refused = std::move(*waiter->item);
        NgspiceError why = refused_;
        lock.unlock();
        refused.reply.send(std::move(why));
    }

    /// The next item, or nothing once the queue is closed. While the worker waits here, a calling
    /// thread may lease `slot` (lease()).
    asio::awaitable<std::optional<QueueItem>> pop(WorkerSlot* slot) {
        auto ex = co_await asio::this_coro::executor;
        std::shared_ptr<Waiter> waiter;
        {
            std::unique_lock lock(mu_);
            if (!items_.empty()) {
                std::shared_ptr<Waiter> wake;
                QueueItem item = take_front_locked(wake);
                lock.unlock();
                if (wake) wake->signal.try_send(asio::error_code{}, true);
                co_return std::optional<QueueItem>(std::move(item));
            }
            if (closed_) co_return std::nullopt;
            waiter = std::make_shared<Waiter>(ex);
            waiter->slot = slot;
            poppers_.push_back(waiter);
        }
        co_await waiter->signal.async_receive(use_tuple);
        std::lock_guard lock(mu_);
        co_return std::move(waiter->item);
    }

    class Lease;

    /// The worker idle longest, lent to the calling thread, when nothing is queued; its task stays
    /// waiting in pop() until the lease is given back.
    std::optional<Lease> lease();

    /// Ends a lease: `control` tells the worker what to do first; None makes it idle again (or
    /// hands it the next queued item). A closed queue ends the worker's task.
    void give_back(Lease lease, Control control);

    /// Refuses new items with `refused` and answers queued ones with `dropped`. Idempotent.
    void close(NgspiceError refused, NgspiceError dropped) {
        std::deque<QueueItem> items;
        std::deque<std::shared_ptr<Waiter>> waiters;
        {
            std::lock_guard lock(mu_);
            if (closed_) return;
            closed_ = true;
            refused_ = std::move(refused);
            items.swap(items_);
            waiters.swap(poppers_);
            for (auto& w : pushers_) waiters.push_back(std::move(w));
            pushers_.clear();
        }
        // Outside the lock: an answer or a wake-up may resume a coroutine on this thread.
        for (QueueItem& item : items) item.reply.send(dropped);
        for (auto& w : waiters) w->signal.try_send(asio::error_code{}, true);
    }

private:
    struct Waiter {
        explicit Waiter(const asio::any_io_executor& ex) : signal(ex, 1) {}
        Signal signal;
        std::optional<QueueItem> item;
        WorkerSlot* slot = nullptr;  // an idle worker's, for a lease
    };

    /// The front item; the caller waiting longest for space moves its item in and is to be woken.
    QueueItem take_front_locked(std::shared_ptr<Waiter>& wake) {
        QueueItem item = std::move(items_.front());
        items_.pop_front();
        if (!pushers_.empty()) {
            wake = std::move(pushers_.front());
            pushers_.pop_front();
            items_.push_back(std::move(*wake->item));
            wake->item.reset();
        }
        return item;
    }

    std::mutex mu_;
    std::size_t capacity_;
    std::deque<QueueItem> items_;
    std::deque<std::shared_ptr<Waiter>> poppers_;  // idle workers, longest idle first
    std::deque<std::shared_ptr<Waiter>> pushers_;  // callers waiting for space, each holding its item
    bool closed_ = false;
    NgspiceError refused_ = NgspiceError::pool_send_failed();
};

/// A worker lent to a calling thread; giving it back is up to its holder (WorkerPool::run_here).
class WorkQueue::Lease {
public:
    explicit Lease(std::shared_ptr<Waiter> waiter) : waiter_(std::move(waiter)) {}
    WorkerSlot& slot() const { return *waiter_->slot; }

private:
    friend class WorkQueue;
    std::shared_ptr<Waiter> waiter_;
};

std::optional<WorkQueue::Lease> WorkQueue::lease() {
    std::lock_guard lock(mu_);
    if (closed_ || !items_.empty() || poppers_.empty()) return std::nullopt;
    Lease lease(std::move(poppers_.front()));
    poppers_.pop_front();
    return lease;
}

void WorkQueue::give_back(Lease lease, Control control) {
    std::shared_ptr<Waiter> w = std::move(lease.waiter_);
    {
        std::unique_lock lock(mu_);
        if (closed_) {
            w->item.reset();
        } else if (control != Control::None) {
            w->item.emplace(QueueItem{{}, ReplySender{}, control});
        } else if (!items_.empty()) {
            std::shared_ptr<Waiter> wake;
            w->item.emplace(take_front_locked(wake));
            lock.unlock();
            if (wake) wake->signal.try_send(asio::error_code{}, true);
        } else {
            poppers_.push_back(std::move(w));  // idle again, as the most recently idle
            return;
        }
    }
    w->signal.try_send(asio::error_code{}, true);
}

struct PoolShared {
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
using detail::Control;
using detail::QueueItem;
using detail::WorkerSlot;

struct TaskExit {
    std::shared_ptr<PoolShared> shared;
    ~TaskExit() {
        if (shared->live_tasks.fetch_sub(1) != 1 || shared->closing) return;
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
    if (shared.closing) return;
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

/// Replaces a process that is idle: it loses nothing and leaves no zombie behind.
void replace_idle(WorkerSlot& slot, PoolShared& shared, const asio::any_io_executor& ex) {
    slot.proc.kill_and_reap();
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
            case Control::Drain:
                if (Status drained = co_await proc.drain(shared->options.timeout); !drained) {
                    log_failure(index, drained.error());
                    replace_failed(slot, *shared, ex);
                } else if (due_for_replacement(slot, shared->options.recycle, 0)) {
                    replace_idle(slot, *shared, ex);
                }
                continue;
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
        }
        Reply result = co_await proc.run(item->request, shared->options.timeout);
        if (shared->closing) {
            item->reply.send(std::move(result));
            co_return;
        }
        if (!result) {
            log_failure(index, result.error());
            replace_failed(slot, *shared, ex);
            item->reply.send(std::move(result));
            continue;
        }
        const bool replace = due_for_replacement(slot, shared->options.recycle, exchange_size(item->request, result));
        item->reply.send(std::move(result));
        if (replace) replace_idle(slot, *shared, ex);
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
    shared_->queue.close(NgspiceError::pool_send_failed(), NgspiceError::worker_crashed("the pool was closed"));
}

void WorkerPool::close(std::chrono::milliseconds grace) {
    shared_->closing = true;
    shared_->queue.close(NgspiceError::pool_send_failed("the pool is closed"),
                         NgspiceError::worker_crashed("the pool was closed"));
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
    if (slot.proc.has_exited() || !slot.proc.stream_idle()) {
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
    detail::Control next = detail::Control::None;
    if (!out) {
        // Ended before the caller hears of it, as on the runtime's route; its task starts another.
        slot.proc.kill_and_reap();
        if (!shared.closing) log_failure(slot.index, out.error());
        next = detail::Control::Respawn;
    } else {
        if (slot.proc.out_of_step()) {
            log_line(prefix(slot.index) + "output after its answer, replacing it");
            next = detail::Control::Respawn;
        } else if (due_for_replacement(slot, shared.options.recycle, exchange_size(request, out))) {
            next = detail::Control::Recycle;
        }
    }
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
