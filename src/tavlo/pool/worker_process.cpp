#include "tavlo/pool/worker_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string_view>

#include "tavlo/base/text.hpp"

extern char** environ;

namespace tavlo {

namespace {

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

std::string io_text(const asio::error_code& ec) {
    if (ec == asio::error::eof) return "early eof";
    if (ec.category() == asio::system_category()) return os_error_text(ec.value());
    return ec.message();
}

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready for `events`, at most until `deadline` and at most `slice`; false when
// the deadline has passed.
bool wait_ready(int fd, short events, Clock::time_point deadline, std::chrono::milliseconds slice) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    const auto ms = std::min(std::chrono::ceil<std::chrono::milliseconds>(left), slice);
    pollfd p{fd, events, 0};
    (void)::poll(&p, 1, static_cast<int>(ms.count()));  // EINTR or a slice's end: the caller retries
    return true;
}

}  // namespace

Result<WorkerProcess> WorkerProcess::spawn(const WorkerBinary& binary, const asio::any_io_executor& executor,
                                           std::shared_ptr<ChildRegistry> registry) {
    if (process_exiting()) return NgspiceError::io("the process is exiting");
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return NgspiceError::from_errno(errno);
    if (::pipe2(out, O_CLOEXEC) != 0) {
        int err = errno;
        ::close(in[0]);
        ::close(in[1]);
        return NgspiceError::from_errno(err);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    // Python ignores SIGPIPE and children would inherit that; a worker should die of a broken pipe.
    // SIGTERM and SIGINT back to their defaults too, so that closing a pool can end a busy worker.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    // Its own process group, so that ending the worker ends what it started (ngspice's `shell`),
    // and a Ctrl-C at the terminal reaches only the caller, which ends the call itself.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(binary.path.c_str()));
    for (const auto& a : binary.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The caller's environment, with the pool's own entries in place of any of the same name.
    std::vector<char*> envp;
    auto name_of = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
    for (char** e = environ; *e; ++e) {
        const bool replaced = std::any_of(binary.env.begin(), binary.env.end(),
                                          [&](const std::string& own) { return name_of(own) == name_of(*e); });
        if (!replaced) envp.push_back(*e);
    }
    for (const auto& own : binary.env) envp.push_back(const_cast<char*>(own.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, binary.path.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        return NgspiceError::from_errno(rc);
    }
    registry->add(pid);
    asio::posix::stream_descriptor w(executor, in[1]);
    asio::posix::stream_descriptor r(executor, out[0]);
    asio::error_code ec;
    w.non_blocking(true, ec);
    r.non_blocking(true, ec);
    return WorkerProcess(pid, std::move(w), std::move(r), std::move(registry));
}

WorkerProcess::WorkerProcess(WorkerProcess&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)),
      gone_(o.gone_),
      exiting_(o.exiting_),
      out_of_step_(o.out_of_step_),
      requests_(o.requests_),
      unanswered_(std::move(o.unanswered_)),
      stdin_(std::move(o.stdin_)),
      stdout_(std::move(o.stdout_)),
      buffer_(std::move(o.buffer_)),
      registry_(std::move(o.registry_)) {}

WorkerProcess& WorkerProcess::operator=(WorkerProcess&& o) noexcept {
    if (this != &o) {
        release();
        pid_ = std::exchange(o.pid_, -1);
        gone_ = o.gone_;
        exiting_ = o.exiting_;
        out_of_step_ = o.out_of_step_;
        requests_ = o.requests_;
        unanswered_ = std::move(o.unanswered_);
        stdin_ = std::move(o.stdin_);
        stdout_ = std::move(o.stdout_);
        buffer_ = std::move(o.buffer_);
        registry_ = std::move(o.registry_);
    }
    return *this;
}

WorkerProcess::~WorkerProcess() { release(); }

void WorkerProcess::release() {
    asio::error_code ec;
    stdin_.close(ec);  // the worker sees end of input and ends by itself
    if (pid_ > 0 && !gone_ && registry_) registry_->orphan(pid_);
    pid_ = -1;
}

bool WorkerProcess::has_exited() {
    if (!gone_ && registry_->reap_if_exited(pid_)) gone_ = true;
    return gone_;
}

void WorkerProcess::kill_and_reap() {
    if (gone_ || pid_ <= 0) return;
    registry_->kill_and_reap(pid_);
    gone_ = true;
}

std::uint64_t WorkerProcess::rss() const {
    if (pid_ <= 0 || gone_) return 0;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/statm", static_cast<int>(pid_));
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[128];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return 0;
    buf[n] = '\0';
    unsigned long long size = 0, resident = 0;
    if (std::sscanf(buf, "%llu %llu", &size, &resident) != 2) return 0;
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

bool WorkerProcess::out_of_step() {
    if (out_of_step_) return true;
    // Nothing may come between an answer and the next request; end of input counts as nothing.
    const int fd = raw_out_ >= 0 ? raw_out_ : stdout_.native_handle();
    int pending = 0;
    return out_of_step_ = ::ioctl(fd, FIONREAD, &pending) == 0 && pending > 0;
}

Result<SimulationResponse> WorkerProcess::finish(Exchange& exchange) {
    out_of_step_ = exchange.out_of_step();
    exiting_ = exchange.exiting();
    return exchange.take();
}

asio::awaitable<void> WorkerProcess::drive(Exchange& ex, std::chrono::nanoseconds timeout) {
    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer timer(co_await asio::this_coro::executor, timeout);
    if (ex.writing()) {
        // A worker that stops reading would block a large request forever: the write is bounded too.
        const std::string_view line = ex.to_write();
        auto written = co_await (asio::async_write(stdin_, asio::buffer(line.data(), line.size()), use_tuple) ||
                                 timer.async_wait(asio::use_awaitable));
        if (written.index() == 1) co_return ex.timed_out(timeout);
        auto [ec, n] = std::get<0>(written);
        if (ec) co_return ex.write_failed(io_text(ec));
        ex.wrote(n);
        // The answer's clock starts after the last byte is written.
        timer.expires_after(timeout);
    }
    while (!ex.done()) {
        const std::span<char> space = ex.read_space();
        auto got = co_await (stdout_.async_read_some(asio::buffer(space.data(), space.size()), use_tuple) ||
                             timer.async_wait(asio::use_awaitable));
        if (got.index() == 1) co_return ex.timed_out(timeout);
        auto [ec, n] = std::get<0>(got);
        if (ec) co_return ex.read_failed(io_text(ec));
        ex.received(n);
    }
}

asio::awaitable<Result<SimulationResponse>> WorkerProcess::run(const SimulationRequest& request,
                                                               std::chrono::nanoseconds timeout) {
    ++requests_;
    Exchange ex(request, buffer_);
    co_await drive(ex, timeout);
    co_return finish(ex);
}

asio::awaitable<Status> WorkerProcess::drain(std::chrono::nanoseconds timeout) {
    if (!unanswered_) co_return ok_status();
    Exchange ex(*unanswered_, buffer_, false);
    unanswered_.reset();
    co_await drive(ex, timeout);
    if (Result<SimulationResponse> answer = finish(ex); !answer) co_return answer.error();
    co_return ok_status();
}

void WorkerProcess::drive_here(Exchange& ex, std::chrono::nanoseconds timeout,
                               const std::function<bool()>& interrupted) {
    constexpr auto kForever = std::chrono::milliseconds(INT_MAX);
    auto deadline = Clock::now() + timeout;
    while (ex.writing()) {
        const std::string_view rest = ex.to_write();
        const ssize_t n = ::write(raw_in_, rest.data(), rest.size());
        if (n > 0) {
            ex.wrote(static_cast<std::size_t>(n));
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A half-written request cannot be taken back: Ctrl-C waits for the write (or its time-out).
            if (!wait_ready(raw_in_, POLLOUT, deadline, kForever)) return ex.timed_out(timeout);
        } else if (errno != EINTR) {
            return ex.write_failed(os_error_text(errno));
        }
    }
    deadline = Clock::now() + timeout;
    // The answer cannot be there yet: wait before the first read rather than after it fails.
    if (!wait_ready(raw_out_, POLLIN, deadline, kInterruptPeriod)) return ex.timed_out(timeout);
    while (!ex.done()) {
        const std::span<char> space = ex.read_space();
        const ssize_t n = ::read(raw_out_, space.data(), space.size());
        if (n > 0) {
            ex.received(static_cast<std::size_t>(n));
        } else if (n == 0) {
            return ex.read_failed("early eof");
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!wait_ready(raw_out_, POLLIN, deadline, ex.answering() ? kForever : kInterruptPeriod))
                return ex.timed_out(timeout);
            if (!ex.answering() && interrupted()) return;
        } else if (errno != EINTR) {
            return ex.read_failed(os_error_text(errno));
        }
    }
}

std::optional<Result<SimulationResponse>> WorkerProcess::run_here(const SimulationRequest& request,
                                                                  std::chrono::nanoseconds timeout,
                                                                  const std::function<bool()>& interrupted) {
    ++requests_;
    Exchange ex(request, buffer_);
    drive_here(ex, timeout, interrupted);
    if (!ex.done()) {
        unanswered_ = request;
        return std::nullopt;
    }
    return finish(ex);
}

void WorkerProcess::leave_event_loop() {
    raw_in_ = stdin_.release();
    raw_out_ = stdout_.release();
}

void WorkerProcess::rejoin_event_loop() {
    asio::error_code ec;
    // The descriptors stay non-blocking (set at spawn); asio learns that again on its first use.
    stdin_.assign(std::exchange(raw_in_, -1), ec);
    stdout_.assign(std::exchange(raw_out_, -1), ec);
}

}  // namespace tavlo
