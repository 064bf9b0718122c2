#pragma once
// Running an awaitable to completion from a thread outside the runtime.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <chrono>
#include <exception>
#include <future>
#include <memory>
#include <optional>

namespace tavlo {

/// A blocked caller looks for Ctrl-C this often.
constexpr std::chrono::milliseconds kInterruptPeriod{100};

/// Blocks until `work` completes on `executor`, calling `interrupted()` every `poll`. When it
/// returns true, gives up waiting and returns nothing; the work itself runs on to its end.
template <class T, class Interrupted>
std::optional<T> block_on(const asio::any_io_executor& executor, asio::awaitable<T> work, Interrupted&& interrupted,
                          std::chrono::milliseconds poll = kInterruptPeriod) {
    struct Shared {
        std::optional<T> value;
        std::promise<void> done;
    };
    auto shared = std::make_shared<Shared>();
    std::future<void> done = shared->done.get_future();
    asio::co_spawn(
        executor,
        [shared, work = std::move(work)]() mutable -> asio::awaitable<void> {
            shared->value.emplace(co_await std::move(work));
        },
        [shared](std::exception_ptr e) {
            if (e)
                shared->done.set_exception(e);
            else
                shared->done.set_value();
        });
    while (done.wait_for(poll) != std::future_status::ready) {
        if (interrupted()) return std::nullopt;
    }
    done.get();  // rethrows what the work threw
    return std::move(shared->value);
}

}  // namespace tavlo
