// The simulator's socket addresses: the listening TCP socket of its network
// port, the names of TCP endpoints as it prints them, and the address of a
// Unix socket (its interfaces, its control socket).
#pragma once

#include "unique_fd.h"

#include <sys/un.h>

#include <cstdint>
#include <string>

namespace tavlib::sim {

struct TcpListener {
    UniqueFd fd;          // listening, non-blocking
    std::string address;  // where it listens: "127.0.0.1:5025", "[::1]:5025"
    std::uint16_t port = 0;
};

// Listens on `bindAddress` (a numeric IPv4 or IPv6 address, or a host name
// such as "localhost") and `port` (0: a free port the system picks).  Throws
// std::runtime_error with a message for the user.
TcpListener listen_tcp(const std::string& bindAddress, std::uint16_t port);

// The peer of a connected socket, as "address:port"; "?" if unknown.
std::string tcp_peer_name(int fd);

// The address of the Unix socket at `path`.  Throws std::runtime_error when
// the path does not fit.
sockaddr_un unix_address(const std::string& path);

}  // namespace tavlib::sim
