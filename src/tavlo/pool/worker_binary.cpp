#include "tavlo/pool/worker_binary.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <optional>

#include "tavlo/base/text.hpp"

namespace tavlo {

namespace {

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

}  // namespace tavlo
