#include "tavlo/characterise/generate.hpp"

#include <unistd.h>

#include <algorithm>
#include <asio/experimental/as_tuple.hpp>
#include <asio/co_spawn.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>

#include "tavlo/base/format.hpp"
#include "tavlo/characterise/assemble.hpp"
#include "tavlo/characterise/plan.hpp"
#include "tavlo/lut/extract.hpp"
#include "tavlo/lut/sweep.hpp"

namespace tavlo {

namespace {

struct ChunkRows {
    std::size_t length_index = 0;
    std::size_t first_row = 0;
    Grid rows;
};

using JobResult = std::optional<Result<ChunkRows>>;
using Outcomes = asio::experimental::concurrent_channel<void(asio::error_code, JobResult)>;

// Progress goes to descriptor 1 itself, not through any language runtime's stream buffer.
void print_stdout(const std::string& text) { (void)write_fd(1, text.data(), text.size()); }

// ngspice heads some errors with a line ending in ':' ("Error on line 5 or its substitute:") and
// gives the offending line and the reason on the next two lines: those complete the message.
std::string failure_text(const SimulationResponse& response) {
    if (!response.error) return "(no message)";
    std::string text = *response.error;
    if (!text.ends_with(':')) return text;
    auto at = std::find(response.log.begin(), response.log.end(), text);
    int added = 0;
    for (auto it = at == response.log.end() ? at : at + 1; it != response.log.end() && added < 2; ++it, ++added) {
        if (!it->starts_with("stderr ")) break;
        text += (added ? "; " : " ") + it->substr(7);
    }
    return text;
}

asio::awaitable<Result<ChunkRows>> run_chunk(std::shared_ptr<WorkerPool> pool, SimulationRequest request, double length,
                                             std::size_t chunk_index, std::size_t first_row, std::size_t rows,
                                             std::size_t n_vds, std::size_t length_index,
                                             std::shared_ptr<CallState> call) {
    Result<SimulationResponse> response = co_await pool->run_simulation(std::move(request), std::move(call));
    if (!response) co_return response.error();
    if (!response->success)
        co_return NgspiceError::simulation_failed("L=" + format_sci(length, 3) + " chunk " +
                                                  std::to_string(chunk_index) + " failed: " + failure_text(*response));
    Result<Grid> grid = extract_id_rows(*response, rows, n_vds);
    if (!grid) co_return grid.error();
    co_return ChunkRows{length_index, first_row, std::move(*grid)};
}

}  // namespace

asio::awaitable<Result<TransistorLut>> generate_lut(std::shared_ptr<WorkerPool> pool, LutConfig config,
                                                    std::uint32_t n_chunks, std::optional<std::string> csv_path,
                                                    std::shared_ptr<CallState> call) {
    if (n_chunks == 0) co_return NgspiceError::simulation_failed("n_chunks must be at least 1");
    if (!call) call = std::make_shared<CallState>();
    // However this call ends (an error, an exception, success), jobs that have not started yet
    // must not run: a failed characterisation leaves the pool idle, not busy with its leftovers.
    struct AbandonOnExit {
        std::shared_ptr<CallState> call;
        ~AbandonOnExit() { call->abandon(); }
    } abandon_on_exit{call};
    const std::vector<double> lengths = config.lengths.values();
    const std::size_t n_l = lengths.size();
    const std::size_t n_vgs = config.vgs.point_count();
    const std::size_t n_vds = config.vds.point_count();
    const std::vector<ChunkJob> jobs = plan_chunks(n_l, config.vgs, n_chunks);
    const std::size_t n_jobs = jobs.size();
    const std::size_t n_chunk_count = n_l == 0 ? 0 : n_jobs / n_l;
    print_stdout("  " + std::to_string(n_l) + " L value(s) \xc3\x97 " + std::to_string(n_vgs) + " Vgs pts \xc3\x97 " +
                 std::to_string(n_vds) + " Vds pts  \xe2\x86\x92 " + std::to_string(n_jobs) + " jobs across " +
                 std::to_string(n_chunk_count) + " Vgs chunk(s)\n");
    const auto started = std::chrono::steady_clock::now();
    call->set_jobs(n_jobs);

    auto ex = co_await asio::this_coro::executor;
    // Room for every outcome, so no job ever waits to report, even after this call has returned.
    auto outcomes = std::make_shared<Outcomes>(ex, std::max<std::size_t>(n_jobs, 1));
    for (const ChunkJob& job : jobs) {
        const std::size_t li = job.length_index, ci = job.chunk_index;
        const std::size_t first = job.first, rows = job.last - job.first + 1;
        const double length = lengths[li];
        SimulationRequest request{"lut-l" + std::to_string(li) + "-chunk" + std::to_string(ci),
                                  build_netlist(config, job.vgs, length),
                                  {"run"},
                                  std::vector<std::string>{"vds#branch"}};
        asio::co_spawn(
            ex,
            [pool, outcomes, call, length, ci, first, rows, n_vds, li,
             request = std::move(request)]() mutable -> asio::awaitable<void> {
                JobResult out;
                out.emplace(co_await run_chunk(pool, std::move(request), length, ci, first, rows, n_vds, li,
                                               call));
                outcomes->try_send(asio::error_code{}, std::move(out));
            },
            [outcomes](std::exception_ptr e) {
                if (!e) return;
                std::string what = "characterisation job failed";
                try {
                    std::rethrow_exception(e);
                } catch (const std::exception& ex) {
                    what = ex.what();
                } catch (...) {
                }
                outcomes->try_send(asio::error_code{}, JobResult(NgspiceError::worker_crashed(what)));
            });
    }

    TransistorLut lut;
    lut.width = config.width;
    lut.vbs = config.vbs;
    lut.lengths = lengths;
    lut.vgs = config.vgs.values();
    lut.vds = config.vds.values();
    Assembly assembly(n_l, n_vgs * n_vds);
    for (std::size_t done = 0; done < n_jobs; ++done) {
        auto [ec, outcome] = co_await outcomes->async_receive(asio::experimental::as_tuple(asio::use_awaitable));
        if (ec || !outcome || !outcome->ok()) {
            if (ec || !outcome) co_return NgspiceError::worker_crashed("characterisation job was cancelled");
            co_return outcome->error();
        }
        // Each chunk's rows go straight to their place, so completion order does not matter.
        const ChunkRows& rows = outcome->value();
        if (!assembly.place("id", rows.length_index, rows.first_row * n_vds, rows.rows.data))
            co_return NgspiceError::worker_crashed("characterisation job answered outside its table");
        call->job_done();
    }
    auto assembled = std::move(assembly).finish();
    if (assembled.empty()) co_return NgspiceError::worker_crashed("characterisation jobs left rows unfilled");
    lut.id = std::move(assembled.front().second);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    print_stdout("  all " + std::to_string(n_jobs) + " jobs completed in " + format_fixed(secs * 1000.0, 1) +
                 "ms  (" + format_fixed(static_cast<double>(n_l * n_vgs * n_vds) / secs, 0) + " op/s)\n");

    lut.gm.resize(lut.id.size());
    lut.gds.resize(lut.id.size());
    const std::size_t per_length = n_vgs * n_vds;
    for (std::size_t k = 0; k < n_l; ++k) {
        auto begin = lut.id.begin() + static_cast<std::ptrdiff_t>(k * per_length);
        Grid id{n_vgs, n_vds, std::vector<double>(begin, begin + static_cast<std::ptrdiff_t>(per_length))};
        Grid gm = diff_vgs(id, config.vgs.step);
        Grid gds = diff_vds(id, config.vds.step);
        std::copy(gm.data.begin(), gm.data.end(), lut.gm.begin() + static_cast<std::ptrdiff_t>(k * per_length));
        std::copy(gds.data.begin(), gds.data.end(), lut.gds.begin() + static_cast<std::ptrdiff_t>(k * per_length));
    }
    if (csv_path) {
        if (Status s = lut.write_csv(*csv_path); !s) co_return s.error();
        print_stdout("  CSV written to " + *csv_path + "\n");
    }
    co_return lut;
}

}  // namespace tavlo
