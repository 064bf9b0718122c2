// A scripted stand-in for ngspice-worker, for injecting faults into the pool in the C++ tests.
//
// Each request's netlist chooses the behaviour with "MODE=<mode>":
//   echo         answer success with a vector "value" holding the number after "VALUE=" (default)
//   crash        exit without answering
//   hang         never answer
//   slow         answer after SLOW_SECS=<s> seconds
//   badframe     send a frame whose header length is 0
//   huge         announce a header of 2^31 bytes
//   exit-after   answer, then exit
//   stray        send a frame for another id first, then the answer
//   stray-after  answer, then a frame for another id
//   stall-after  answer, then stop reading requests
//   spawn        start a child that sleeps (as ngspice's `shell` would) and answer with its pid
//   keep         answer with the number in TAVLO_WORKER_KEEP_BYTES (-1 when unset)
// Every answer also carries a vector "pid" with the worker's own pid. With FAKE_LOG set, every
// request id received is appended to that file.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "tavlo/protocol/protocol.hpp"

using namespace tavlo;

namespace {

std::string word_after(const std::string& text, const std::string& key) {
    std::size_t at = text.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    std::size_t end = text.find_first_of(" \t\r\n", at);
    return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

void answer(ByteSink& out, const std::string& id, double value) {
    std::vector<VectorData> vecs{{"value", {value}, std::nullopt, false},
                                 {"pid", {static_cast<double>(::getpid())}, std::nullopt, false}};
    if (!write_wire_response(out, id, true, vecs, {}, std::nullopt, {{"value", value}})) std::exit(4);
}

void raw(const char* bytes, std::size_t n) {
    if (!write_fd(1, bytes, n)) std::exit(4);
}

}  // namespace

int main() {
    FdWriter out(1);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty()) continue;
        Result<SimulationRequest> req = decode_request(line);
        if (!req) {
            std::fprintf(stderr, "fake worker: %s\n", req.error().display().c_str());
            return 2;
        }
        if (const char* log = std::getenv("FAKE_LOG")) std::ofstream(log, std::ios::app) << req->id << "\n";
        std::string mode = word_after(req->netlist, "MODE=");
        if (mode.empty()) mode = "echo";
        const std::string value_text = word_after(req->netlist, "VALUE=");
        double value = value_text.empty() ? 0.0 : std::strtod(value_text.c_str(), nullptr);
        if (const char* tag = std::getenv("FAKE_TAG")) value = std::strtod(tag, nullptr);

        if (mode == "crash") return 3;
        if (mode == "hang") ::sleep(3600);
        if (mode == "slow") ::usleep(static_cast<useconds_t>(std::stod(word_after(req->netlist, "SLOW_SECS=")) * 1e6));
        if (mode == "badframe") {
            raw("\0\0\0\0", 4);
            continue;
        }
        if (mode == "huge") {
            raw("\x00\x00\x00\x80", 4);
            continue;
        }
        if (mode == "spawn") {
            const pid_t child = ::fork();
            if (child == 0) {
                ::close(0);
                ::close(1);
                for (;;) ::pause();
            }
            value = static_cast<double>(child);
        }
        if (mode == "keep") {
            const char* keep = std::getenv(tavlo::kKeepBytesVariable);
            value = keep ? std::strtod(keep, nullptr) : -1.0;
        }
        if (mode == "stray") answer(out, "stray", -1.0);
        answer(out, req->id, value);
        if (mode == "stray-after") answer(out, "stray", -1.0);
        if (mode == "exit-after") return 0;
        if (mode == "stall-after") ::sleep(3600);
    }
    return 0;
}
