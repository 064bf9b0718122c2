// Runs request lines in-process, one after another, with the worker's own ngspice calls
// (Simulator::handle + clean_up, no pipe, JSON or frame), and prints each request's time in
// milliseconds as a JSON list: the physical limit that the pool is measured against.
//
// Usage: inprocess_runner REQUESTS_FILE   (one request JSON per line)

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "tavlo/worker/simulator.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: inprocess_runner REQUESTS_FILE\n");
        return 2;
    }
    auto sim = tavlo::Simulator::start();
    if (!sim) {
        std::fprintf(stderr, "inprocess_runner: %s\n", sim.error().display().c_str());
        return 1;
    }
    std::ifstream in(argv[1]);
    std::string line, out = "[";
    while (std::getline(in, line)) {
        auto request = tavlo::decode_request(line);
        if (!request) {
            std::fprintf(stderr, "inprocess_runner: %s\n", request.error().display().c_str());
            return 1;
        }
        auto start = std::chrono::steady_clock::now();
        tavlo::SimulationResponse r = (*sim)->handle(*request);
        (*sim)->clean_up();
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (!r.success) {
            std::fprintf(stderr, "inprocess_runner: %s failed: %s\n", request->id.c_str(), r.error.value_or("").c_str());
            return 1;
        }
        out += (out.size() > 1 ? ", " : "") + std::to_string(ms);
    }
    std::printf("%s]\n", out.c_str());
    return 0;
}
