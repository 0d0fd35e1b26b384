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

}  // namespace

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

// A READ's payload is received straight into the request's buffer: the
// header is looked at first (peeked), the landing chosen under the mutex,
// and then the message received into header, landing and a one-byte trap
// for anything beyond the landing's capacity (cut off and discarded).
// While the receive runs, the landing is listed in State::receiving.
bool pump_once(Lock& lock, State& s, Connection& c, const Deadline& deadline) {
    const std::shared_ptr<Connection> keep = c.shared_from_this();
    c.pumping = true;
    const int fd = c.fd;
    lock.unlock();

    short events = 0;
    const Readiness readiness = wait_ready(fd, POLLIN | POLLRDHUP, deadline, events);
    wire::HeaderBytes header{};
    // The message at the head of the socket was sent after its request
    // started, so the requests outstanding now include its own.  Without a
    // READ that could take bytes, no landing is possible: the header is
    // received at once, without a peek.
    bool mayLand = false;
    if (readiness == Readiness::kReady) {
        lock.lock();
        mayLand = std::any_of(c.outstanding.begin(), c.outstanding.end(), [](const auto& entry) {
            const Request& r = entry.second;
            return r.kind == Request::Kind::kRead && r.buffer != nullptr && r.limit > 0;
        });
        lock.unlock();
    }
    ssize_t peeked = readiness == Readiness::kReady && !mayLand ? 1 : -1;
    int receiveError = 0;
    if (mayLand) {
        // MSG_TRUNC: the message's full length, not what fitted.
        peeked = ::recv(fd, header.data(), header.size(), MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC);
        if (peeked < 0) receiveError = errno;
    }

    Landing landing;
    ssize_t received = peeked;
    if (peeked > 0) {
        if (mayLand) {
            lock.lock();
            landing = landing_for(c, header.data(), static_cast<std::size_t>(peeked));
            if (landing.destination != nullptr) s.receiving.push_back(landing.destination);
            lock.unlock();
        }

        unsigned char trap = 0;
        iovec parts[3] = {{header.data(), header.size()},
                          {landing.destination, landing.capacity},
                          {&trap, sizeof trap}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 3;
        do {
            received = ::recvmsg(fd, &message, MSG_DONTWAIT | MSG_TRUNC);
        } while (received < 0 && errno == EINTR);
        if (received < 0) receiveError = errno;
    }

    lock.lock();
    c.pumping = false;
    if (landing.destination != nullptr)
        s.receiving.erase(std::find(s.receiving.begin(), s.receiving.end(), landing.destination));
    bool progressed = false;
    if (readiness == Readiness::kFailed) {
        connection_ended(c);
        progressed = true;
    } else if (readiness == Readiness::kReady) {
        if (received > 0) {
            take_in(c, header.data(), static_cast<std::size_t>(received), landing);
            progressed = true;
        } else if (received == 0) {
            // End of stream, or an empty datagram if the peer is still
            // there (taken off the socket by the receive after a peek that
            // found it).
            if (peeked == 0) ::recv(fd, header.data(), header.size(), MSG_DONTWAIT);
            if ((events & (POLLHUP | POLLRDHUP)) != 0) connection_ended(c);
            progressed = true;
        } else if (receiveError != EAGAIN && receiveError != EWOULDBLOCK &&
                   receiveError != EINTR) {
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
