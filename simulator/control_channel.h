// The control channel: the clients that send control commands, on the
// control socket (a Unix stream socket) or on standard input.  Each client's
// lines run one after another, in order; a line whose reply comes later
// (`wait`) holds the client's further lines back until resume().
//
// The channel moves lines and replies; what a line does is the owner's
// business (ControlCommands through Handlers::run).
#pragma once

#include "event_loop.h"
#include "line_connection.h"
#include "unique_fd.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tavlib::sim {

// The reply to one control line: its lines, the last of which begins with
// "ok" or "error"; or, when `deferred`, nothing yet (see resume()).
struct ControlReply {
    std::vector<std::string> lines;
    bool deferred = false;
};

class ControlChannel {
public:
    using ClientKey = std::uint64_t;  // never 0

    struct Handlers {
        std::function<ControlReply(ClientKey client, std::string_view line)> run;
        // The client has left; a reply it waits for is not sent.
        std::function<void(ClientKey client)> gone;
        // Replies to standard input's lines are printed.
        std::function<void(const std::string& line)> print;
        std::function<void(const std::string& line)> warn;
        // Standard input has ended and its lines have run.
        std::function<void()> inputEnded;
    };

    ControlChannel(EventLoop& loop, Handlers handlers);
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;
    ~ControlChannel();  // removes the control socket it created

    // Listens on the Unix socket `path`; a socket left there by a simulator
    // that died is replaced, a live one is not.  Throws std::runtime_error.
    void listen(const std::string& path);
    // Takes control lines from standard input too.  Throws when it cannot
    // be watched (a regular file).
    void open_stdin();

    // Sends the reply of the client's deferred line, then runs its further
    // lines.  Nothing happens for a client that has left.
    void resume(ClientKey client, std::vector<std::string> lines);
    // No further line runs, of any client (after `quit`).
    void stop() { stopped_ = true; }

private:
    struct Client {
        std::unique_ptr<LineConnection> connection;
        bool isStdin = false;
        std::deque<std::string> lines;  // received, not yet run
        bool held = false;              // a deferred line holds the following lines back
        bool ended = false;             // standard input at EOF: end after the queued lines
        EventLoop::Timer resumeLater;
    };

    void on_accept();
    void add_client(UniqueFd fd, bool isStdin);
    void on_line(ClientKey key, std::string line);
    void on_closed(ClientKey key, const char* reason);
    void run_lines(ClientKey key);
    void reply(Client& client, const std::vector<std::string>& lines);

    EventLoop& loop_;
    Handlers handlers_;
    std::string path_;  // the socket this channel created; empty: none
    UniqueFd listener_;
    EventLoop::Watch listenWatch_;  // declared after listener_: removed before it closes
    std::map<ClientKey, std::unique_ptr<Client>> clients_;
    ClientKey lastKey_ = 0;
    bool stopped_ = false;
};

}  // namespace tavlib::sim
