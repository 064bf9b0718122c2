#include <cstdio>

#include "tavlo/worker.hpp"

int main() {
    tavlo::Status s = tavlo::run_worker();
    if (!s) {
        std::fprintf(stderr, "%s\n", s.error().display().c_str());
        return 1;
    }
    return 0;
}
