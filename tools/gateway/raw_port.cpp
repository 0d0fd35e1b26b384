#include "raw_port.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "keepalive.h"
#include "line_intake.h"
#include "log.h"
#include "vxi11/accept.h"

namespace tavlib::gateway {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;

// How long a connecting client waits, at most, for an owner that is
// leaving (it has ended its sending side, or its connection broke) to get
// its last answers.  Then it is turned away.
constexpr std::chrono::seconds kOwnerEndWait{10};

// Clients being turned away at once, at most; more are closed without the
// message.
constexpr unsigned kMaxTurningAway = 16;

// What a client's read takes at once.
constexpr std::size_t kReceiveSize = 64 * 1024;
// An answer's bytes that may wait for a slow client.
constexpr std::size_t kHeldBytes = 256 * 1024;

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

struct RawPort::Session {
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

    // The answer's messages on their way to the client.  The thread that
    // reads the instrument hands each over and goes on reading; it waits
    // only while kHeldBytes or more are still to be written, so that a slow
    // client slows its own answer and holds little here.  (It may be a
    // thread of the network: the network's other threads then write.)
    struct Outgoing {
        std::mutex mutex;
        std::condition_variable written;
        std::size_t bytes = 0;  // handed over, not yet written
        bool failed = false;    // a write failed: the client is gone
    };
    std::shared_ptr<Outgoing> outgoing = std::make_shared<Outgoing>();
    // On the network only: the messages to write, in order, the first
    // being written.
    std::deque<std::shared_ptr<std::string>> toWrite;
    // Cancelled as a write ends: a session that ends waits on it.
    asio::steady_timer writesEnded{socket->get_executor()};

