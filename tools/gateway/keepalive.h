// TCP keepalive on a client's connection, so that a peer that vanished
// without closing (a suspended laptop, a pulled cable) is noticed.
#pragma once

#include <cstdint>

#include <asio/ip/tcp.hpp>

namespace tavlib::gateway {

// Probes after `seconds` without traffic, then every quarter of that (at
// least 1 s); after 4 unanswered probes the connection fails with a
// time-out.  Unacknowledged answers give up after twice `seconds`.  On
// Windows the system sends 10 probes.  Best effort: a system that refuses
// an option keeps its own default.
void set_keepalive(asio::ip::tcp::socket& socket, std::uint32_t seconds);

}  // namespace tavlib::gateway
