#include "port.h"

#include <chrono>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "keepalive.h"
#include "vxi11/accept.h"
#include "line_intake.h"
#include "log.h"

namespace tavlib::gateway {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

// How long a connecting client waits for an owner that is leaving (it has
// ended its sending side, or its connection broke) to get its last answers,
// at most: 20 ms times this.  Then it is turned away.
constexpr unsigned kOwnerEndWaits = 500;

// Clients being turned away at once, at most; more are closed without the
// message.
constexpr unsigned kMaxTurningAway = 16;

// How often an instrument that no client uses is asked for its identity.
constexpr std::chrono::seconds kIdleCheck{5};

// What a client's read takes at once.
constexpr std::size_t kReceiveSize = 64 * 1024;

// Completion token of the awaited operations: failures land in `error`
// instead of being thrown.
auto into(asio::error_code& error) { return asio::redirect_error(asio::use_awaitable, error); }
constexpr auto kTuple = asio::experimental::as_tuple(asio::use_awaitable);

std::string endpoint_text(const tcp::endpoint& endpoint) {
    const asio::ip::address address = plain_address(endpoint.address());
    const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(endpoint.port());
}

}  // namespace

struct Port::Session {
    Session(tcp::socket connection, std::string from, std::size_t maxLine)
        : socket(std::make_shared<tcp::socket>(std::move(connection))),
          peer(std::move(from)),
          intake(maxLine),
          idleTimer(socket->get_executor()) {}
    std::shared_ptr<tcp::socket> socket;
    std::string peer;
    LineIntake intake;
    asio::steady_timer idleTimer;
    std::chrono::steady_clock::time_point lastInput = std::chrono::steady_clock::now();
    bool idleExpired = false;  // the idle limit cancelled the read
    bool reading = false;     // waiting for the client's next bytes
    bool inputEnded = false;  // sent its last line: leaves once answered
    bool broken = false;      // its connection failed
};

Port::Port(const PortOptions& port, const ServeOptions& serve, std::function<void()> closed)
    : options_(port),
      serve_(serve),
      rules_{port.answerQuiet, serve.maxResponse},
      closed_(std::move(closed)),
      prefix_("slot " + std::to_string(port.slot) + ": "),
      instrument_(port.slot, port.writeTimeout, port.readTimeout, prefix_, *serve.gate),
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
    tcpPort_ = acceptor_.local_endpoint().port();
    prefix_ = "slot " + std::to_string(port.slot) + " port " + std::to_string(tcpPort_) + ": ";
    instrument_.set_log_prefix(prefix_);

    log("slot " + std::to_string(port.slot) + ": listening on " +
        endpoint_text(acceptor_.local_endpoint()) + ", write time-out " +
        std::to_string(port.writeTimeout) + " s, read time-out " +
        std::to_string(port.readTimeout) + " s, answers end " +
        (rules_.quietSeconds == 0 ? std::string("at the identity")
                                  : "after " + std::to_string(rules_.quietSeconds) + " s quiet"));
    if (!instrument_.open(true)) {
        reopening_ = true;
        asio::co_spawn(io_, reopen(), asio::detached);
    }
}

Port::~Port() { stop(); }

void Port::start() {
    // The VXI-11 side may post work even after the port gave up.
    keepRunning_.emplace(io_.get_executor());
    asio::co_spawn(io_, accept_loop(), asio::detached);
    asio::co_spawn(io_, watch(), asio::detached);
    thread_ = std::thread([this] { io_.run(); });
}

void Port::stop() {
    keepRunning_.reset();
    io_.stop();
    if (thread_.joinable()) thread_.join();
}

asio::awaitable<void> Port::accept_loop() {
    const bool stopped = false;
    const auto noted = [this](std::string_view text) { log(prefix_ + std::string(text)); };
    while (std::optional<tcp::socket> socket = co_await accept_next(acceptor_, stopped, noted))
        asio::co_spawn(io_, admit(std::move(*socket)), asio::detached);
}

bool Port::owner_leaving() {
    Session& owner = *session_;
    if (owner.inputEnded || owner.broken) return true;
    tcp::socket& socket = *owner.socket;
    asio::error_code error;
    if (owner.reading) {
        // Its read would have taken any bytes: a look tells whether the
        // connection has ended meanwhile.
        char byte = 0;
        socket.non_blocking(true, error);
        socket.receive(asio::buffer(&byte, 1), tcp::socket::message_peek, error);
    } else {
        // Busy with a transaction: take in what it sent meanwhile, which
        // may end with the end of its sending side.
        char received[4096];
        socket.non_blocking(true, error);
        while (!error) {
            const std::size_t count = socket.receive(asio::buffer(received), 0, error);
            if (!error) owner.intake.feed(std::string_view(received, count));
        }
        if (error == asio::error::eof) owner.inputEnded = true;
        else if (error != asio::error::would_block) owner.broken = true;
    }
    asio::error_code ignored;
    socket.non_blocking(false, ignored);
    return error && error != asio::error::would_block;
}

