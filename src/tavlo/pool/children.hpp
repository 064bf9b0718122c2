#pragma once
// Every child a pool started: ended with the processes it started itself, and reaped.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>

namespace tavlo {

/// Every child a pool started and has not reaped yet. Each child leads its own process group, so
/// ending it ends what it started too (ngspice's `shell`). Signals go only to registered children,
/// under the lock that reaping takes too, and a group is signalled before its leader is reaped, so
/// a recycled pid is never signalled. Dropped children are reaped here, by later calls and at the
/// latest by terminate_all: no thread of our own waits for them, and none outlives the pool.
///
/// In a forked copy of the process that created it, the registry does nothing: those children
/// belong to the parent, which still serves them.
class ChildRegistry {
public:
    ChildRegistry();
    ~ChildRegistry();
    ChildRegistry(const ChildRegistry&) = delete;
    ChildRegistry& operator=(const ChildRegistry&) = delete;

    void add(pid_t pid);
    /// Reaps the child (and ends its group) if it has ended; true when it is gone (or was never ours).
    bool reap_if_exited(pid_t pid);
    /// SIGKILL to its group and wait for it.
    void kill_and_reap(pid_t pid);
    /// Its handle is gone: the child ends on its own (end of input) and is reaped later.
    void orphan(pid_t pid);
    /// SIGTERM to every child's group, SIGKILL to those still there after `grace`, and reap them all.
    void terminate_all(std::chrono::milliseconds grace);
    std::size_t size();
    /// This process is a fork of the one that created the registry.
    bool foreign() const;

private:
    void reap_orphans_locked();
    pid_t owner_;
    std::mutex mu_;
    std::map<pid_t, bool> children_;  // pid -> orphaned
};

/// The process is exiting (its exit handlers run): no new worker may be started.
bool process_exiting();

/// This process is a fork of one that had a pool open.
bool forked_since(pid_t owner);

}  // namespace tavlo