    bool sending() const {
        const std::lock_guard<std::mutex> lock(outgoing->mutex);
        return outgoing->bytes > 0;
    }
};

RawPort::RawPort(const NetworkExecutor& network, const Poster& poster, const PortOptions& port, const ServeOptions& serve,
                 SlotService& service, std::function<void()> closed)
    : network_(network),
      poster_(poster),
      options_(port),
      serve_(serve),
      service_(service),
      closed_(std::move(closed)),
      acceptor_(network),
      ownerGone_(network) {
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
    service_.set_log_prefix(prefix_);
    log("slot " + std::to_string(port.slot) + ": listening on " + endpoint_text(acceptor_.local_endpoint()) +
        ", write time-out " + std::to_string(port.writeTimeout) + " s, read time-out " +
        std::to_string(port.readTimeout) + " s, answers end " +
        (port.answerQuiet == 0 ? std::string("at the identity")
                               : "after " + std::to_string(port.answerQuiet) + " s quiet"));
    service_.open();
    service_.on_gave_up([this] { poster_.post([this] { gave_up(); }); });
}

void RawPort::start() { asio::co_spawn(network_, accept_loop(), asio::detached); }

void RawPort::stop() {
    stopped_ = true;
    asio::error_code ignored;
    acceptor_.close(ignored);
    if (session_) session_->socket->close(ignored);
    ownerGone_.cancel();
}

void RawPort::gave_up() {
    asio::error_code ignored;
    acceptor_.close(ignored);
    if (session_) session_->socket->close(ignored);
    if (closed_) closed_();
}

asio::awaitable<void> RawPort::accept_loop() {
    const auto noted = [this](std::string_view text) { log(prefix_ + std::string(text)); };
    while (std::optional<tcp::socket> socket = co_await accept_next(acceptor_, stopped_, noted))
        asio::co_spawn(network_, admit(std::move(*socket)), asio::detached);
}

namespace {

// What a look at a waiting connection shows, taking nothing from it.
enum class Look { quiet, bytes, ended };

Look look_at(tcp::socket& socket) {
    asio::error_code error;
    socket.non_blocking(true, error);
    char byte = 0;
    const std::size_t peeked = socket.receive(asio::buffer(&byte, 1), tcp::socket::message_peek, error);
    asio::error_code ignored;
    socket.non_blocking(false, ignored);
    if (error == asio::error::would_block) return Look::quiet;
    if (!error && peeked > 0) return Look::bytes;
    return Look::ended;
}

}  // namespace

bool RawPort::owner_leaving() {
    Session& owner = *session_;
    if (owner.inputEnded || owner.broken) return true;
    tcp::socket& socket = *owner.socket;
    if (owner.reading) {
        // Its bytes stay in the connection until its session takes them,
        // which it does at once: bytes there may end with its end, so the
        // question waits until they are taken (the session's read wakes the
        // waiting clients to look again).
        return look_at(socket) != Look::quiet;
    }
    // Busy with a transaction: take in what it sent meanwhile, which may end
    // with the end of its sending side.
    asio::error_code error;
    char received[4096];
    socket.non_blocking(true, error);
    while (!error) {
        const std::size_t count = socket.receive(asio::buffer(received), 0, error);
        if (!error) owner.intake.feed(std::string_view(received, count));
    }
    if (error == asio::error::eof) owner.inputEnded = true;
    else if (error != asio::error::would_block) owner.broken = true;
    asio::error_code ignored;
    socket.non_blocking(false, ignored);
    return error != asio::error::would_block;
}

void RawPort::drop_departed_owner() {
    // Only a session waiting for its client's next line, with no answer
    // still being written, and whose connection has ended with nothing
    // left in it to take: then it holds nothing.
    if (session_ && session_->reading && !session_->sending() && look_at(*session_->socket) == Look::ended) {
        log(prefix_ + "client " + session_->peer + " disconnected");
        end_session(session_);
    }
}

asio::awaitable<void> RawPort::admit(tcp::socket socket) {
    asio::error_code peerError;
    const tcp::endpoint peer = socket.remote_endpoint(peerError);
    if (peerError) co_return;
    const std::string peerText = endpoint_text(peer);
    if (!serve_.access->allows(peer.address())) {
        log(prefix_ + "refused " + peerText + ": not in the --allow list");
        co_return;  // the socket closes here
    }
    const auto refuse = [&](std::string_view why) {
        log(prefix_ + "refused " + peerText + ": " + std::string(why));
        // A flood of connections gets no message: closed at once.
        if (turningAway_ < kMaxTurningAway)
            asio::co_spawn(network_, turn_away(std::make_shared<tcp::socket>(std::move(socket))), asio::detached);
    };
    if (service_.links() > 0) {
        refuse("the instrument is in use by a VXI-11 client");
        co_return;
    }
    // An owner that has sent its last line keeps the port until its answers
    // are out; a client arriving meanwhile waits for that, a bounded time.
    // Clients that wait get the port in the order they came.
    const unsigned ticket = nextTicket_++;
    waiting_.insert(ticket);
    const auto my_turn = [this, ticket] { return *waiting_.begin() == ticket; };
    asio::steady_timer deadline(network_);
    deadline.expires_after(kOwnerEndWait);
    bool expired = false;
    while (!expired && !stopped_ && (session_ ? owner_leaving() : !my_turn())) {
        // Woken when the owner's session ends or a client before it leaves.
        auto which = co_await (ownerGone_.async_wait(kTuple) || deadline.async_wait(kTuple));
        expired = which.index() == 1;
    }
    const bool admitted = !session_ && my_turn() && !stopped_;
    waiting_.erase(ticket);
    ownerGone_.cancel();  // the next in line looks again
    if (!admitted) {
        refuse("the port is in use by another client");
        co_return;
    }
    if (!service_.claim_client()) {
        refuse("the instrument is in use by a VXI-11 client");
        co_return;
    }
    auto session = std::make_shared<Session>(std::move(socket), peerText, serve_.maxLine);
    session_ = session;
    asio::co_spawn(network_, serve(std::move(session)), asio::detached);
}

asio::awaitable<void> RawPort::turn_away(std::shared_ptr<tcp::socket> socket) {
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
    asio::steady_timer deadline(network_);
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

asio::awaitable<void> RawPort::serve(std::shared_ptr<Session> session) {
    tcp::socket& socket = *session->socket;
    asio::error_code optionError;
    // Answers go out at once, not held back to be joined with more.
    socket.set_option(tcp::no_delay(true), optionError);
    if (options_.keepalive != 0) set_keepalive(socket, options_.keepalive);
    log(prefix_ + "client " + session->peer + " connected");

    LineIntake& intake = session->intake;
    std::string reason = "disconnected";
    auto received = std::make_unique_for_overwrite<char[]>(kReceiveSize);
    if (options_.idleLimit != 0) asio::co_spawn(network_, watch_idle(session), asio::detached);
    for (;;) {
        bool gone = false;
        while (std::optional<LineIntake::Line> line = intake.next()) {
            if (line->holdsNul) {
                log(prefix_ + "a line holding a NUL byte dropped");
                continue;
            }
            if (!co_await run_line(session, std::move(line->text))) {
                reason = "left during a response";
                gone = true;
                break;
            }
        }
        if (gone || stopped_) break;
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
        // The bytes are awaited and then taken, not taken as they come: until
        // this coroutine takes them they stay in the connection, so that a
        // look at it from elsewhere (owner_leaving) never sees a client that
        // sent its last line and its end as gone while that line waits here,
        // taken but not yet run.
        auto [error] = co_await socket.async_wait(tcp::socket::wait_read, kTuple);
        std::size_t count = 0;
        if (!error) count = socket.read_some(asio::buffer(received.get(), kReceiveSize), error);
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
        // Clients waiting for the port look again at what it now knows.
        if (!waiting_.empty()) ownerGone_.cancel();
    }
    // The last answer may still be on its way: it goes out before the
    // connection closes.
    while (session->sending() && session->socket->is_open() && !stopped_) {
        session->writesEnded.expires_at(std::chrono::steady_clock::time_point::max());
        asio::error_code error;
        co_await session->writesEnded.async_wait(into(error));
    }
    // A session ended early (its client had left) was logged then.
    if (session_ == session) log(prefix_ + "client " + session->peer + " " + reason);
    end_session(session);
}

void RawPort::end_session(const std::shared_ptr<Session>& session) {
    asio::error_code ignored;
    session->socket->close(ignored);
    session->idleTimer.cancel();
    if (session_ != session) return;
    session_.reset();
    service_.release_client();
    ownerGone_.cancel();
}

asio::awaitable<void> RawPort::watch_idle(std::shared_ptr<Session> session) {
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

void RawPort::write_next(const std::shared_ptr<Session>& session) {
    const std::shared_ptr<std::string> out = session->toWrite.front();
    asio::async_write(*session->socket, asio::buffer(*out), [session, out](const asio::error_code& error, std::size_t) {
        {
            Session::Outgoing& ended = *session->outgoing;
            const std::lock_guard<std::mutex> lock(ended.mutex);
            ended.bytes -= out->size();
            ended.failed = ended.failed || static_cast<bool>(error);
            ended.written.notify_all();
        }
        session->toWrite.pop_front();
        if (!session->toWrite.empty())
            write_next(session);
        else
            session->writesEnded.cancel();
    });
}

asio::awaitable<bool> RawPort::run_line(const std::shared_ptr<Session>& session, std::string line) {
    // Each message of the answer is written to the client by the network
    // while the instrument is read on; false once the client is gone.
    const auto deliver = [poster = poster_, session, service = &service_](std::string message) {
        Session::Outgoing& outgoing = *session->outgoing;
        {
            std::unique_lock<std::mutex> lock(outgoing.mutex);
            while (outgoing.bytes >= kHeldBytes)
                if (!outgoing.written.wait_for(lock, 100ms, [&] { return outgoing.bytes < kHeldBytes; }) &&
                    service->stopping())
                    return false;
            if (outgoing.failed) return false;
            outgoing.bytes += message.size();
        }
        auto out = std::make_shared<std::string>(std::move(message));
        poster.post_now([session, out] {
            session->toWrite.push_back(out);
            if (session->toWrite.size() == 1) write_next(session);
        });
        return true;
    };
    Pending<bool> finished(network_);
    service_.run_line(std::move(line), deliver, finished.finisher(poster_));
    const std::optional<bool> clientGone = co_await finished.wait();
    co_return clientGone && !*clientGone;
}

}  // namespace tavlib::gateway
