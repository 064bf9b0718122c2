#include "tavlo/pool/worker_process.hpp"

#include "tavlo/base/format.hpp"
#include "tavlo/base/text.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <cstdio>
#include <mutex>

extern char** environ;

namespace tavlo {

namespace {

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::optional<std::string> env_utf8(const char* name) {
    const char* v = std::getenv(name);
    if (!v) return std::nullopt;
    std::string s(v);
    // Only valid UTF-8 counts as set.
    if (!is_valid_utf8(s)) return std::nullopt;
    return s;
}


std::optional<std::string> own_executable() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
}

std::string join(const std::string& dir, const char* name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

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

Result<WorkerBinary> find_worker_binary() {
    constexpr const char* kName = "ngspice-worker";
    if (auto p = env_utf8("NGSPICE_WORKER_BIN"); p && exists(*p)) return WorkerBinary{*p, {}};
    if (auto self = own_executable()) {
        std::string dir = self->substr(0, self->rfind('/'));
        if (std::string p = join(dir, kName); exists(p)) return WorkerBinary{p, {}};
    }
    if (auto venv = env_utf8("VIRTUAL_ENV")) {
        if (std::string p = join(join(*venv, "bin"), kName); exists(p)) return WorkerBinary{p, {}};
    }
    if (const char* path = std::getenv("PATH")) {  // raw bytes: entries need not be UTF-8
        std::string all(path);
        std::size_t start = 0;
        while (start <= all.size()) {
            std::size_t end = all.find(':', start);
            if (end == std::string::npos) end = all.size();
            // An empty entry means the current directory.
            std::string p = join(all.substr(start, end - start), kName);
            if (exists(p)) return WorkerBinary{p, {}};
            start = end + 1;
        }
    }
    // No fallback to this program itself: inside Python that is the interpreter, which is no worker.
    return NgspiceError::init_failed(
        "could not find 'ngspice-worker' binary. Set the NGSPICE_WORKER_BIN environment variable or ensure it is "
        "on PATH.");
}

// ---- children ----

namespace {

// Children of every live registry, so that a process exit that skipped the pools' own close
// still ends their workers.
std::mutex g_registries_mu;
std::vector<ChildRegistry*> g_registries;
// Set when the process exits: pools whose runtime still runs must not start new workers then.
std::atomic<bool> g_exiting{false};

void terminate_every_pool() {
    g_exiting = true;
    std::vector<ChildRegistry*> all;
    {
        std::lock_guard lock(g_registries_mu);
        all = g_registries;
    }
    for (ChildRegistry* r : all) r->terminate_all(std::chrono::milliseconds(200));
}

}  // namespace

ChildRegistry::ChildRegistry() {
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(terminate_every_pool); });
    std::lock_guard lock(g_registries_mu);
    g_registries.push_back(this);
}

ChildRegistry::~ChildRegistry() {
    {
        std::lock_guard lock(g_registries_mu);
        std::erase(g_registries, this);
    }
    terminate_all(std::chrono::milliseconds(200));
}

void ChildRegistry::add(pid_t pid) {
    std::lock_guard lock(mu_);
    reap_orphans_locked();
    children_[pid] = false;
}

bool ChildRegistry::reap_if_exited(pid_t pid) {
    std::lock_guard lock(mu_);
    auto it = children_.find(pid);
    if (it == children_.end()) return true;
    pid_t r = ::waitpid(pid, nullptr, WNOHANG);
    if (r == 0) return false;
    children_.erase(it);  // reaped, or not our child any more: either way it is not serving
    return true;
}

void ChildRegistry::kill_and_reap(pid_t pid) {
    std::lock_guard lock(mu_);
    auto it = children_.find(pid);
    if (it == children_.end()) return;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    children_.erase(it);
}

void ChildRegistry::orphan(pid_t pid) {
    std::lock_guard lock(mu_);
    auto it = children_.find(pid);
    if (it != children_.end()) it->second = true;
    reap_orphans_locked();
}

void ChildRegistry::reap_orphans_locked() {
    for (auto it = children_.begin(); it != children_.end();) {
        if (it->second && ::waitpid(it->first, nullptr, WNOHANG) != 0)
            it = children_.erase(it);
        else
            ++it;
    }
}

