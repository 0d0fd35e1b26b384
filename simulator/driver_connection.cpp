#include "driver_connection.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

namespace tavlib::sim {

namespace {

// Messages taken from one connection before the loop serves others.
constexpr int kMessagesPerWakeup = 64;

}  // namespace

DriverConnection::DriverConnection(EventLoop& loop, UniqueFd fd, std::span<char> buffer, Handlers handlers)
    : loop_(loop), fd_(std::move(fd)), buffer_(buffer), handlers_(std::move(handlers)) {
    watch_ = loop_.watch(fd_.get(), EPOLLIN, [this](std::uint32_t events) { on_event(events); });
}

void DriverConnection::on_event(std::uint32_t events) {
    if ((events & EPOLLOUT) != 0) flush();
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0) return;
    for (int i = 0; i < kMessagesPerWakeup; ++i) {
        const ssize_t n = ::recv(fd_.get(), buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            // The owner destroys this connection inside the call: run a copy.
            const auto closed = handlers_.closed;
            closed(errno == ECONNRESET ? "peer" : "error");
            return;
        }
        if (n == 0) {
            const auto closed = handlers_.closed;
            closed("peer");
            return;
        }
        // A handler that closed the connection returns false: `this` is gone.
        if (!handlers_.message(std::string_view(buffer_.data(), static_cast<std::size_t>(n)))) return;
    }
}

void DriverConnection::send(const wire::Header& header, std::string_view payload) {
    if (broken_) return;
    if (outbox_.empty()) {
        wire::HeaderBytes bytes = wire::encode(header);
        iovec parts[2] = {{bytes.data(), bytes.size()}, {const_cast<char*>(payload.data()), payload.size()}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = payload.empty() ? 1 : 2;
        for (;;) {
            if (::sendmsg(fd_.get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return;
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            broken_ = true;
            return;
        }
        wait_for_room();
    }
    outbox_.push_back(wire::message(header, payload));
}

void DriverConnection::send_packet(std::string packet) {
    if (broken_) return;
    outbox_.push_back(std::move(packet));
    wait_for_room();
}

void DriverConnection::wait_for_room() { watch_.modify(EPOLLIN | EPOLLOUT); }

void DriverConnection::flush() {
    while (!outbox_.empty() && !broken_) {
        const std::string& message = outbox_.front();
        if (::send(fd_.get(), message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) {
            outbox_.pop_front();
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        broken_ = true;
    }
    outbox_.clear();
    watch_.modify(EPOLLIN);
}

}  // namespace tavlib::sim
