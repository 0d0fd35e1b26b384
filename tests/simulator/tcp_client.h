// A tiny TCP client of the simulator's network port for its tests: plain
// bytes over a stream socket, read up to a line feed.
#pragma once

#include "unique_fd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tavlib::sim::test {

// The port of the start-up line "tavril-sim: tcp 127.0.0.1:PORT device=N".
inline std::uint16_t tcp_port_of(const std::string& output) {
    const std::string prefix = "tavril-sim: tcp 127.0.0.1:";
    const std::size_t at = output.find(prefix);
    if (at == std::string::npos) throw std::runtime_error("no tcp line in:\n" + output);
    const std::size_t digits = at + prefix.size();
    const std::size_t end = output.find(" device=", digits);
    const std::string port = output.substr(digits, end == std::string::npos ? 0 : end - digits);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        throw std::runtime_error("bad tcp line in:\n" + output);
    return static_cast<std::uint16_t>(std::stoul(port));
}

class TcpClient {
public:
    explicit TcpClient(std::uint16_t port) {
        fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd_) throw std::runtime_error("socket failed");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("connect to port " + std::to_string(port) + " failed: " + std::strerror(errno));
    }

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    void shutdown_sending() { ::shutdown(fd_.get(), SHUT_WR); }

    // Everything up to and including the next LF; nullopt when the
    // simulator closed the connection first (what arrived stays in rest()).
    // The guard only keeps a broken simulator from hanging the test.
    std::optional<std::string> line(std::chrono::milliseconds guard = std::chrono::seconds(20)) {
        for (;;) {
            const std::size_t end = in_.find('\n');
            if (end != std::string::npos) {
                std::string out = in_.substr(0, end + 1);
                in_.erase(0, end + 1);
                return out;
            }
            if (!receive(guard)) return std::nullopt;
        }
    }
    // The next line, which must come.
    std::string expect_line() {
        std::optional<std::string> got = line();
        if (!got) throw std::runtime_error("the simulator closed the connection; got \"" + in_ + "\"");
        return *got;
    }
    // True when the simulator has closed the connection and sent nothing
    // more than what was read.
    bool closed_by_peer() { return !line() && in_.empty(); }
    const std::string& rest() const { return in_; }

private:
    bool receive(std::chrono::milliseconds guard) {
        pollfd pfd{fd_.get(), POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(guard.count())) <= 0)
            throw std::runtime_error("nothing from the simulator; got \"" + in_ + "\"");
        char buffer[65536];
        const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        in_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    UniqueFd fd_;
    std::string in_;
};

}  // namespace tavlib::sim::test
