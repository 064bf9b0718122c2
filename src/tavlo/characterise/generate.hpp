#pragma once
// A whole characterisation on the worker pool: one job per (length, Vgs chunk), all queued at
// once, gathered in completion order and assembled into the table.

#include <asio/awaitable.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tavlo/base/error.hpp"
#include "tavlo/lut/config.hpp"
#include "tavlo/lut/table.hpp"
#include "tavlo/pool/worker_pool.hpp"

namespace tavlo {

/// Prints the two progress lines on standard output. The first failing job ends the call and
/// abandons the rest (`call`, shared by every job, is abandoned then; a caller may abandon it too).
/// `n_chunks` must be at least 1 and the configuration must pass validate_config.
asio::awaitable<Result<TransistorLut>> generate_lut(std::shared_ptr<WorkerPool> pool, LutConfig config,
                                                    std::uint32_t n_chunks, std::optional<std::string> csv_path,
                                                    std::shared_ptr<CallState> call = nullptr);

}  // namespace tavlo
