#include "port.h"

#include <chrono>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/read_until.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/write.hpp>

#include "log.h"

namespace gateway {
namespace {

using asio::ip::tcp;

// Completion token of the awaited operations: failures land in `error`
// instead of being thrown.
// How long a connecting client waits for the session of an owner that
// already left to end, at most: 20 ms times this (its clean-up reads with a
// time-out of 1 s).
constexpr unsigned kOwnerEndWaits = 250;

// Clients being turned away at once, at most; more are closed without the
// message.
constexpr unsigned kMaxTurningAway = 16;

// How often an instrument that no client uses is asked for its identity.
constexpr std::chrono::seconds kIdleCheck{5};

auto into(asio::error_code& error) { return asio::redirect_error(asio::use_awaitable, error); }

std::string endpoint_text(const tcp::endpoint& endpoint) {
    const asio::ip::address address = endpoint.address();
    const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(endpoint.port());
}

}  // namespace

Port::Port(const PortOptions& port, const ServeOptions& serve, std::function<void()> closed)
    : options_(port),
      serve_(serve),
      closed_(std::move(closed)),
      prefix_("slot " + std::to_string(port.slot) + ": "),
      instrument_(port.slot, port.writeTimeout, port.readTimeout, prefix_),
      acceptor_(io_) {
    const tcp::endpoint endpoint(serve.bind, port.port);
    acceptor_.open(endpoint.protocol());
#ifndef _WIN32
    // A restarted gateway takes its port back at once (on Windows the same
    // option would let another program share the port).
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
#endif
    if (serve.bind.is_v6() && serve.bind.to_v6().is_unspecified())
        acceptor_.set_option(asio::ip::v6_only(false));
    acceptor_.bind(endpoint);
    acceptor_.listen();
    prefix_ = "slot " + std::to_string(port.slot) + " port " +
              std::to_string(acceptor_.local_endpoint().port()) + ": ";
    instrument_.set_log_prefix(prefix_);

    log("slot " + std::to_string(port.slot) + ": listening on " +
        endpoint_text(acceptor_.local_endpoint()) + ", write time-out " +
        std::to_string(port.writeTimeout) + " s, read time-out " +
        std::to_string(port.readTimeout) + " s");
    if (!instrument_.open(true)) {
        reopening_ = true;
        asio::co_spawn(io_, reopen(), asio::detached);
    }
}

Port::~Port() { stop(); }

void Port::start() {
    asio::co_spawn(io_, accept_loop(), asio::detached);
    asio::co_spawn(io_, watch(), asio::detached);
    thread_ = std::thread([this] { io_.run(); });
}

void Port::stop() {
    io_.stop();
    if (thread_.joinable()) thread_.join();
}

asio::awaitable<void> Port::accept_loop() {
    asio::steady_timer pause(io_);
    while (acceptor_.is_open()) {
        asio::error_code error;
        tcp::socket socket = co_await acceptor_.async_accept(into(error));
        if (error) {
            if (!acceptor_.is_open()) break;
            // Out of descriptors, for one: try again a little later.
            log(prefix_ + "accept failed: " + error.message());
            pause.expires_after(std::chrono::milliseconds(100));
            co_await pause.async_wait(into(error));
            continue;
        }
        asio::error_code peerError;
        const tcp::endpoint peer = socket.remote_endpoint(peerError);
        if (peerError) continue;
        const std::string peerText = endpoint_text(peer);
        if (!serve_.access->allows(peer.address())) {
            log(prefix_ + "refused " + peerText + ": not in the --allow list");
            continue;  // the socket closes here
        }
        if (owner_ && co_await owner_has_left()) {
            // Its session ended while this client was connecting.
        } else if (owner_) {
            log(prefix_ + "refused " + peerText + ": the port is in use by another client");
            // A flood of connections gets no message: closed at once.
            if (turningAway_ >= kMaxTurningAway) continue;
            ++turningAway_;  // until turn_away ends
            asio::co_spawn(io_,
                           turn_away(std::move(socket),
                                     "ERROR: tavril-gateway: slot " +
                                         std::to_string(options_.slot) +
                                         " is in use by another client; connection closed\n"),
                           asio::detached);
            continue;
        }
        // Answers go out at once, not held back to be joined with more.
        socket.set_option(tcp::no_delay(true), peerError);
        owner_ = std::make_shared<tcp::socket>(std::move(socket));
        asio::co_spawn(io_, serve(owner_, peerText), asio::detached);
    }
}

asio::awaitable<bool> Port::owner_has_left() {
    // A client that closed its connection while its last transaction ran
    // is not noticed by its session until that transaction ends; a client
    // connecting then must not be turned away because of it.
    char byte = 0;
    asio::error_code error;
    owner_->non_blocking(true, error);
    owner_->receive(asio::buffer(&byte, 1), tcp::socket::message_peek, error);
    asio::error_code ignored;
    owner_->non_blocking(false, ignored);
    if (!error || error == asio::error::would_block) co_return false;
    // Wait (a bounded time) for its session to close and clean up.
    owner_->close(ignored);
    asio::steady_timer pause(io_);
    for (unsigned wait = 0; owner_ && wait < kOwnerEndWaits; ++wait) {
        pause.expires_after(std::chrono::milliseconds(20));
        co_await pause.async_wait(into(error));
    }
    co_return !owner_;
}

asio::awaitable<void> Port::turn_away(tcp::socket socket, std::string message) {
    asio::error_code error;
    co_await asio::async_write(socket, asio::buffer(message), into(error));
    // Close only once the client has seen the end of the message: wait a
    // little for its own close, dropping what it sends meanwhile, so that no
    // reset overtakes the message.
    asio::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    asio::steady_timer deadline(io_);
    deadline.expires_after(std::chrono::seconds(2));
    deadline.async_wait([&socket](const asio::error_code& timerError) {
        if (!timerError) socket.close();
    });
    char sink[512];
    for (unsigned reads = 0; reads < 64; ++reads) {
        co_await socket.async_read_some(asio::buffer(sink), into(error));
        if (error) break;
    }
    deadline.cancel();
    socket.close(ignored);
    --turningAway_;
}

asio::awaitable<void> Port::serve(std::shared_ptr<tcp::socket> self, std::string peer) {
    log(prefix_ + "client " + peer + " connected");
    std::string buffer;
    // Room for the longest line and its CR LF.
    const std::size_t room = serve_.maxLine + 2;
    std::string reason = "disconnected";
    for (;;) {
        asio::error_code error;
        const std::size_t length =
            co_await asio::async_read_until(*self, asio::dynamic_buffer(buffer, room), '\n', into(error));
        if (error == asio::error::not_found) {
            reason = "sent a line longer than " + std::to_string(serve_.maxLine) +
                     " bytes: refused, disconnected";
            break;
        }
        if (error) break;
        std::string line = buffer.substr(0, length - 1);
        buffer.erase(0, length);
        if (line.ends_with('\r')) line.pop_back();
        if (line.size() > serve_.maxLine) {
            reason = "sent a line longer than " + std::to_string(serve_.maxLine) +
                     " bytes: refused, disconnected";
            break;
        }
        if (line.empty()) continue;
        if (line.find('\0') != std::string::npos) {
            log(prefix_ + "a line holding a NUL byte dropped");
            continue;
        }
        if (line.find('?') == std::string::npos) {
            instrument_.write(line);
            check_lost();
            continue;
        }
        const std::optional<std::string> response = instrument_.query(line);
        check_lost();
        if (!response) continue;
        co_await asio::async_write(*self, asio::buffer(*response), into(error));
        if (error) {
            reason = "left during a response (" + error.message() + ")";
            break;
        }
    }
    asio::error_code ignored;
    self->close(ignored);
    log(prefix_ + "client " + peer + " " + reason);
    owner_.reset();
    // Nothing the client left behind reaches the next one.
    instrument_.drain();
    check_lost();
}

void Port::check_lost() {
    if (!instrument_.take_lost() || reopening_) return;
    reopening_ = true;
    asio::co_spawn(io_, reopen(), asio::detached);
}

asio::awaitable<void> Port::watch() {
    // An instrument that goes away while a client uses it shows at the
    // client's next transaction; while no client is connected the port
    // asks for the identity now and then, so that the log tells at once.
    asio::steady_timer timer(io_);
    asio::error_code error;
    while (acceptor_.is_open()) {
        timer.expires_after(kIdleCheck);
        co_await timer.async_wait(into(error));
        if (owner_ || reopening_) continue;
        instrument_.check_presence();
        check_lost();
    }
}

asio::awaitable<void> Port::reopen() {
    asio::steady_timer timer(io_);
    asio::error_code error;
    for (std::uint32_t attempt = 1; attempt <= serve_.reopenTries; ++attempt) {
        timer.expires_after(std::chrono::seconds(1));
        co_await timer.async_wait(into(error));
        if (instrument_.open(attempt == 1)) {
            log(prefix_ + "slot reopened (attempt " + std::to_string(attempt) + ")");
            reopening_ = false;
            co_return;
        }
    }
    log(prefix_ + "gave up after " + std::to_string(serve_.reopenTries) +
        " attempts to reopen the slot; port closed");
    asio::error_code ignored;
    acceptor_.close(ignored);
    if (owner_) owner_->close(ignored);
    if (closed_) closed_();
}

}  // namespace gateway
