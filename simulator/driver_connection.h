// One connection that a driver client (the library's Linux backend) opened on
// a device's interface socket: a SOCK_SEQPACKET socket that carries one
// driver message per packet, in the layout of tavlib/driver_wire.h.
//
// The connection only moves messages: what a request means, and when it
// completes, is the device's business (Device).  It is the counterpart of
// LineConnection, which moves the command lines of TCP clients.
#pragma once

#include "event_loop.h"
#include "tavlib/driver_wire.h"
#include "unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace tavlib::sim {

class DriverConnection {
public:
    struct Handlers {
        // One packet as received.  Returns false when the owner closed the
        // connection inside the call (and `this` is gone); the handler then
        // touches nothing of itself after the close, as it goes with it.
        std::function<bool(std::string_view packet)> message;
        // The connection has ended: "peer" (closed by the client) or "error".
        // The owner destroys the connection here.
        std::function<void(const char* reason)> closed;
    };

    // `fd` is a connected, non-blocking SOCK_SEQPACKET socket.  Packets are
    // received into `buffer`, which the owner keeps for all its connections
    // and which holds one byte more than the longest message, to tell a
    // longer one.
    DriverConnection(EventLoop& loop, UniqueFd fd, std::span<char> buffer, Handlers handlers);
    DriverConnection(const DriverConnection&) = delete;
    DriverConnection& operator=(const DriverConnection&) = delete;

    // Sends one message, header and payload gathered from where they are;
    // what the socket cannot take now waits, copied, behind what waits
    // already.  After a failed send nothing more is sent: the peer is gone
    // and the read side closes the connection.
    void send(const wire::Header& header, std::string_view payload);
    // Queues bytes that go out as one packet exactly as they are (a broken
    // message, for the device's faults), behind what waits already.
    void send_packet(std::string packet);

private:
    void on_event(std::uint32_t events);
    void flush();
    void wait_for_room();

    EventLoop& loop_;
    UniqueFd fd_;
    EventLoop::Watch watch_;  // declared after fd_: removed before the fd closes
    std::span<char> buffer_;
    Handlers handlers_;
    std::deque<std::string> outbox_;  // messages the socket could not take yet
    bool broken_ = false;             // sending failed; the close follows
};

}  // namespace tavlib::sim
