#include <csignal>
#include <cstdio>

#include "tavlo/worker/loop.hpp"

int main() {
    // Like the interpreter-based worker: a pool that went away turns the next write into an
    // I/O error with its reason on standard error, not a silent death by signal.
    std::signal(SIGPIPE, SIG_IGN);
    tavlo::Status s = tavlo::run_worker();
    if (!s) {
        std::fprintf(stderr, "%s\n", s.error().display().c_str());
        return 1;
    }
    return 0;
}
