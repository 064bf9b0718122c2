#include "tavlo/pool/queue.hpp"

#include <asio/experimental/as_tuple.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace tavlo::detail {

namespace {
constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);
}  // namespace

ReplySender& ReplySender::operator=(ReplySender&& o) noexcept {
    if (this != &o) {
        drop();
        ch_ = std::move(o.ch_);
        call_ = std::move(o.call_);
    }
    return *this;
}

void ReplySender::send(Reply r) {
    if (ch_) ch_->try_send(asio::error_code{}, std::optional<Reply>(std::move(r)));
    ch_.reset();
}

void ReplySender::drop() {
    if (ch_) send(NgspiceError::worker_crashed("worker task dropped reply sender"));
}

asio::awaitable<void> WorkQueue::push(QueueItem item) {
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

asio::awaitable<std::optional<QueueItem>> WorkQueue::pop(WorkerSlot* slot) {
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

void WorkQueue::close(NgspiceError refused, NgspiceError dropped) {
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

std::size_t WorkQueue::queued() {
    std::lock_guard lock(mu_);
    return items_.size();
}

QueueItem WorkQueue::take_front_locked(std::shared_ptr<Waiter>& wake) {
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

}  // namespace tavlo::detail
