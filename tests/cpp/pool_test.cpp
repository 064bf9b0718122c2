#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/thread_pool.hpp>
#include <atomic>
#include <thread>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

#include "tavlo/pool/block_on.hpp"
#include "tavlo/pool/worker_pool.hpp"

using namespace tavlo;

namespace {

// The scripted fake worker of the Python suite, started through the system's python3.
std::string fake_worker() {
    static const std::string path = [] {
        // One per test process: ctest runs tests side by side, and rewriting a script that another
        // process is starting makes that start fail.
        std::string p = ::testing::TempDir() + "tavlo-fake-worker-" + std::to_string(::getpid());
        std::ofstream(p) << "#!/bin/sh\nexec python3 '" TAVLO_SOURCE_DIR "/tests/python/fake_worker.py'\n";
        ::chmod(p.c_str(), 0755);
        return p;
    }();
    return path;
}

SimulationRequest request(const std::string& mode, double value) {
    return {"r", "fake\n* MODE=" + mode + " VALUE=" + std::to_string(value) + "\n.end\n", {"run"}, std::nullopt};
}

Reply run(asio::thread_pool& rt, WorkerPool& pool, SimulationRequest req) {
    return *block_on(rt.get_executor(), pool.run_simulation(std::move(req)), [] { return false; });
}

}  // namespace

TEST(Pool, AnswersEachRequestAndSurvivesACrash) {
    ::signal(SIGPIPE, SIG_IGN);
    asio::thread_pool rt(2);
    auto pool = WorkerPool::create(rt.get_executor(), 2, std::chrono::seconds(30), fake_worker());
    ASSERT_TRUE(pool.ok());
    for (int i = 0; i < 10; ++i) {
        Reply r = run(rt, **pool, request("echo", i));
        ASSERT_TRUE(r.ok()) << r.error().display();
        EXPECT_EQ(r->vectors.at(0).real.at(0), i);
    }
    Reply crashed = run(rt, **pool, request("crash", 0));
    ASSERT_FALSE(crashed.ok());
    EXPECT_EQ(crashed.error().payload(), "stdout read (header len) failed: early eof");
    EXPECT_TRUE(run(rt, **pool, request("echo", 1)).ok());
    (*pool)->close();
    rt.join();
}

namespace {

bool alive(pid_t pid) { return ::kill(pid, 0) == 0; }

}  // namespace

TEST(Pool, TimedOutWorkerIsKilledBeforeTheSlotTakesMoreWork) {
    ::signal(SIGPIPE, SIG_IGN);
    asio::thread_pool rt(2);
    auto pool = WorkerPool::create(rt.get_executor(), 1, std::chrono::seconds(1), fake_worker());
    ASSERT_TRUE(pool.ok());
    Reply first = run(rt, **pool, request("echo", 1));
    ASSERT_TRUE(first.ok());
    const auto pid = static_cast<pid_t>(first->vectors.at(1).real.at(0));
    Reply late = run(rt, **pool, request("slow\n* SLOW_SECS=3", 2));
    ASSERT_FALSE(late.ok());
    EXPECT_EQ(late.error().payload(), "worker timed out after 1s");
    EXPECT_FALSE(alive(pid));
    Reply next = run(rt, **pool, request("echo", 3));
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(next->vectors.at(0).real.at(0), 3);
    (*pool)->close();
    rt.join();
}

// The teardown path: callers queued and running when the pool closes all get an answer, the
// runtime drains and joins, and no process is left.
TEST(Pool, CloseEndsBusyWorkersAndAnswersEveryCaller) {
    ::signal(SIGPIPE, SIG_IGN);
    asio::thread_pool rt(2);
    auto created = WorkerPool::create(rt.get_executor(), 2, std::chrono::seconds(60), fake_worker());
    ASSERT_TRUE(created.ok());
    std::shared_ptr<WorkerPool> pool = *created;
    std::atomic<int> answered{0}, failed{0};
    for (int i = 0; i < 12; ++i) {
        asio::co_spawn(
            rt,
            [pool, i, &answered, &failed]() -> asio::awaitable<void> {
                // Every request hangs: whichever two the workers take first, nothing can finish.
                Reply r = co_await pool->run_simulation(request("hang", i));
                ++answered;
                if (!r.ok()) ++failed;
            },
            asio::detached);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(pool->live_processes(), 2u);
    pool->close(std::chrono::milliseconds(100));
    rt.join();
    pool->close();
    EXPECT_EQ(answered.load(), 12);
    EXPECT_EQ(failed.load(), 12);
    EXPECT_EQ(pool->live_processes(), 0u);
}

// Calling threads that run requests themselves on idle workers, and callers queued through the
// runtime, share the workers: each gets its own answer, crashes among them included, and a worker
// that failed on a calling thread is replaced by its task.
TEST(Pool, CallingThreadsAndTheRuntimeShareTheWorkers) {
    ::signal(SIGPIPE, SIG_IGN);
    asio::thread_pool rt(2);
    auto created = WorkerPool::create(rt.get_executor(), 2, std::chrono::seconds(30), fake_worker());
    ASSERT_TRUE(created.ok());
    std::shared_ptr<WorkerPool> pool = *created;
    std::atomic<int> here{0}, wrong{0}, crashes{0};
    auto caller = [&](int base) {
        for (int i = 0; i < 40; ++i) {
            const int value = base + i;
            SimulationRequest req = request(i % 13 == 12 ? "crash" : "echo", value);
            req.id = "r" + std::to_string(value);
            Reply r = NgspiceError::worker_crashed("unset");
            WorkerPool::Here how = pool->run_here(req, [] { return false; }, r);
            if (how == WorkerPool::Here::Done)
                ++here;
            else
                r = run(rt, *pool, req);
            if (i % 13 == 12)
                crashes += !r.ok();
            else if (!r.ok() || r->id != req.id || r->vectors.at(0).real.at(0) != value)
                ++wrong;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back(caller, 1000 * t);
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(crashes.load(), 9);
    EXPECT_GT(here.load(), 0);
    // The last crash's replacement is started by its task, after the caller has had its answer.
    for (int i = 0; i < 500 && pool->live_processes() != 2u; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(pool->live_processes(), 2u);
    pool->close(std::chrono::milliseconds(100));
    rt.join();
    pool->close();
    EXPECT_EQ(pool->live_processes(), 0u);
}
