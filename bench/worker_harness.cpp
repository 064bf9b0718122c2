// Times one request two ways in the same run: the worker's ngspice calls made in-process
// (Simulator::handle + clean_up, no pipe, JSON or frame), and a round trip through a worker
// executable's pipes driven from C++ as the pool drives it. The difference is the worker's own
// overhead. Short rounds alternate between the two, and the overhead is the median of each
// round's difference, so that drifting machine load hits both sides of a difference alike.
//
// Usage: worker_harness WORKER NETLIST_FILE REQUESTS_PER_ROUND ROUNDS
// Prints one JSON object: in-process load + ngSpice_Init in ms; the medians over rounds of the
// mean time of one request in microseconds, in-process, over pipes and their difference; the
// round trip of a single byte between two processes, which no pipe protocol can beat on this
// machine; and the time the request's and the frame's encoding and decoding take, both ends.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tavlo/base/text.hpp"
#include "tavlo/worker/capture.hpp"
#include "tavlo/worker/simulator.hpp"

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "worker_harness: %s\n", what.c_str());
    std::exit(1);
}

class FdSource final : public tavlo::ByteSource {
public:
    explicit FdSource(int fd) : fd_(fd) {}
    tavlo::Result<tavlo::Unit> read_exact(char* buf, std::size_t n) override {
        while (n > 0) {
            ssize_t r = ::read(fd_, buf, n);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return tavlo::NgspiceError::io(r == 0 ? "early eof" : "read failed");
            buf += r;
            n -= static_cast<std::size_t>(r);
        }
        return tavlo::Unit{};
    }

private:
    int fd_;
};

// A worker process with its pipes, spoken to as the pool speaks to it.
class PipeWorker {
public:
    explicit PipeWorker(const char* exe) {
        int to[2], from[2];
        if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0) fail("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, to[0], 0);
        posix_spawn_file_actions_adddup2(&actions, from[1], 1);
        posix_spawn_file_actions_addclose(&actions, to[1]);
        posix_spawn_file_actions_addclose(&actions, from[0]);
        char* args[] = {const_cast<char*>(exe), nullptr};
        if (posix_spawn(&pid_, exe, &actions, nullptr, args, environ) != 0) fail("cannot start the worker");
        posix_spawn_file_actions_destroy(&actions);
        close(to[0]);
        close(from[1]);
        in_fd_ = to[1];
        out_fd_ = from[0];
    }
    ~PipeWorker() {
        close(in_fd_);
        close(out_fd_);
        int status;
        waitpid(pid_, &status, 0);
    }
    void ask(const std::string& line) {
        tavlo::FdWriter out(in_fd_);
        FdSource in(out_fd_);
        if (!out.write(line.data(), line.size()) || !out.flush()) fail("writing the request failed");
        auto r = tavlo::read_frame(in);
        if (!r) fail("reading the frame failed: " + r.error().display());
        if (!r->success) fail("request failed over the pipes: " + r->error.value_or("?"));
    }

private:
    pid_t pid_;
    int in_fd_, out_fd_;
};

// One byte there and back between two processes: the floor that any pipe protocol pays here.
double bare_round_trip_us(int n) {
    int to[2], from[2];
    if (pipe(to) != 0 || pipe(from) != 0) fail("pipe failed");
    pid_t pid = fork();
    if (pid == 0) {
        close(to[1]);
        close(from[0]);
        char c;
        while (read(to[0], &c, 1) == 1 && write(from[1], &c, 1) == 1) {
        }
        _exit(0);
    }
    close(to[0]);
    close(from[1]);
    char c = 'x';
    auto t0 = clock_type::now();
    for (int i = 0; i < n; ++i)
        if (write(to[1], &c, 1) != 1 || read(from[0], &c, 1) != 1) fail("ping-pong failed");
    double us = std::chrono::duration<double, std::micro>(clock_type::now() - t0).count() / n;
    close(to[1]);
    close(from[0]);
    waitpid(pid, nullptr, 0);
    return us;
}

template <class F>
double mean_us(int n, F&& f) {
    auto t0 = clock_type::now();
    for (int i = 0; i < n; ++i) f();
    return std::chrono::duration<double, std::micro>(clock_type::now() - t0).count() / n;
}

double median(std::vector<double> xs) {
    std::sort(xs.begin(), xs.end());
    return xs[xs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: worker_harness WORKER NETLIST_FILE REQUESTS_PER_ROUND ROUNDS\n");
        return 2;
    }
    std::ifstream file(argv[2]);
    std::stringstream text;
    text << file.rdbuf();
    tavlo::SimulationRequest request{"bench", text.str(), {"run"}, std::nullopt};
    std::string line = tavlo::encode_request_line(request);
    int n = std::atoi(argv[3]), rounds = std::atoi(argv[4]);

    auto t0 = clock_type::now();
    auto started = tavlo::Simulator::start();
    if (!started) fail(started.error().display());
    double start_ms = std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
    tavlo::Simulator& sim = **started;
    auto local = [&] {
        tavlo::SimulationResponse a = sim.handle(request);
        if (!a.success) fail("request failed in-process: " + a.error.value_or("?"));
        sim.clean_up();
    };
    double bare_us = bare_round_trip_us(5000);  // before the worker: a fork must not hold its pipes
    PipeWorker worker(argv[1]);
    auto piped = [&] { worker.ask(line); };

    // The protocol's share: the worker's decode and frame encode plus the pool-side frame decode.
    tavlo::SimulationResponse sample = sim.handle(request);
    sim.clean_up();
    double codec_us = mean_us(2000, [&] {
        auto decoded = tavlo::decode_request(std::string_view(line).substr(0, line.size() - 1));
        tavlo::StringSink frame;
        (void)tavlo::write_wire_response(frame, decoded->id, sample.success, sample.vectors, sample.log,
                                         sample.error, sample.measures);
        tavlo::StringSource source(std::move(frame.bytes));
        if (!tavlo::read_frame(source)) fail("frame does not read back");
    });

    mean_us(20, local);  // warm caches and ngspice's allocations on both sides
    mean_us(20, piped);
    std::vector<double> in_process, over_pipes, overhead;
    for (int r = 0; r < rounds; ++r) {
        in_process.push_back(mean_us(n, local));
        over_pipes.push_back(mean_us(n, piped));
        overhead.push_back(over_pipes.back() - in_process.back());  // paired: same moment's load
    }
    std::printf(
        "{\"start_ms\": %.3f, \"in_process_us\": %.2f, \"pipe_us\": %.2f, \"overhead_us\": %.2f, "
        "\"bare_pipe_us\": %.2f, \"codec_us\": %.2f}\n",
        start_ms, median(in_process), median(over_pipes), median(overhead), bare_us, codec_us);
    return 0;
}
