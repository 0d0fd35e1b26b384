// A tiny client of the driver interface for the simulator's tests: it
// speaks the SEQPACKET messages directly, without the library.
#pragma once

#include "tavlib/driver_interface.h"
#include "tavlib/driver_wire.h"
#include "unique_fd.h"

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

using tavlib::driver::kIoctlRecover;
using tavlib::wire::kCancel;
using tavlib::wire::kComplete;
using tavlib::wire::kIoctl;
using tavlib::wire::kRead;
using tavlib::wire::kWrite;

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
        send_raw(wire::message({type, id, arg, count}, payload));
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
        const std::string datagram = next_raw(guard);
        if (datagram.empty()) return std::nullopt;
        const wire::Message m = wire::decode_completion(datagram.data(), datagram.size());
        if (m.fault != wire::Fault::kNone) throw std::runtime_error(wire::describe(m));
        const wire::Header& h = m.header;
        return Completion{h.type, h.id, h.arg, h.count, std::string(m.payload)};
    }

    // The next message exactly as it came; empty when the simulator closed
    // the connection.
    std::string next_raw(std::chrono::milliseconds guard = std::chrono::seconds(20)) {
        pollfd pfd{fd_.get(), POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(guard.count())) <= 0)
            throw std::runtime_error("no message from the simulator");
        std::string buffer(wire::kMaxMessage + 16, '\0');
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
    // The next completion, which must be that of request `id`.
    Completion expect(std::uint32_t id) {
        Completion c = expect();
        if (c.id != id)
            throw std::runtime_error("completion of request " + std::to_string(c.id) + ", not of " +
                                     std::to_string(id));
        return c;
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
