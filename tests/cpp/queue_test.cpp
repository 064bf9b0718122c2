#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <map>
#include <string>
#include <vector>

#include "tavlo/pool/queue.hpp"

using namespace tavlo;
using namespace tavlo::detail;

namespace {

// Drives the queue from one thread: every step runs what is ready, so orders are exact.
struct Bench {
    asio::io_context io;
    WorkQueue queue{2};
    std::vector<std::string> taken;  // "<worker>:<request id>" in the order workers got them
    std::map<std::string, std::shared_ptr<ReplyChannel>> replies;
    int markers[4] = {};

    void step() {
        io.restart();  // running out of work stops an io_context
        io.poll();
    }
    WorkerSlot* slot(int worker) { return reinterpret_cast<WorkerSlot*>(&markers[worker]); }
    int worker_of(WorkerSlot& s) { return static_cast<int>(reinterpret_cast<int*>(&s) - markers); }

    QueueItem item(const std::string& id) {
        auto ch = std::make_shared<ReplyChannel>(io, 1);
        replies[id] = ch;
        SimulationRequest r;
        r.id = id;
        return QueueItem{std::move(r), ReplySender(ch, nullptr)};
    }
    void push(const std::string& id) {
        asio::co_spawn(io, queue.push(item(id)), asio::detached);
        step();
    }
    // A worker that takes one item and records it ("<worker>:closed" when the queue closed).
    void idle(int worker) {
        asio::co_spawn(
            io,
            [this, worker]() -> asio::awaitable<void> {
                std::optional<QueueItem> got = co_await queue.pop(slot(worker));
                taken.push_back(std::to_string(worker) + ":" + (got ? got->request.id : "closed"));
            },
            asio::detached);
        step();
    }
    // The answer a caller got, or "" when none yet.
    std::string answer(const std::string& id) {
        std::string out;
        replies.at(id)->try_receive([&](asio::error_code, std::optional<Reply> r) {
            out = r && !*r ? r->error().payload() : "?";
        });
        return out;
    }
};

}  // namespace

// Idle workers are served longest-idle first; a full queue makes callers wait in arrival order,
// and their items follow the queued ones.
TEST(Queue, OrderOfWorkersAndOfWaitingCallers) {
    Bench b;
    b.idle(0);
    b.idle(1);
    b.push("a");
    b.push("b");
    EXPECT_EQ(b.taken, (std::vector<std::string>{"0:a", "1:b"}));
    for (const char* id : {"c", "d", "e", "f"}) b.push(id);  // capacity 2: e and f wait
    EXPECT_EQ(b.queue.queued(), 2u);
    b.idle(1);
    b.idle(0);
    b.idle(1);
    b.idle(0);
    EXPECT_EQ(b.taken, (std::vector<std::string>{"0:a", "1:b", "1:c", "0:d", "1:e", "0:f"}));
    EXPECT_EQ(b.queue.queued(), 0u);
}

// A calling thread borrows the worker idle longest, only while nothing is queued; given back, the
// worker takes what was queued meanwhile, or is idle again behind the others.
TEST(Queue, LeaseAndGiveBack) {
    Bench b;
    EXPECT_FALSE(b.queue.lease());  // nobody idle
    b.idle(0);
    b.idle(1);
    std::optional<WorkQueue::Lease> lease = b.queue.lease();
    ASSERT_TRUE(lease);
    EXPECT_EQ(b.worker_of(lease->slot()), 0);
    b.queue.give_back(std::move(*lease), Control::None);  // 0 is now idle behind 1
    b.push("a");
    EXPECT_EQ(b.taken, (std::vector<std::string>{"1:a"}));
    lease = b.queue.lease();
    ASSERT_TRUE(lease);
    b.push("b");  // no idle worker left: queued
    EXPECT_FALSE(b.queue.lease());
    b.queue.give_back(std::move(*lease), Control::None);
    b.step();
    EXPECT_EQ(b.taken, (std::vector<std::string>{"1:a", "0:b"}));
    b.idle(0);
    lease = b.queue.lease();
    ASSERT_TRUE(lease);
    b.queue.give_back(std::move(*lease), Control::Respawn);  // told what to do first, with no request
    b.step();
    EXPECT_EQ(b.taken.back(), "0:");
}

// Closing answers every queued item and every caller waiting for space, ends idle workers, and
// refuses what comes later: nobody is left waiting.
TEST(Queue, CloseAnswersEveryone) {
    Bench b;
    for (const char* id : {"a", "b", "c"}) b.push(id);  // c waits for space
    b.queue.close(NgspiceError::pool_send_failed("refused"), NgspiceError::worker_crashed("dropped"));
    b.step();
    EXPECT_EQ(b.answer("a"), "dropped");
    EXPECT_EQ(b.answer("b"), "dropped");
    EXPECT_EQ(b.answer("c"), "refused");
    b.push("d");
    EXPECT_EQ(b.answer("d"), "refused");
    b.idle(0);
    EXPECT_EQ(b.taken, (std::vector<std::string>{"0:closed"}));
    EXPECT_FALSE(b.queue.lease());
}