bool Port::owner_done() { return session_->reading && owner_leaving(); }

asio::awaitable<void> Port::admit(tcp::socket socket) {
    asio::error_code peerError;
    const tcp::endpoint peer = socket.remote_endpoint(peerError);
    if (peerError) co_return;
    const std::string peerText = endpoint_text(peer);
    if (!serve_.access->allows(peer.address())) {
        log(prefix_ + "refused " + peerText + ": not in the --allow list");
        co_return;  // the socket closes here
    }
    if (vxi11Links_ > 0) {
        log(prefix_ + "refused " + peerText + ": the instrument is in use by a VXI-11 client");
        if (turningAway_ < kMaxTurningAway)
            asio::co_spawn(io_, turn_away(std::make_shared<tcp::socket>(std::move(socket))),
                           asio::detached);
        co_return;
    }
    // An owner that has sent its last line keeps the port until its answers
    // are out; a client arriving meanwhile waits for that, a bounded time.
    // Clients that wait get the port in the order they came.
    const unsigned ticket = nextTicket_++;
    waiting_.insert(ticket);
    asio::steady_timer pause(io_);
    const auto my_turn = [this, ticket] { return *waiting_.begin() == ticket; };
    for (unsigned wait = 0; wait < kOwnerEndWaits && (session_ ? owner_leaving() : !my_turn());
         ++wait) {
        pause.expires_after(20ms);
        asio::error_code error;
        co_await pause.async_wait(into(error));
    }
    const bool admitted = !session_ && my_turn();
    waiting_.erase(ticket);
    if (!admitted) {
        log(prefix_ + "refused " + peerText + ": the port is in use by another client");
        // A flood of connections gets no message: closed at once.
        if (turningAway_ < kMaxTurningAway)
            asio::co_spawn(io_, turn_away(std::make_shared<tcp::socket>(std::move(socket))),
                           asio::detached);
        co_return;
    }
    auto session = std::make_shared<Session>(std::move(socket), peerText, serve_.maxLine);
    session_ = session;
    asio::co_spawn(io_, serve(std::move(session)), asio::detached);
}

asio::awaitable<void> Port::turn_away(std::shared_ptr<tcp::socket> socket) {
    ++turningAway_;
    const std::string message = "ERROR: tavril-gateway: slot " + std::to_string(options_.slot) +
                                " is in use by another client; connection closed\n";
    asio::error_code error;
    co_await asio::async_write(*socket, asio::buffer(message), into(error));
    // Close only once the client has seen the end of the message: wait a
    // little for its own close, dropping what it sends meanwhile, so that no
    // reset overtakes the message.
    asio::error_code ignored;
    socket->shutdown(tcp::socket::shutdown_send, ignored);
    asio::steady_timer deadline(io_);
    deadline.expires_after(2s);
    // The handler may run after this coroutine has ended (when both were due
    // at once): it owns the socket with it.
    deadline.async_wait([socket](const asio::error_code& timerError) {
        asio::error_code closeError;
        if (!timerError) socket->close(closeError);
    });
    char sink[512];
    for (unsigned reads = 0; reads < 64 && !error; ++reads)
        co_await socket->async_read_some(asio::buffer(sink), into(error));
    deadline.cancel();
    socket->close(ignored);
    --turningAway_;
}

bool Port::in_step(std::string_view why) {
    if (!inStep_) inStep_ = resync(instrument_, rules_, why);
    check_lost();
    return inStep_;
}

asio::awaitable<void> Port::serve(std::shared_ptr<Session> session) {
    tcp::socket& socket = *session->socket;
    asio::error_code optionError;
    // Answers go out at once, not held back to be joined with more.
    socket.set_option(tcp::no_delay(true), optionError);
    if (options_.keepalive != 0) set_keepalive(socket, options_.keepalive);
    log(prefix_ + "client " + session->peer + " connected");
    // Whatever the instrument said while no one asked is not this client's.
    inStep_ = false;
    if (instrument_.is_open()) in_step("before a new client");

    LineIntake& intake = session->intake;
    std::string reason = "disconnected";
    auto received = std::make_unique_for_overwrite<char[]>(kReceiveSize);
    if (options_.idleLimit != 0) asio::co_spawn(io_, watch_idle(session), asio::detached);
    for (;;) {
        bool gone = false;
        while (std::optional<LineIntake::Line> line = intake.next()) {
            if (line->holdsNul) {
                log(prefix_ + "a line holding a NUL byte dropped");
                continue;
            }
            if (!co_await run_line(*session, std::move(line->text))) {
                reason = "left during a response";
                gone = true;
                break;
            }
        }
        if (gone) break;
        if (intake.overlong()) {
            reason = "sent a line longer than " + std::to_string(serve_.maxLine) +
                     " bytes: refused, disconnected";
            break;
        }
        if (session->broken) {
            reason = "connection lost";
            break;
        }
        if (session->inputEnded) break;  // every line it sent is answered
        session->reading = true;
        session->lastInput = std::chrono::steady_clock::now();
        const auto [error, count] = co_await socket.async_read_some(
            asio::buffer(received.get(), kReceiveSize), kTuple);
        session->reading = false;
        session->lastInput = std::chrono::steady_clock::now();
        if (session->idleExpired) {
            reason = "idle for " + std::to_string(options_.idleLimit) + " s: disconnected";
            break;
        }
        if (error == asio::error::eof) {
            // Perhaps only its sending side: it may still wait for answers.
            session->inputEnded = true;
            continue;
        }
        if (error) {
            reason = "connection lost (" + error.message() + ")";
            break;
        }
        intake.feed(std::string_view(received.get(), count));
    }
    asio::error_code ignored;
    socket.close(ignored);
    session->idleTimer.cancel();
    log(prefix_ + "client " + session->peer + " " + reason);
    // A VXI-11 client may have found this session over already.
    if (session_ == session) session_.reset();
}