void ChildRegistry::terminate_all(std::chrono::milliseconds grace) {
    std::lock_guard lock(mu_);
    if (children_.empty()) return;
    for (const auto& [pid, orphaned] : children_) ::kill(pid, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + grace;
    for (;;) {
        for (auto it = children_.begin(); it != children_.end();)
            it = ::waitpid(it->first, nullptr, WNOHANG) != 0 ? children_.erase(it) : std::next(it);
        if (children_.empty() || std::chrono::steady_clock::now() >= until) break;
        ::usleep(2000);
    }
    for (const auto& [pid, orphaned] : children_) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    children_.clear();
}

std::size_t ChildRegistry::size() {
    std::lock_guard lock(mu_);
    reap_orphans_locked();
    return children_.size();
}

// ---- reading ----

asio::awaitable<Status> BufferedReader::read_exact(char* dst, std::size_t n) {
    std::size_t take = std::min(n, end_ - pos_);
    std::memcpy(dst, buf_.data() + pos_, take);
    pos_ += take;
    dst += take;
    n -= take;
    if (n >= buf_.size()) {  // large payloads bypass the buffer
        auto [ec, got] = co_await asio::async_read(fd_, asio::buffer(dst, n), use_tuple);
        if (ec) co_return NgspiceError::io(io_text(ec));
        co_return ok_status();
    }
    while (n > 0) {
        auto [ec, got] = co_await fd_.async_read_some(asio::buffer(buf_), use_tuple);
        if (ec) co_return NgspiceError::io(io_text(ec));
        pos_ = 0;
        end_ = got;
        take = std::min(n, end_);
        std::memcpy(dst, buf_.data(), take);
        pos_ = take;
        dst += take;
        n -= take;
    }
    co_return ok_status();
}

asio::awaitable<Result<SimulationResponse>> read_binary_response(BufferedReader& in, bool* exiting) {
    FrameParser parser;
    while (!parser.done()) {
        auto [buf, n] = parser.next();
        if (Status s = co_await in.read_exact(buf, n); !s) co_return parser.read_failed(s.error().payload());
        parser.commit();
    }
    if (exiting) *exiting = parser.worker_exiting();
    co_return parser.take();
}

// ---- the process ----

Result<WorkerProcess> WorkerProcess::spawn(const WorkerBinary& binary, const asio::any_io_executor& executor,
                                           std::shared_ptr<ChildRegistry> registry) {
    if (g_exiting) return NgspiceError::io("the process is exiting");
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
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(binary.path.c_str()));
    for (const auto& a : binary.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, binary.path.c_str(), &actions, &attr, argv.data(), environ);
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
      stdin_(std::move(o.stdin_)),
      stdout_(std::move(o.stdout_)),
      registry_(std::move(o.registry_)) {}

WorkerProcess& WorkerProcess::operator=(WorkerProcess&& o) noexcept {
    if (this != &o) {
        release();
        pid_ = std::exchange(o.pid_, -1);
        gone_ = o.gone_;
        exiting_ = o.exiting_;
        out_of_step_ = o.out_of_step_;
        requests_ = o.requests_;
        stdin_ = std::move(o.stdin_);
        stdout_ = std::move(o.stdout_);
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

std::optional<Result<SimulationResponse>> WorkerProcess::run_here(const SimulationRequest& request,
                                                                  std::chrono::nanoseconds timeout,
                                                                  const std::function<bool()>& interrupted) {
    constexpr auto kForever = std::chrono::milliseconds(INT_MAX);
    constexpr auto kSlice = std::chrono::milliseconds(50);
    ++requests_;
    const std::string line = encode_request_line(request);
    const int wfd = raw_in_;
    auto deadline = Clock::now() + timeout;
    for (std::size_t off = 0; off < line.size();) {
        const ssize_t n = ::write(wfd, line.data() + off, line.size() - off);
        if (n > 0) {
            off += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A half-written request cannot be taken back: Ctrl-C waits for the write (or its time-out).
            if (!wait_ready(wfd, POLLOUT, deadline, kForever))
                return NgspiceError::simulation_failed(timeout_message(timeout));
        } else if (errno != EINTR) {
            return NgspiceError::worker_crashed("stdin write failed: " + os_error_text(errno));
        }
    }

    // The answer's clock starts after the last byte is written.
    deadline = Clock::now() + timeout;
    const int rfd = raw_out_;
    static thread_local std::vector<char> buf(1 << 16);
    std::size_t pos = 0, end = 0;
    bool started = false;
    // The answer cannot be there yet: wait before the first read rather than after it fails.
    if (!wait_ready(rfd, POLLIN, deadline, kSlice)) return NgspiceError::simulation_failed(timeout_message(timeout));
    FrameParser parser;
    auto [dst, need] = parser.next();
    while (!parser.done()) {
        if (pos == end) {
            // Large pieces go straight to their place; small ones through the buffer, in few reads.
            const bool direct = need >= buf.size();
            const ssize_t n = direct ? ::read(rfd, dst, need) : ::read(rfd, buf.data(), buf.size());
            if (n == 0) return parser.read_failed("early eof");
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) return parser.read_failed(os_error_text(errno));
                if (!wait_ready(rfd, POLLIN, deadline, started ? kForever : kSlice))
                    return NgspiceError::simulation_failed(timeout_message(timeout));
                if (!started && interrupted()) return std::nullopt;
                continue;
            }
            started = true;
            if (direct) {
                dst += n;
                need -= static_cast<std::size_t>(n);
            } else {
                end = static_cast<std::size_t>(n);
                pos = 0;
            }
        }
        const std::size_t take = std::min(need, end - pos);
        std::memcpy(dst, buf.data() + pos, take);
        pos += take;
        dst += take;
        need -= take;
        if (need == 0) {
            parser.commit();
            if (!parser.done()) std::tie(dst, need) = parser.next();
        }
    }
    out_of_step_ = pos != end;
    exiting_ = parser.worker_exiting();
    Result<SimulationResponse> answer = parser.take();
    if (answer && answer->id != request.id)
        return NgspiceError::worker_crashed("answer out of step: expected id '" + request.id + "', got '" +
                                            answer->id + "'");
    return answer;
}

void WorkerProcess::leave_event_loop() {
    raw_in_ = stdin_.release();
    raw_out_ = stdout_.descriptor().release();
}

void WorkerProcess::rejoin_event_loop() {
    asio::error_code ec;
    // The descriptors stay non-blocking (set at spawn); asio learns that again on its first use.
    stdin_.assign(std::exchange(raw_in_, -1), ec);
    stdout_.descriptor().assign(std::exchange(raw_out_, -1), ec);
}

asio::awaitable<Status> WorkerProcess::drain(std::chrono::nanoseconds timeout) {
    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer timer(co_await asio::this_coro::executor, timeout);
    auto outcome = co_await (read_binary_response(stdout_, &exiting_) || timer.async_wait(asio::use_awaitable));
    if (outcome.index() == 1) co_return NgspiceError::simulation_failed(timeout_message(timeout));
    if (Result<SimulationResponse>& answer = std::get<0>(outcome); !answer) co_return answer.error();
    co_return ok_status();
}

std::string timeout_message(std::chrono::nanoseconds timeout) {
    double secs = static_cast<double>(timeout.count()) / 1e9;
    return "worker timed out after " + format_fixed(secs, 0) + "s";
}

asio::awaitable<Result<SimulationResponse>> WorkerProcess::run(const SimulationRequest& request,
                                                               std::chrono::nanoseconds timeout) {
    using namespace asio::experimental::awaitable_operators;
    ++requests_;
    std::string line = encode_request_line(request);
    asio::steady_timer timer(co_await asio::this_coro::executor, timeout);
    // A worker that stops reading would block a large request forever: the write is bounded too.
    auto written = co_await (asio::async_write(stdin_, asio::buffer(line), use_tuple) ||
                             timer.async_wait(asio::use_awaitable));
    if (written.index() == 1) co_return NgspiceError::simulation_failed(timeout_message(timeout));
    if (auto [ec, n] = std::get<0>(written); ec)
        co_return NgspiceError::worker_crashed("stdin write failed: " + io_text(ec));
    // The answer's clock starts after the last byte is written.
    timer.expires_after(timeout);
    auto outcome = co_await (read_binary_response(stdout_, &exiting_) || timer.async_wait(asio::use_awaitable));
    if (outcome.index() == 1) co_return NgspiceError::simulation_failed(timeout_message(timeout));
    Result<SimulationResponse> answer = std::move(std::get<0>(outcome));
    // An answer to another request means the stream is out of step: never hand it on.
    if (answer && answer->id != request.id)
        co_return NgspiceError::worker_crashed("answer out of step: expected id '" + request.id + "', got '" +
                                               answer->id + "'");
    co_return answer;
}

}  // namespace tavlo
