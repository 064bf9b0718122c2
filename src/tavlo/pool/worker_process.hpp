#pragma once
// One started worker process, and the two drivers of its exchanges: Asio on the runtime's
// threads, poll(2) on a calling thread.

#include <sys/types.h>

#include <asio/awaitable.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tavlo/base/error.hpp"
#include "tavlo/pool/block_on.hpp"
#include "tavlo/pool/children.hpp"
#include "tavlo/pool/exchange.hpp"
#include "tavlo/pool/worker_binary.hpp"
#include "tavlo/protocol/protocol.hpp"

namespace tavlo {

/// One started worker, leading its own process group. Dropping it closes both pipes; the child
/// ends on its own at end of input and its registry reaps it.
class WorkerProcess {
public:
    static Result<WorkerProcess> spawn(const WorkerBinary& binary, const asio::any_io_executor& executor,
                                       std::shared_ptr<ChildRegistry> registry);

    WorkerProcess(WorkerProcess&&) noexcept;
    WorkerProcess& operator=(WorkerProcess&&) noexcept;
    ~WorkerProcess();

    /// Never blocks; remembers a collected status, so later calls also answer true.
    bool has_exited();

    /// Writes one request and reads its answer, each bounded by `timeout`. Any error means the
    /// stream can no longer be trusted (a time-out, a short read, a header that does not decode,
    /// an answer to another request): the caller must replace the process.
    asio::awaitable<Result<SimulationResponse>> run(const SimulationRequest& request,
                                                    std::chrono::nanoseconds timeout);

    /// The same exchange on the calling thread, between leave_event_loop() and rejoin_event_loop():
    /// it saves the two thread hand-offs of the runtime. `interrupted` is asked every
    /// kInterruptPeriod until the answer starts to arrive; when it says true, returns nothing: the
    /// request is written and its answer is still to come (drain() reads it).
    std::optional<Result<SimulationResponse>> run_here(const SimulationRequest& request,
                                                       std::chrono::nanoseconds timeout,
                                                       const std::function<bool()>& interrupted);

    /// Takes the pipes out of the runtime's event loop for run_here(), whose traffic would
    /// otherwise wake a runtime thread for nothing on every answer, and puts them back.
    void leave_event_loop();
    void rejoin_event_loop();

    /// Reads and drops the answer that run_here() left to come; an error means the stream can no
    /// longer be trusted.
    asio::awaitable<Status> drain(std::chrono::nanoseconds timeout);

    /// The last exchange found bytes after its answer, or bytes have come since: the process must go.
    bool out_of_step();
    /// The last answer said the worker ends now.
    bool exiting() const { return exiting_; }
    std::uint64_t requests() const { return requests_; }
    /// Resident memory in bytes, 0 when unknown.
    std::uint64_t rss() const;

    /// SIGKILL to its group and reap: used when the stream can no longer be trusted.
    void kill_and_reap();

    pid_t pid() const { return pid_; }

private:
    WorkerProcess(pid_t pid, asio::posix::stream_descriptor in, asio::posix::stream_descriptor out,
                  std::shared_ptr<ChildRegistry> registry)
        : pid_(pid), stdin_(std::move(in)), stdout_(std::move(out)), registry_(std::move(registry)) {}
    void release();
    asio::awaitable<void> drive(Exchange& exchange, std::chrono::nanoseconds timeout);
    void drive_here(Exchange& exchange, std::chrono::nanoseconds timeout, const std::function<bool()>& interrupted);
    Result<SimulationResponse> finish(Exchange& exchange);

    pid_t pid_ = -1;
    bool gone_ = false;
    bool exiting_ = false;
    bool out_of_step_ = false;
    int raw_in_ = -1, raw_out_ = -1;  // the pipes while out of the event loop
    std::uint64_t requests_ = 0;
    std::optional<SimulationRequest> unanswered_;  // left by an interrupted run_here()
    asio::posix::stream_descriptor stdin_;
    asio::posix::stream_descriptor stdout_;
    std::vector<char> buffer_;
    std::shared_ptr<ChildRegistry> registry_;
};

}  // namespace tavlo
