#include "tavlo/pool/worker_process.hpp"

#include "tavlo/format.hpp"

#include <fcntl.h>
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
#include <thread>

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
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = s[i];
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return std::nullopt;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return std::nullopt;
        i += n;
    }
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

void reap_in_background(pid_t pid) {
    if (::waitpid(pid, nullptr, WNOHANG) != 0) return;  // already gone, or not ours
    try {
        std::thread([pid] { while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {} }).detach();
    } catch (...) {
        // No thread to spare: the child stays a zombie until this process ends; nothing else breaks.
    }
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
    if (auto self = own_executable()) return WorkerBinary{*self, {"--worker"}};
    return NgspiceError::init_failed(
        "could not find 'ngspice-worker' binary. Set the NGSPICE_WORKER_BIN environment variable or ensure it is "
        "on PATH.");
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

asio::awaitable<Result<SimulationResponse>> read_binary_response(BufferedReader& in) {
    unsigned char prefix[4];
    if (Status s = co_await in.read_exact(reinterpret_cast<char*>(prefix), 4); !s)
        co_return read_failure(kStepHeaderLen, s.error().payload());
    std::uint32_t len = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) | (std::uint32_t(prefix[3]) << 24);
    if (len > kMaxHeaderLen)
        co_return read_failure(kStepHeader, "announced header length " + std::to_string(len) + " is too large");
    std::string header(len, '\0');
    if (Status s = co_await in.read_exact(header.data(), len); !s)
        co_return read_failure(kStepHeader, s.error().payload());
    Result<WireHeader> h = decode_header(header);
    if (!h) co_return h.error();
    std::vector<VectorData> vectors;
    vectors.reserve(h->vecs.size());
    for (const auto& meta : h->vecs) {
        std::optional<PayloadReader> p = PayloadReader::start(meta);
        if (!p)
            co_return read_failure(meta.is_complex ? PayloadReader::kStepComplexVec : PayloadReader::kStepVecData,
                                   "announced vector length " + std::to_string(meta.len) + " is too large");
        while (!p->done()) {
            auto [buf, n] = p->next_chunk();
            if (Status s = co_await in.read_exact(buf, n); !s) co_return read_failure(p->step(), s.error().payload());
            p->commit();
        }
        vectors.push_back(std::move(*p).finish());
    }
    co_return make_response(std::move(*h), std::move(vectors));
}

// ---- the process ----

Result<WorkerProcess> WorkerProcess::spawn(const WorkerBinary& binary, const asio::any_io_executor& executor) {
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
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

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
    asio::posix::stream_descriptor w(executor, in[1]);
    asio::posix::stream_descriptor r(executor, out[0]);
    asio::error_code ec;
    w.non_blocking(true, ec);
    r.non_blocking(true, ec);
    return WorkerProcess(pid, std::move(w), std::move(r));
}

WorkerProcess::WorkerProcess(WorkerProcess&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)), reaped_(o.reaped_), stdin_(std::move(o.stdin_)), stdout_(std::move(o.stdout_)) {}

WorkerProcess& WorkerProcess::operator=(WorkerProcess&& o) noexcept {
    if (this != &o) {
        release();
        pid_ = std::exchange(o.pid_, -1);
        reaped_ = o.reaped_;
        stdin_ = std::move(o.stdin_);
        stdout_ = std::move(o.stdout_);
    }
    return *this;
}

WorkerProcess::~WorkerProcess() { release(); }

void WorkerProcess::release() {
    asio::error_code ec;
    stdin_.close(ec);  // the worker sees end of input and ends by itself
    if (pid_ > 0 && !reaped_) reap_in_background(pid_);
    pid_ = -1;
}

bool WorkerProcess::has_exited() {
    if (reaped_) return true;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == 0) return false;
    reaped_ = true;  // exited and collected, or the query failed: either way it is not serving
    return true;
}

void WorkerProcess::kill_and_reap() {
    if (reaped_ || pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {}
    reaped_ = true;
}

std::string timeout_message(std::chrono::nanoseconds timeout) {
    double secs = static_cast<double>(timeout.count()) / 1e9;
    return "worker timed out after " + format_fixed(secs, 0) + "s";
}

asio::awaitable<Result<SimulationResponse>> WorkerProcess::run(const SimulationRequest& request,
                                                               std::chrono::nanoseconds timeout) {
    using namespace asio::experimental::awaitable_operators;
    std::string line = encode_request_line(request);
    auto [ec, n] = co_await asio::async_write(stdin_, asio::buffer(line), use_tuple);
    if (ec) co_return NgspiceError::worker_crashed("stdin write failed: " + io_text(ec));
    // The clock starts after the last byte is written.
    asio::steady_timer timer(co_await asio::this_coro::executor, timeout);
    auto outcome = co_await (read_binary_response(stdout_) || timer.async_wait(asio::use_awaitable));
    if (outcome.index() == 1) co_return NgspiceError::simulation_failed(timeout_message(timeout));
    co_return std::move(std::get<0>(outcome));
}

}  // namespace tavlo
