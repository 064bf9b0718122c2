#include <gtest/gtest.h>
#include <signal.h>

#include <asio/thread_pool.hpp>
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
        std::string p = ::testing::TempDir() + "tavlo-fake-worker";
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
}
