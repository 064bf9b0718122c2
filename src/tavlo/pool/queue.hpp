#pragma once
// The bounded request queue between callers and worker tasks, and the reply slot of a request.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

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

namespace detail {

using ReplyChannel = asio::experimental::concurrent_channel<void(asio::error_code, std::optional<Reply>)>;

/// The sending half of a reply slot. Dropping it unsent tells the caller its request was lost.
class ReplySender {
public:
    ReplySender() = default;
    ReplySender(std::shared_ptr<ReplyChannel> ch, std::shared_ptr<CallState> call)
        : ch_(std::move(ch)), call_(std::move(call)) {}
    ReplySender(ReplySender&& o) noexcept = default;
    ReplySender& operator=(ReplySender&& o) noexcept;
    ~ReplySender() { drop(); }

    void send(Reply r);
    bool abandoned() const { return call_ && call_->abandoned(); }

private:
    void drop();
    std::shared_ptr<ReplyChannel> ch_;
    std::shared_ptr<CallState> call_;
};

/// What an idle worker is told when a calling thread gives it back (see WorkerPool::run_here).
enum class Control {
    None,     // a request to run
    Respawn,  // the exchange failed: replace the process
    Recycle,  // healthy but due for replacement: replace it quietly
    Drain,    // its caller left before the answer: read and drop it
};

struct QueueItem {
    SimulationRequest request;
    ReplySender reply;
    Control control = Control::None;
};

/// A worker task's process and bookkeeping (worker_pool.cpp); the queue only lends it out.
struct WorkerSlot;

/// The bounded request queue. Idle workers wait in arrival order and are handed the next item
/// directly, so the worker that has been idle longest takes it; callers wait for space in
/// arrival order too. Closing wakes every waiter and answers every queued item, so nothing is
/// left pending when the runtime stops.
class WorkQueue {
public:
    explicit WorkQueue(std::size_t capacity) : capacity_(capacity) {}

    /// Queues the item, waiting while the queue is full; a closed queue answers it at once.
    asio::awaitable<void> push(QueueItem item);

    /// The next item, or nothing once the queue is closed. While the worker waits here, a calling
    /// thread may lease `slot` (lease()).
    asio::awaitable<std::optional<QueueItem>> pop(WorkerSlot* slot);

    class Lease;

    /// The worker idle longest, lent to the calling thread, when nothing is queued; its task stays
    /// waiting in pop() until the lease is given back.
    std::optional<Lease> lease();

    /// Ends a lease: `control` tells the worker what to do first; None makes it idle again (or
    /// hands it the next queued item). A closed queue ends the worker's task.
    void give_back(Lease lease, Control control);

    /// Refuses new items with `refused` and answers queued ones with `dropped`. Idempotent.
    void close(NgspiceError refused, NgspiceError dropped);

    /// Items waiting for a worker (callers waiting for space not counted).
    std::size_t queued();

private:
    // A one-shot wake-up for a coroutine waiting on the queue.
    using Signal = asio::experimental::concurrent_channel<void(asio::error_code, bool)>;
    struct Waiter {
        explicit Waiter(const asio::any_io_executor& ex) : signal(ex, 1) {}
        Signal signal;
        std::optional<QueueItem> item;
        WorkerSlot* slot = nullptr;  // an idle worker's, for a lease
    };

    /// The front item; the caller waiting longest for space moves its item in and is to be woken.
    QueueItem take_front_locked(std::shared_ptr<Waiter>& wake);

    std::mutex mu_;
    std::size_t capacity_;
    std::deque<QueueItem> items_;
    std::deque<std::shared_ptr<Waiter>> poppers_;  // idle workers, longest idle first
    std::deque<std::shared_ptr<Waiter>> pushers_;  // callers waiting for space, each holding its item
    bool closed_ = false;
    NgspiceError refused_ = NgspiceError::pool_send_failed();
};

/// A worker lent to a calling thread; giving it back is up to its holder.
class WorkQueue::Lease {
public:
    WorkerSlot& slot() const { return *waiter_->slot; }

private:
    friend class WorkQueue;
    explicit Lease(std::shared_ptr<Waiter> waiter) : waiter_(std::move(waiter)) {}
    std::shared_ptr<Waiter> waiter_;
};

}  // namespace detail
}  // namespace tavlo
