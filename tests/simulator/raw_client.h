// A tiny client of the driver interface for the simulator's tests: it
// speaks the SEQPACKET messages directly, without the library.
#pragma once

#include "unique_fd.h"

#include <endian.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tavlib::sim::test {

inline constexpr std::uint32_t kWrite = 1;
inline constexpr std::uint32_t kRead = 2;
inline constexpr std::uint32_t kCancel = 3;
inline constexpr std::uint32_t kIoctl = 4;
inline constexpr std::uint32_t kComplete = 0x81;
inline constexpr std::uint32_t kRecover = 0x222000;

struct Completion {
    std::uint32_t type = 0;
    std::uint32_t id = 0;
    std::uint32_t status = 0;
    std::uint32_t count = 0;
    std::string payload;
};

class RawConnection {
public:
    explicit RawConnection(const std::string& path) {
        fd_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        if (!fd_) throw std::runtime_error("socket failed");
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("path too long");
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("connect to " + path + " failed: " + std::strerror(errno));
    }

    void send_message(std::uint32_t type, std::uint32_t id, std::uint32_t arg, std::uint32_t count,
                      std::string_view payload = {}) {
        std::string message(16, '\0');
        const std::uint32_t words[4] = {htole32(type), htole32(id), htole32(arg), htole32(count)};
        std::memcpy(message.data(), words, 16);
        message.append(payload);
        send_raw(message);
    }
    void send_raw(std::string_view datagram) {
        if (::send(fd_.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(datagram.size()))
            throw std::runtime_error(std::string("send failed: ") + std::strerror(errno));
    }
    void write(std::uint32_t id, std::string_view bytes) {
        send_message(kWrite, id, static_cast<std::uint32_t>(bytes.size()), 0, bytes);
    }
    void read(std::uint32_t id, std::uint32_t capacity) { send_message(kRead, id, capacity, 0); }
    void cancel(std::uint32_t id) { send_message(kCancel, id, 0, 0); }
    void ioctl(std::uint32_t id, std::uint32_t code) { send_message(kIoctl, id, code, 0); }

    // The next message from the simulator; nullopt when it closed the
    // connection.  The guard only keeps a broken simulator from hanging the
    // test; nothing here depends on timing.
    std::optional<Completion> next(std::chrono::milliseconds guard = std::chrono::seconds(20)) {
        pollfd pfd{fd_.get(), POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(guard.count())) <= 0)
            throw std::runtime_error("no message from the simulator");
        std::string buffer(16 + 65536 + 16, '\0');
        const ssize_t n = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
        if (n <= 0) return std::nullopt;
        if (n < 16) throw std::runtime_error("message shorter than its header");
        std::uint32_t words[4];
        std::memcpy(words, buffer.data(), 16);
        Completion c{le32toh(words[0]), le32toh(words[1]), le32toh(words[2]), le32toh(words[3]),
                     buffer.substr(16, static_cast<std::size_t>(n) - 16)};
        if (c.type != kComplete) throw std::runtime_error("message of type " + std::to_string(c.type));
        return c;
    }

    // The next message exactly as it came; empty when the simulator closed
    // the connection.
    std::string next_raw(std::chrono::milliseconds guard = std::chrono::seconds(20)) {
        pollfd pfd{fd_.get(), POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(guard.count())) <= 0)
            throw std::runtime_error("no message from the simulator");
        std::string buffer(16 + 65536 + 16, '\0');
        const ssize_t n = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
        buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buffer;
    }

    // A completion that must come; fails the test (by exception) otherwise.
    Completion expect() {
        std::optional<Completion> c = next();
        if (!c) throw std::runtime_error("the simulator closed the connection");
        return *c;
    }

    // True if a message or the close is waiting right now.
    bool has_message_now() {
        pollfd pfd{fd_.get(), POLLIN, 0};
        return ::poll(&pfd, 1, 0) > 0;
    }

    // True when the simulator has closed the connection (all messages before
    // the close are skipped).
    bool closed_by_peer() {
        for (int i = 0; i < 1000; ++i)
            if (!next()) return true;
        return false;
    }

private:
    UniqueFd fd_;
};

}  // namespace tavlib::sim::test
