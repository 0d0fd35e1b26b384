// The next connection of a listening socket, for the gateway's servers: a
// failed accept (out of descriptors, for one) is logged and tried again a
// little later, so that a passing shortage does not end the server.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

namespace tavlib::gateway {

// Nothing once the acceptor is closed (or `stopped` is set).
inline asio::awaitable<std::optional<asio::ip::tcp::socket>> accept_next(
    asio::ip::tcp::acceptor& acceptor, const bool& stopped,
    const std::function<void(std::string_view)>& note) {
    constexpr auto kTuple = asio::experimental::as_tuple(asio::use_awaitable);
    asio::steady_timer pause(acceptor.get_executor());
    while (!stopped && acceptor.is_open()) {
        auto [error, socket] = co_await acceptor.async_accept(kTuple);
        if (stopped || !acceptor.is_open() || error == asio::error::operation_aborted) break;
        if (!error) co_return std::move(socket);
        if (note) note("accept failed: " + error.message());
        pause.expires_after(std::chrono::milliseconds(100));
        co_await pause.async_wait(kTuple);
    }
    co_return std::nullopt;
}

}  // namespace tavlib::gateway
