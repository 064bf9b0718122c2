#include "tavlo/pool/children.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace tavlo {

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

// A fork taken while another thread held the list's lock would leave it locked in the child.
void install_process_hooks() {
    std::atexit(terminate_every_pool);
    ::pthread_atfork([] { g_registries_mu.lock(); }, [] { g_registries_mu.unlock(); },
                     [] { g_registries_mu.unlock(); });
}

enum class State { Running, Ended, NotOurs };

// Asked without collecting the status: until it is reaped, its pid (and group id) stays ours.
State state_of(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return State::NotOurs;
    return info.si_pid != 0 ? State::Ended : State::Running;
}

bool has_ended(pid_t pid) { return state_of(pid) != State::Running; }

// A child someone else reaped (its pid may be recycled already) is only forgotten.
void reap(pid_t pid) {
    if (state_of(pid) == State::NotOurs) return;
    ::kill(-pid, SIGKILL);  // the worker, and whatever it started and left behind
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

bool process_exiting() { return g_exiting; }

bool forked_since(pid_t owner) { return ::getpid() != owner; }

ChildRegistry::ChildRegistry() : owner_(::getpid()) {
    static std::once_flag once;
    std::call_once(once, install_process_hooks);
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

bool ChildRegistry::foreign() const { return forked_since(owner_); }

void ChildRegistry::add(pid_t pid) {
    if (foreign()) return;
    std::lock_guard lock(mu_);
    reap_orphans_locked();
    children_[pid] = false;
}

bool ChildRegistry::reap_if_exited(pid_t pid) {
    if (foreign()) return true;
    std::lock_guard lock(mu_);
    auto it = children_.find(pid);
    if (it == children_.end()) return true;
    if (!has_ended(pid)) return false;
    reap(pid);
    children_.erase(it);
    return true;
}

void ChildRegistry::kill_and_reap(pid_t pid) {
    if (foreign()) return;
    std::lock_guard lock(mu_);
    auto it = children_.find(pid);
    if (it == children_.end()) return;
    reap(pid);
    children_.erase(it);
}

void ChildRegistry::orphan(pid_t pid) {
    if (foreign()) return;
    std::lock_guard lock(mu_);
    auto it = children_.find(pid);
    if (it != children_.end()) it->second = true;
    reap_orphans_locked();
}

void ChildRegistry::reap_orphans_locked() {
    for (auto it = children_.begin(); it != children_.end();) {
        if (it->second && has_ended(it->first)) {
            reap(it->first);
            it = children_.erase(it);
        } else {
            ++it;
        }
    }
}

void ChildRegistry::terminate_all(std::chrono::milliseconds grace) {
    if (foreign()) return;
    std::lock_guard lock(mu_);
    if (children_.empty()) return;
    for (const auto& [pid, orphaned] : children_) ::kill(-pid, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + grace;
    for (;;) {
        for (auto it = children_.begin(); it != children_.end();) {
            if (has_ended(it->first)) {
                reap(it->first);
                it = children_.erase(it);
            } else {
                ++it;
            }
        }
        if (children_.empty() || std::chrono::steady_clock::now() >= until) break;
        ::usleep(2000);
    }
    for (const auto& [pid, orphaned] : children_) reap(pid);
    children_.clear();
}

std::size_t ChildRegistry::size() {
    if (foreign()) return 0;
    std::lock_guard lock(mu_);
    reap_orphans_locked();
    return children_.size();
}

}  // namespace tavlo
