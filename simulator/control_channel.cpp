#include "control_channel.h"

#include "tcp_listener.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tavlib::sim {

namespace {

// A control line carries at most one command with its text (`push`).
constexpr std::size_t kMaxControlLine = 1u << 20;

}  // namespace

ControlChannel::ControlChannel(EventLoop& loop, Handlers handlers) : loop_(loop), handlers_(std::move(handlers)) {}

ControlChannel::~ControlChannel() {
    clients_.clear();
    listenWatch_.reset();
    listener_.reset();
    if (!path_.empty()) ::unlink(path_.c_str());
}

void ControlChannel::listen(const std::string& path) {
    const sockaddr_un addr = unix_address(path);
    {
        UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe && ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            throw std::runtime_error("control socket " + path + " is in use by another process");
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) throw std::runtime_error("control path " + path + " exists and is not a socket");
            ::unlink(path.c_str());
        }
    }
    listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener_) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot create control socket " + path + ": " + std::strerror(errno));
    path_ = path;
    if (::listen(listener_.get(), 16) != 0)
        throw std::runtime_error("listen on " + path + ": " + std::strerror(errno));
    listenWatch_ = loop_.watch(listener_.get(), EPOLLIN, [this](std::uint32_t) { on_accept(); });
}

void ControlChannel::open_stdin() {
    // A copy of the descriptor, so that standard input stays open when the
    // channel closes its own.
    UniqueFd fd(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
    if (!fd) throw std::runtime_error(std::string("standard input: ") + std::strerror(errno));
    try {
        add_client(std::move(fd), true);
    } catch (const std::exception&) {
        throw std::runtime_error("--stdin needs standard input to be a terminal, pipe or socket");
    }
}

void ControlChannel::on_accept() {
    for (;;) {
        UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                handlers_.warn(std::string("control accept: ") + std::strerror(errno));
            return;
        }
        add_client(std::move(fd), false);
    }
}

void ControlChannel::add_client(UniqueFd fd, bool isStdin) {
    const ClientKey key = ++lastKey_;
    LineConnection::Handlers handlers;
    handlers.line = [this, key](std::string line) { on_line(key, std::move(line)); };
    handlers.inputEnded = [this, key] {
        Client& client = *clients_.at(key);
        if (!client.isStdin) {
            // A socket client that stops sending is done: it goes once its
            // replies are out, and lines held behind a `wait` go with it.
            client.connection->finish();
            return;
        }
        client.ended = true;
        run_lines(key);
    };
    handlers.closed = [this, key](const char* reason) { on_closed(key, reason); };
    auto client = std::make_unique<Client>();
    client->isStdin = isStdin;
    client->connection = std::make_unique<LineConnection>(
        loop_, std::move(fd), key, isStdin ? "stdin" : "control", std::move(handlers),
        LineConnection::Options{.maxLine = kMaxControlLine, .input = isStdin});
    clients_.emplace(key, std::move(client));
}

void ControlChannel::on_closed(ClientKey key, const char* reason) {
    auto it = clients_.find(key);
    if (it == clients_.end()) return;
    if (std::string_view(reason) == "overlong-line")
        handlers_.warn("control line longer than " + std::to_string(kMaxControlLine) + " bytes; client dropped");
    if (it->second->isStdin && std::string_view(reason) != "overlong-line") {
        // A read error on standard input ends it as EOF does.  The
        // connection may go inside its own callback; its client stays.
        it->second->connection.reset();
        it->second->ended = true;
        run_lines(key);
        return;
    }
    const bool held = it->second->held;
    clients_.erase(it);
    if (held) handlers_.gone(key);
}

void ControlChannel::on_line(ClientKey key, std::string line) {
    clients_.at(key)->lines.push_back(std::move(line));
    run_lines(key);
}

void ControlChannel::run_lines(ClientKey key) {
    auto it = clients_.find(key);
    if (it == clients_.end()) return;
    Client& client = *it->second;
    while (!client.held && !client.lines.empty() && !stopped_) {
        const std::string line = std::move(client.lines.front());
        client.lines.pop_front();
        ControlReply result = handlers_.run(key, line);
        client.held = result.deferred;
        // `quit` or a removal may have ended things; the client itself stays.
        if (!result.lines.empty()) reply(client, result.lines);
    }
    if (client.ended && client.lines.empty() && !client.held) handlers_.inputEnded();
}

void ControlChannel::resume(ClientKey key, std::vector<std::string> lines) {
    auto it = clients_.find(key);
    if (it == clients_.end()) return;
    Client& client = *it->second;
    client.held = false;
    reply(client, lines);
    // The further lines run once the loop is back, not inside the caller.
    client.resumeLater = loop_.after(std::chrono::milliseconds(0), [this, key] { run_lines(key); });
}

void ControlChannel::reply(Client& client, const std::vector<std::string>& lines) {
    if (client.isStdin) {
        for (const std::string& line : lines) handlers_.print(line);
        return;
    }
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += '\n';
    }
    client.connection->send_response(text);
}

}  // namespace tavlib::sim
