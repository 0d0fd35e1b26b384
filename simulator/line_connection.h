// A client that talks to the instrument in plain text lines over a byte
// stream: the raw TCP socket convention of network instruments.  A command
// is a line ending in LF (a CR before the LF is removed too); each response
// message goes out as it is, except that every CR LF in it becomes LF.
//
// The connection only moves bytes: what a line means and which responses
// are its own is its owner's business (Device::attach_line_client for the
// instrument's TCP clients, ControlChannel for control commands).
#pragma once

#include "event_loop.h"
#include "instrument.h"
#include "unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tavlib::sim {

class LineConnection {
public:
    struct Handlers {
        // One complete command line, its line end removed.  Must not destroy
        // the connection.
        std::function<void(std::string line)> line;
        // The client has ended its sending side (EOF) after the lines already
        // handed over.  It may still be reading: the owner calls finish()
        // once the answers those lines are due have been sent.  Must not
        // destroy the connection.
        std::function<void()> inputEnded;
        // The connection has ended: "peer" (closed by the client, or after
        // its EOF and finish()), "error", or "overlong-line" (a line grew
        // beyond the instrument's longest command line).  The owner destroys
        // the connection here; nothing of it is used afterwards.
        std::function<void(const char* reason)> closed;
    };

    struct Options {
        // A line longer than this ends the connection ("overlong-line").
        std::size_t maxLine = kMaxCommandLine;
        // `fd` is standard input (a pipe, terminal or file): one read per
        // wakeup, since it may block; a last line without its line end
        // counts at EOF; nothing is ever sent on it.
        bool input = false;
    };

    // `fd` is a connected, non-blocking stream socket, or what
    // Options::input says.
    LineConnection(EventLoop& loop, UniqueFd fd, std::uint64_t number, std::string peer, Handlers handlers);
    LineConnection(EventLoop& loop, UniqueFd fd, std::uint64_t number, std::string peer, Handlers handlers,
                   Options options);
    LineConnection(const LineConnection&) = delete;
    LineConnection& operator=(const LineConnection&) = delete;

    std::uint64_t number() const { return number_; }
    const std::string& peer() const { return peer_; }

    // Sends one response message (CR LF turned into LF).  What the socket
    // cannot take yet waits here; while more than a few MiB wait, the
    // client's further input is left unread.  Never closes the connection.
    void send_response(std::string_view message);

    // After inputEnded: nothing more will be sent but what is queued now;
    // the connection closes ("peer") once that has gone out.
    void finish();

private:
    void on_event(std::uint32_t events);
    // Returns false when the connection was closed (and `this` is gone).
    bool read_input();
    // Sends what the socket takes now; never closes the connection.
    void flush();
    void update_watch();
    // Hands the end to the owner, which destroys the connection.
    void close(const char* reason);
    void close_soon_if_done();
    std::size_t pending() const { return out_.size() - sent_; }

    EventLoop& loop_;
    std::uint64_t number_;
    std::string peer_;
    Handlers handlers_;
    Options options_;
    UniqueFd fd_;
    EventLoop::Watch watch_;  // declared after fd_: removed before the fd closes
    EventLoop::Timer closeLater_;
    std::string in_;
    std::string out_;
    std::size_t sent_ = 0;         // bytes of out_ already sent
    std::uint32_t watching_ = 0;   // the epoll mask in force
    bool peerDone_ = false;       // the client sent EOF: nothing more to read
    bool finishing_ = false;       // finish() was called: close once out_ is sent
    bool broken_ = false;          // sending failed: close at the next event
};

}  // namespace tavlib::sim