asio::awaitable<void> Port::watch_idle(std::shared_ptr<Session> session) {
    // One timer per session, set again only when it fires: the lines
    // themselves cost a clock reading.
    const std::chrono::seconds limit(options_.idleLimit);
    for (;;) {
        session->idleTimer.expires_at(session->lastInput + limit);
        asio::error_code error;
        co_await session->idleTimer.async_wait(into(error));
        if (error || !session->socket->is_open()) co_return;
        if (session->reading && std::chrono::steady_clock::now() - session->lastInput >= limit) {
            session->idleExpired = true;
            session->socket->cancel(error);
            co_return;
        }
    }
}

asio::awaitable<bool> Port::run_line(Session& session, std::string line) {
    if (!instrument_.is_open()) {
        log(prefix_ + "no instrument: " + shown(line) + " dropped");
        co_return true;
    }
    if (!in_step("after a failure")) {
        if (instrument_.is_open())
            log(prefix_ + shown(line) + ": not sent: the instrument's output is not in step");
        else
            log(prefix_ + "no instrument: " + shown(line) + " dropped");
        co_return true;
    }
    bool clientGone = false;
    {
        Answer answer(instrument_, rules_, std::move(line));
        if (answer.send()) {
            // Each message goes out as soon as it is whole.  Once the client
            // is gone the rest is read and dropped, so that nothing of it
            // waits for the next client.
            std::uint64_t dropped = 0;
            while (std::optional<std::string> message = answer.next()) {
                if (clientGone) {
                    dropped += message->size();
                    continue;
                }
                const std::string out = as_sent(std::move(*message));
                asio::error_code error;
                co_await asio::async_write(*session.socket, asio::buffer(out), into(error));
                clientGone = static_cast<bool>(error);
                if (clientGone) answer.limit_output(kDropLimitFactor * serve_.maxResponse);
            }
            if (dropped > 0)
                log(prefix_ + shown(answer.line()) + ": its client left; dropped the " +
                    std::to_string(dropped) + " bytes of its answer still to come");
        }
        inStep_ = answer.in_step();
        // After a call failed with an error code: is the instrument still
        // there?  The identity exchange tells.
        if (!inStep_ && answer.error_code() != 0) in_step("after a failed call");
    }
    check_lost();
    co_return !clientGone;
}

void Port::check_lost() {
    if (!instrument_.take_lost()) return;
    inStep_ = false;
    if (reopening_) return;
    reopening_ = true;
    asio::co_spawn(io_, reopen(), asio::detached);
}

asio::awaitable<void> Port::watch() {
    // An instrument that goes away while a client uses it shows at the
    // client's next transaction; while no client is connected the port
    // runs the identity exchange now and then, so that the log tells at
    // once, and so that nothing the instrument sent unasked waits long.
    asio::steady_timer timer(io_);
    asio::error_code error;
    while (acceptor_.is_open()) {
        timer.expires_after(kIdleCheck);
        co_await timer.async_wait(into(error));
        // VXI-11 clients' output is theirs to read.
        if (session_ || reopening_ || !instrument_.is_open() || vxi11Links_ > 0) continue;
        inStep_ = false;
        in_step("while no client was connected");
    }
}

asio::awaitable<void> Port::reopen() {
    asio::steady_timer timer(io_);
    asio::error_code error;
    for (std::uint32_t attempt = 1; attempt <= serve_.reopenTries; ++attempt) {
        timer.expires_after(1s);
        co_await timer.async_wait(into(error));
        if (instrument_.open(attempt == 1)) {
            log(prefix_ + "slot reopened (attempt " + std::to_string(attempt) + ")");
            reopening_ = false;
            inStep_ = false;
            co_return;
        }
    }
    log(prefix_ + "gave up after " + std::to_string(serve_.reopenTries) +
        " attempts to reopen the slot; port closed");
    asio::error_code ignored;
    acceptor_.close(ignored);
    if (session_) session_->socket->close(ignored);
    if (closed_) closed_();
}

}  // namespace tavlib::gateway
