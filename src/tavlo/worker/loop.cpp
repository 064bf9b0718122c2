#include "tavlo/worker/loop.hpp"

#include "tavlo/base/text.hpp"
#include "tavlo/worker/requests.hpp"
#include "tavlo/worker/simulator.hpp"

namespace tavlo {

using detail::LineReader;
using detail::PrivateStreams;

Status run_worker() {
    PrivateStreams streams;
    if (Status s = streams.open(); !s) return s;
    Result<std::unique_ptr<Simulator>> started = Simulator::start();
    if (!started) return started.error();
    Simulator& sim = **started;
    FdWriter out(streams.out());
    LineReader in(streams.in());
    // A frame is assembled in memory and handed to the writer in one piece: written in parts,
    // its reader would wake once per part, and on this kind of machine a wake-up costs more
    // than copying a sweep's samples once.
    StringSink frame;
    auto send = [&](const std::string& id, bool success, const std::vector<VectorData>& vectors,
                    const std::vector<std::string>& log, const std::optional<std::string>& error,
                    const std::vector<Measure>& measures, bool exiting = false) -> Status {
        frame.bytes.clear();
        // memory cannot fail
        (void)write_wire_response(frame, id, success, vectors, log, error, measures, exiting);
        if (Status s = out.write(frame.bytes.data(), frame.bytes.size()); !s) return s;
        return out.flush();
    };

    std::string line;
    for (;;) {
        Result<bool> got = in.next(line);
        if (!got) return got.error();
        if (!*got) return ok_status();
        if (is_blank(line)) continue;

        Result<SimulationRequest> request = decode_request(line);
        if (!request) {
            const std::string& why = request.error().payload();
            if (Status s = send("unknown", false, {}, {"failed to parse request: " + why}, "parse error: " + why, {});
                !s)
                return s;
            continue;
        }
        SimulationResponse a = sim.handle(*request);
        // A library that asked to exit would crash the next request: the frame says this worker
        // ends, so the pool replaces it before giving it more work.
        const bool exiting = sim.exit_requested();
        if (Status s = send(a.id, a.success, a.vectors, a.log, a.error, a.measures, exiting); !s) return s;
        if (exiting) return ok_status();
        sim.clean_up();
        if (sim.exit_requested()) return ok_status();
    }
}

}  // namespace tavlo
