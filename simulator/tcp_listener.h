// The listening TCP socket of the simulator's network port, and the names
// of TCP endpoints as the simulator prints them.
#pragma once

#include "unique_fd.h"

#include <cstdint>
#include <string>

namespace tavlib::sim {

struct TcpListener {
    UniqueFd fd;          // listening, non-blocking
    std::string address;  // where it listens: "127.0.0.1:5025", "[::1]:5025"
    std::uint16_t port = 0;
};

// Listens on `bind_address` (a numeric IPv4 or IPv6 address, or a host name
// such as "localhost") and `port` (0: a free port the system picks).  Throws
// std::runtime_error with a message for the user.
TcpListener listen_tcp(const std::string& bind_address, std::uint16_t port);

// The peer of a connected socket, as "address:port"; "?" if unknown.
std::string tcp_peer_name(int fd);

}  // namespace tavlib::sim
