#include "pump.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "intake.h"

namespace tavlib::platform::linux_backend {

namespace {

enum class Readiness { kReady, kTimedOut, kFailed };

// Waits until `fd` reports one of `wanted` (returned in `events`) or the
// deadline passes.
Readiness wait_ready(int fd, short wanted, const Deadline& deadline, short& events) {
    for (;;) {
        pollfd entry{fd, wanted, 0};
        timespec limit{};
        timespec* limitPointer = nullptr;
        if (deadline) {
            const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
            limit.tv_sec = static_cast<std::time_t>(seconds.count());
            limit.tv_nsec = static_cast<long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
            limitPointer = &limit;
        }
        const int n = ::ppoll(&entry, 1, limitPointer, nullptr);
        if (n > 0) {
            events = entry.revents;
            return Readiness::kReady;
        }
        if (n == 0) return Readiness::kTimedOut;
        if (errno != EINTR) return Readiness::kFailed;
    }
}

bool lands_in(const void* at, std::uintptr_t first, std::uintptr_t end) {
    const auto a = reinterpret_cast<std::uintptr_t>(at);
    return a >= first && a < end;
}

// What a receive within a deadline brought: with kReady, `length` is the
// message's full length (0: the end of the stream, or an empty message), or
// -1 with `error`.
struct Receipt {
    Readiness readiness;
    ssize_t length = -1;
    int error = 0;
};

// Receives (or, with MSG_PEEK, looks at) the next message within the
// deadline.  While more than kBlockingWaitAtLeast is left the receive itself
// waits, a slice at a time; ppoll waits out the rest, exactly.
Receipt receive_within(int fd, msghdr& message, int flags, const Deadline& deadline) {
    for (;;) {
        const bool block = !deadline || *deadline - Clock::now() >= kBlockingWaitAtLeast;
        if (!block) {
            short events = 0;
            const Readiness readiness = wait_ready(fd, POLLIN | POLLRDHUP, deadline, events);
            if (readiness != Readiness::kReady) return {readiness, -1, errno};
        }
        const ssize_t n = ::recvmsg(fd, &message, flags | (block ? 0 : MSG_DONTWAIT));
        if (n >= 0) return {Readiness::kReady, n, 0};
        // A slice ran out, or the readiness ppoll saw has gone: look again.
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        return {Readiness::kReady, -1, errno};
    }
}

// After a receive of 0 bytes: whether the peer has gone (rather than sent an
// empty message).
bool hung_up(int fd) {
    pollfd entry{fd, POLLRDHUP, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

bool large_read_outstanding(const Connection& c) {
    return std::any_of(c.outstanding.begin(), c.outstanding.end(), [](const auto& entry) {
        const Request& r = entry.second;
        return r.kind == Request::Kind::kRead && r.buffer != nullptr && r.limit > kCopyLimit;
    });
}

}  // namespace

int limit_receive_wait(int fd) {
    const auto slice = std::chrono::duration_cast<std::chrono::microseconds>(kReceiveSlice);
    const timeval limit{static_cast<time_t>(slice.count() / 1000000),
                        static_cast<suseconds_t>(slice.count() % 1000000)};
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 ? 0 : errno;
}

int send_message(int fd, const wire::Header& header, const void* payload, std::size_t size,
                 const Deadline& deadline) {
    wire::HeaderBytes bytes = wire::encode(header);
    iovec parts[2] = {{bytes.data(), bytes.size()}, {const_cast<void*>(payload), size}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = size > 0 ? 2 : 1;
    for (;;) {
        if (::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        short events = 0;
        switch (wait_ready(fd, POLLOUT, deadline, events)) {
            case Readiness::kReady:
                if ((events & (POLLERR | POLLHUP)) != 0) return EPIPE;
                break;
            case Readiness::kTimedOut:
                return ETIMEDOUT;
            case Readiness::kFailed:
                return errno;
        }
    }
}

// One receive through the spill, or a peek and a receive in place (pump.h).
bool pump_once(Lock& lock, State& s, Connection& c, const Deadline& deadline) {
    const std::shared_ptr<Connection> keep = c.shared_from_this();
    c.pumping = true;
    const int fd = c.fd;
    // The message that comes may be for a READ started while this thread
    // receives: the spill takes any payload a completion may carry.
    const bool inPlace = c.largePayloads && large_read_outstanding(c);
    if (!inPlace && !c.spill) c.spill = std::make_unique_for_overwrite<unsigned char[]>(wire::kMaxTransfer);
    unsigned char* const spill = inPlace ? nullptr : c.spill.get();
    lock.unlock();

    wire::HeaderBytes header{};
    Landing landing;
    Receipt got;
    if (inPlace) {
        // MSG_TRUNC: the message's full length, not what fitted.
        iovec part{header.data(), header.size()};
        msghdr peek{};
        peek.msg_iov = &part;
        peek.msg_iovlen = 1;
        got = receive_within(fd, peek, MSG_PEEK | MSG_TRUNC, deadline);
        if (got.readiness == Readiness::kReady && got.length > 0) {
            lock.lock();
            landing = landing_for(c, header.data(), static_cast<std::size_t>(got.length));
            if (landing.destination != nullptr) s.receiving.push_back(landing.destination);
            lock.unlock();

            unsigned char trap = 0;
            iovec parts[3] = {{header.data(), header.size()},
                              {landing.destination, landing.capacity},
                              {&trap, sizeof trap}};
            msghdr message{};
            message.msg_iov = parts;
            message.msg_iovlen = 3;
            do {
                got.length = ::recvmsg(fd, &message, MSG_DONTWAIT | MSG_TRUNC);
            } while (got.length < 0 && errno == EINTR);
            if (got.length < 0) got.error = errno;
        } else if (got.readiness == Readiness::kReady && got.length == 0) {
            // An empty message stays at the head after a peek: take it off.
            ::recv(fd, header.data(), header.size(), MSG_DONTWAIT);
        }
    } else {
        iovec parts[2] = {{header.data(), header.size()}, {spill, wire::kMaxTransfer}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        got = receive_within(fd, message, MSG_TRUNC, deadline);
    }
    const bool ended = got.readiness == Readiness::kReady && got.length == 0 && hung_up(fd);

    lock.lock();
    c.pumping = false;
    if (landing.destination != nullptr)
        s.receiving.erase(std::find(s.receiving.begin(), s.receiving.end(), landing.destination));
    bool progressed = false;
    if (got.readiness == Readiness::kFailed) {
        connection_ended(c);
        progressed = true;
    } else if (got.readiness == Readiness::kReady) {
        if (got.length > 0) {
            const auto size = static_cast<std::size_t>(got.length);
            if (size > wire::kHeaderSize) c.largePayloads = size - wire::kHeaderSize > kCopyLimit;
            take_in(c, header.data(), size, landing, spill);
            progressed = true;
        } else if (got.length == 0) {
            // End of stream, or an empty message, which is dropped.
            if (ended) connection_ended(c);
            progressed = true;
        } else if (got.error != EAGAIN && got.error != EWOULDBLOCK && got.error != EINTR) {
            connection_ended(c);
            progressed = true;
        }
    }
    s.changed.notify_all();
    return progressed;
}

void wait_for_landings(Lock& lock, State& s, const void* first, std::size_t size) {
    if (first == nullptr) return;
    const auto start = reinterpret_cast<std::uintptr_t>(first);
    const std::uintptr_t end = start + size;
    s.changed.wait(lock, [&] {
        return std::none_of(s.receiving.begin(), s.receiving.end(),
                            [&](const void* at) { return lands_in(at, start, end); });
    });
}

void forget_destination(const void* first, std::size_t size) {
    const auto start = reinterpret_cast<std::uintptr_t>(first);
    const std::uintptr_t end = start + size;
    State& s = state();
    Lock lock(s.mutex);
    wait_for_landings(lock, s, first, size);
    detach_requests(s, [start, end](Connection&, Request& r) {
        if (lands_in(r.buffer, start, end)) r.buffer = nullptr;
    });
}

}  // namespace tavlib::platform::linux_backend
