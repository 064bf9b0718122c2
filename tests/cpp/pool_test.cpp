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

#include "tavlo/pool/block_on.hpp"
#include "tavlo/pool/worker_pool.hpp"

using namespace tavlo;

namespace {

std::string fake_worker() { return TAVLO_FAKE_WORKER; }

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

namespace {

// Waits (a generous bound) until `pid` has gone; a process that stays is a failure, not a hang.
bool ends(pid_t pid) {
    // A zombie has ended too: who reaps it (init here) is not the pool's business.
    auto running = [pid] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string pid_field, name, state;
        return stat >> pid_field >> name >> state && state != "Z";
    };
    for (int i = 0; i < 500; ++i) {
        if (!running()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// On the calling thread once the worker's task is idle again (it answers before it waits).
WorkerPool::Here run_here_when_idle(WorkerPool& pool, const SimulationRequest& req, Reply& out) {
    WorkerPool::Here how = WorkerPool::Here::NotTaken;
    for (int i = 0; i < 500 && how == WorkerPool::Here::NotTaken; ++i) {
        how = pool.run_here(req, [] { return false; }, out);
        if (how == WorkerPool::Here::NotTaken) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return how;
}

}  // namespace

// What a worker starts (ngspice's `shell`) ends with it: when it is replaced after a crash or a
// time-out, and when the pool closes.
TEST(Pool, EndingAWorkerEndsWhatItStarted) {
    ::signal(SIGPIPE, SIG_IGN);
    asio::thread_pool rt(2);
    auto created = WorkerPool::create(rt.get_executor(), 1, std::chrono::seconds(1), fake_worker());
    ASSERT_TRUE(created.ok());
    std::shared_ptr<WorkerPool> pool = *created;
    auto started = [&] {
        Reply r = run(rt, *pool, request("spawn", 0));
        EXPECT_TRUE(r.ok());
        return r.ok() ? static_cast<pid_t>(r->vectors.at(0).real.at(0)) : pid_t{-1};
    };
    const pid_t before_crash = started();
    ASSERT_GT(before_crash, 0);
    EXPECT_FALSE(run(rt, *pool, request("crash", 0)).ok());
    EXPECT_TRUE(ends(before_crash));
    const pid_t before_timeout = started();
    EXPECT_EQ(run(rt, *pool, request("hang", 0)).error().payload(), "worker timed out after 1s");
    EXPECT_TRUE(ends(before_timeout));
    const pid_t before_close = started();
    pool->close(std::chrono::milliseconds(100));
    rt.join();
    pool->close();
    EXPECT_TRUE(ends(before_close));
    for (pid_t p : {before_crash, before_timeout, before_close})
        if (p > 0) ::kill(p, SIGKILL);
}

// A frame after the answer means the stream is out of step, on either route: the worker is
// replaced, and the next caller gets its own answer, not the stray one.
TEST(Pool, OutputAfterAnAnswerReplacesTheWorkerOnBothRoutes) {
    ::signal(SIGPIPE, SIG_IGN);
    asio::thread_pool rt(2);
    auto created = WorkerPool::create(rt.get_executor(), 1, std::chrono::seconds(30), fake_worker());
    ASSERT_TRUE(created.ok());
    std::shared_ptr<WorkerPool> pool = *created;
    for (bool here : {false, true}) {
        SimulationRequest stray = request("stray-after", 5);
        Reply first = NgspiceError::worker_crashed("unset");
        if (here)
            ASSERT_EQ(run_here_when_idle(*pool, stray, first), WorkerPool::Here::Done);
        else
            first = run(rt, *pool, stray);
        ASSERT_TRUE(first.ok()) << first.error().display();
        EXPECT_EQ(first->vectors.at(0).real.at(0), 5);
        // Give the stray frame time to arrive before the next request is written.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        SimulationRequest next = request("echo", 6);
        next.id = "next";
        Reply second = run(rt, *pool, next);
        ASSERT_TRUE(second.ok()) << second.error().display();
        EXPECT_EQ(second->id, "next");
        EXPECT_NE(second->vectors.at(1).real.at(0), first->vectors.at(1).real.at(0));  // another process
    }
    pool->close(std::chrono::milliseconds(100));
    rt.join();
    pool->close();
}

// Closing the pool while a calling thread waits for an answer says so, as it does to queued callers.
TEST(Pool, ClosingDuringACallOnTheCallingThreadSaysThePoolWasClosed) {
    ::signal(SIGPIPE, SIG_IGN);
    asio::thread_pool rt(2);
    auto created = WorkerPool::create(rt.get_executor(), 1, std::chrono::seconds(30), fake_worker());
    ASSERT_TRUE(created.ok());
    std::shared_ptr<WorkerPool> pool = *created;
    ASSERT_TRUE(run(rt, *pool, request("echo", 1)).ok());  // the worker is up and idle
    Reply r = NgspiceError::worker_crashed("unset");
    WorkerPool::Here how = WorkerPool::Here::NotTaken;
    std::thread caller([&] { how = run_here_when_idle(*pool, request("hang", 0), r); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pool->close(std::chrono::milliseconds(100));
    caller.join();
    rt.join();
    pool->close();
    ASSERT_EQ(how, WorkerPool::Here::Done);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().display(), "worker process crashed: the pool was closed");
}

TEST(Pool, KeptCircuitsAnswerForTheirOwnNetlistAndParameter) {
    // Netlists with a parameterised subcircuit (a kit device's shape), a long one between the
    // others and more of them than a worker keeps, through one real worker: the circuits it keeps,
    // the copies it runs and the guards it parses are made and removed over and over.
    ::signal(SIGPIPE, SIG_IGN);
    asio::thread_pool rt(2);
    auto pool = WorkerPool::create(rt.get_executor(), 1, std::chrono::seconds(120), TAVLO_WORKER_EXE);
    ASSERT_TRUE(pool.ok());
    auto netlist = [](int k) {
        std::string padding;
        for (int p = 0; k == 0 && p < 2000; ++p) padding += ".param pad" + std::to_string(p) + "=1\n";
        return "divider " + std::to_string(k) + "\n.param r2=1k\n" + padding +
               ".subckt lower a b r=1\nR a b {r}\n.ends\nV1 in 0 dc 1\nR1 in out " + std::to_string(k + 1) +
               "k\nX2 out 0 lower r={r2}\n.end\n";
    };
    for (int i = 0; i < 30; ++i) {
        const int k = i % 2 == 0 ? 0 : 1 + (i / 2) % 6;
        const double r2 = 1000.0 * (i + 1);
        SimulationRequest req{"r", netlist(k), {"op"}, std::vector<std::string>{"out"},
                              std::vector<std::pair<std::string, double>>{{"r2", r2}}};
        Reply r = run(rt, **pool, std::move(req));
        ASSERT_TRUE(r.ok()) << r.error().display();
        ASSERT_TRUE(r->success) << r->error.value_or("");
        ASSERT_EQ(r->vectors.size(), 1u);
        EXPECT_NEAR(r->vectors[0].real.at(0), r2 / (r2 + 1000.0 * (k + 1)), 1e-12) << "request " << i;
    }
    (*pool)->close();
    rt.join();
}

TEST(Pool, WorkersAreToldHalfTheMemoryGrowthThatWouldReplaceThem) {
    ::signal(SIGPIPE, SIG_IGN);
    ::setenv(kKeepBytesVariable, "5", 1);  // the caller's own value gives way to the pool's
    for (std::uint64_t growth : {std::uint64_t{64} << 20, std::uint64_t{0}}) {
        asio::thread_pool rt(2);
        PoolOptions options{1, std::chrono::seconds(30), fake_worker(), RecyclePolicy{0, growth}};
        auto pool = WorkerPool::create(rt.get_executor(), options);
        ASSERT_TRUE(pool.ok());
        Reply r = run(rt, **pool, request("keep", 0));
        ASSERT_TRUE(r.ok()) << r.error().display();
        EXPECT_EQ(r->vectors.at(0).real.at(0), growth ? static_cast<double>(growth / 2) : 5.0);
        (*pool)->close();
        rt.join();
    }
    ::unsetenv(kKeepBytesVariable);
}
