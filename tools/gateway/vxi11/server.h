// A VXI-11 channel (the core channel, or the abort channel) on a TCP port:
// each connection's records are read, their calls run through the
// Dispatcher, and the replies sent, one call at a time per connection, on
// the network's strand (the one the Dispatcher belongs to, and on which its
// Devices finish their operations).  A call that waits, for a lock or for
// its device operation, is awaited without blocking a thread: until
// its time, the dispatcher's wake for its connection, or its client
// closing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include "network.h"
#include "vxi11.h"

namespace tavlib::gateway::vxi11 {

struct ChannelOptions {
    asio::ip::tcp::endpoint endpoint;  // port 0: a free one
    Channel channel = Channel::core;
    std::size_t maxRecord = 0;  // 0: max_record() of the dispatcher's limits
    // At this many connections, a new one closes the one idle the longest
    // (no call running); when every one is busy, the new one is closed.
    std::size_t maxConnections = 64;
    // A connection without a call for this many seconds is closed (0: never).
    std::uint32_t idleLimit = 0;
    // Whether a peer is served; none: every peer.
    std::function<bool(const asio::ip::address&)> admit;
    // Called on each accepted connection (keepalive, for one).
    std::function<void(asio::ip::tcp::socket&)> prepare;
    std::function<void(std::string_view)> log;
};

class ChannelServer {
public:
    // Binds and listens (throws asio::system_error when it cannot).  A core
    // channel takes the dispatcher's wake callback.  The dispatcher outlives
    // the io_context's handlers.
    ChannelServer(const NetworkExecutor& network, Dispatcher& dispatcher, ChannelOptions options);
    ~ChannelServer();
    ChannelServer(const ChannelServer&) = delete;
    ChannelServer& operator=(const ChannelServer&) = delete;

    void start();
    // Closes the port and every connection (their links are freed once
    // their handlers have run).
    void stop();
    std::uint16_t port() const;
    // Connections still open (they end on their thread after stop()).
    std::size_t connections() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace tavlib::gateway::vxi11
