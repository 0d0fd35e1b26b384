// The gateway's command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "access.h"

namespace tavlib::gateway {

inline constexpr std::uint16_t kDefaultPort = 5025;
inline constexpr std::uint32_t kDefaultWriteTimeout = 5;
inline constexpr std::uint32_t kDefaultReadTimeout = 10;
inline constexpr std::size_t kDefaultMaxLine = 1024 * 1024;
inline constexpr std::uint32_t kDefaultReopenTries = 300;
inline constexpr std::size_t kDefaultMaxResponse = 64 * 1024 * 1024;
inline constexpr std::uint32_t kDefaultKeepalive = 60;
inline constexpr std::uint32_t kDefaultIdleLimit = 3600;

// One instrument served on one TCP port.
struct PortOptions {
    std::uint32_t slot = 0;
    std::uint16_t port = kDefaultPort;  // 0: a free port, shown at start
    std::uint32_t writeTimeout = kDefaultWriteTimeout;
    std::uint32_t readTimeout = kDefaultReadTimeout;
    // 0: an answer ends at the identity query sent after its line; else
    // after this many seconds without output (answer.h).
    std::uint32_t answerQuiet = 0;
    std::uint32_t keepalive = kDefaultKeepalive;  // seconds; 0: off
    std::uint32_t idleLimit = kDefaultIdleLimit;  // seconds without a line; 0: none
};

struct Options {
    std::vector<PortOptions> ports;
    std::string bind = "127.0.0.1";
    std::vector<Network> allow;
    std::size_t maxLine = kDefaultMaxLine;
    std::size_t maxResponse = kDefaultMaxResponse;
    std::uint32_t reopenTries = kDefaultReopenTries;
    // VXI-11: each slot also as device "inst<slot>" on one core channel.
    bool vxi11 = true;
    std::uint16_t vxi11Port = 0;  // 0: a free port
    std::string portmap = "auto";  // auto, rpcbind, own, off
    bool mdns = true;  // announce the served instruments by mDNS (Linux)
};

// --help, --version or a bad command line: what to print, and the exit status.
struct ParseExit {
    int status = 0;
    std::string out;
    std::string err;
};

std::variant<Options, ParseExit> parse_command_line(int argc, const char* const* argv);

}  // namespace tavlib::gateway
