#include "tavlo/pool/fault_lines.hpp"

#include <atomic>
#include <deque>
#include <mutex>

#include "tavlo/base/io.hpp"

namespace tavlo {

namespace {

// Fault lines kept for the embedding program (the Python module hands them to its logger from a
// thread that holds the interpreter lock); bounded, the oldest dropped first.
constexpr std::size_t kKeptLines = 1000;
std::mutex g_write_mu;
std::mutex g_kept_mu;
std::deque<std::string> g_kept;
std::atomic<bool> g_keep{false};
std::atomic<std::size_t> g_kept_count{0};

}  // namespace

void log_line(const std::string& line, bool fault) {
    std::string whole = line + "\n";
    {
        std::lock_guard lock(g_write_mu);
        (void)write_fd(2, whole.data(), whole.size());  // nowhere left to report a failure
    }
    if (!fault || !g_keep.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(g_kept_mu);
    if (g_kept.size() == kKeptLines) g_kept.pop_front();
    g_kept.push_back(line);
    g_kept_count.store(g_kept.size(), std::memory_order_release);
}

void keep_fault_lines(bool on) { g_keep.store(on, std::memory_order_relaxed); }

std::vector<std::string> take_fault_lines() {
    if (g_kept_count.load(std::memory_order_acquire) == 0) return {};
    std::lock_guard lock(g_kept_mu);
    std::vector<std::string> out(std::make_move_iterator(g_kept.begin()), std::make_move_iterator(g_kept.end()));
    g_kept.clear();
    g_kept_count.store(0, std::memory_order_release);
    return out;
}

}  // namespace tavlo
