#include "server.h"

#include "accept.h"

#include <chrono>
#include <map>
#include <string>

#include <asio/async_result.hpp>
#include <asio/co_spawn.hpp>
#include <asio/defer.hpp>
#include <asio/dispatch.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

namespace tavlib::gateway::vxi11 {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;
constexpr auto kTuple = asio::experimental::as_tuple(asio::use_awaitable);
constexpr std::size_t kReceiveSize = 64 * 1024;
constexpr auto kQuickWait = std::chrono::milliseconds(100);
constexpr auto kQuickTick = std::chrono::milliseconds(20);

std::string peer_text(const tcp::socket& socket) {
    asio::error_code error;
    const tcp::endpoint peer = socket.remote_endpoint(error);
    if (error) return "?";
    return peer.address().to_string() + ":" + std::to_string(peer.port());
}

// A coroutine's wait for a wake from the network, resumed on the thread
// that wakes it once that thread's handler has returned.  A thread that has
// just run an instrument's call so finishes the call's reply itself: a
// timer's cancel would go through the io_context's shared queue, and wake
// another thread to take it.
class Wakeup {
public:
    template <class Token>
    auto async_wait(Token&& token) {
        return asio::async_initiate<Token, void()>(
            [this](auto handler) { held_ = std::make_unique<Held<decltype(handler)>>(std::move(handler)); }, token);
    }
    bool waiting() const { return held_ != nullptr; }
    // On the network's strand.
    void wake(const NetworkExecutor& network) {
        if (!held_) return;
        asio::defer(network.get_inner_executor(), [held = std::move(held_)]() mutable { held->resume(); });
    }

private:
    struct Base {
        virtual ~Base() = default;
        virtual void resume() = 0;
    };
    template <class Handler>
    struct Held final : Base {
        explicit Held(Handler waiting) : handler(std::move(waiting)) {}
        void resume() override {
            const auto executor = asio::get_associated_executor(handler);
            asio::dispatch(executor, std::move(handler));
        }
        Handler handler;
    };
    std::unique_ptr<Base> held_;
};

}  // namespace

struct ChannelServer::State : std::enable_shared_from_this<State> {
    State(const NetworkExecutor& executor, Dispatcher& served, ChannelOptions opts)
        : network(executor), dispatcher(served), options(std::move(opts)), acceptor(executor) {
        if (options.maxRecord == 0) options.maxRecord = max_record(dispatcher.limits());
        acceptor.open(options.endpoint.protocol());
#ifndef _WIN32
        acceptor.set_option(tcp::acceptor::reuse_address(true));
#endif
        acceptor.bind(options.endpoint);
        acceptor.listen();
    }

    // A connection's wait for its parked call.
    struct Waiter {
        asio::steady_timer* timer = nullptr;
        Wakeup wakeup;  // the quick part of the wait
        bool woken = false;
        // While it waits only for the wake: when that part of the wait ends.
        Dispatcher::Clock::time_point quickEnd = Dispatcher::Clock::time_point::max();
    };

    asio::awaitable<void> accept_loop();
    asio::awaitable<void> serve(std::shared_ptr<tcp::socket> socket);
    asio::awaitable<std::optional<Outcome>> await_parked(tcp::socket& socket, ConnectionId id,
                                                         Outcome outcome);
    void wake(ConnectionId id) {
        const auto waiter = waiters.find(id);
        if (waiter == waiters.end()) return;
        waiter->second.woken = true;
        resume(waiter->second);
    }
    void resume(Waiter& waiter) {
        if (waiter.wakeup.waiting())
            waiter.wakeup.wake(network);
        else if (waiter.timer != nullptr)
            waiter.timer->cancel();
    }
    // Ends the quick part of the waits that are due, looking every
    // kQuickTick while there are any: one timer for all of them, rather
    // than one set for each call.
    void watch_quick_waits();
    void note(std::string_view text) const {
        if (options.log) options.log(text);
    }
    const char* name() const { return options.channel == Channel::core ? "core channel" : "abort channel"; }

    // What the limits need to know of each connection.
    struct Entry {
        std::shared_ptr<tcp::socket> socket;
        std::chrono::steady_clock::time_point lastCall = std::chrono::steady_clock::now();
        bool busy = false;  // a call of it runs or waits
        std::string peer;
    };

    asio::awaitable<void> watch_idle();
    // Makes room for one more connection: closes the one idle the longest;
    // false when none is idle.
    bool make_room();

    NetworkExecutor network;
    Dispatcher& dispatcher;
    ChannelOptions options;
    tcp::acceptor acceptor;
    std::map<tcp::socket*, Entry> connections;
    std::map<ConnectionId, Waiter> waiters;
    asio::steady_timer idleTimer{network};
    asio::steady_timer quickTimer{network};
    bool quickTimerRunning = false;
    bool stopped = false;
};

void ChannelServer::State::watch_quick_waits() {
    if (quickTimerRunning || stopped) return;
    quickTimerRunning = true;
    quickTimer.expires_after(kQuickTick);
    quickTimer.async_wait([self = shared_from_this()](const asio::error_code&) {
        self->quickTimerRunning = false;
        if (self->stopped) return;
        const Dispatcher::Clock::time_point now = Dispatcher::Clock::now();
        bool more = false;
        for (auto& [id, waiter] : self->waiters) {
            if (waiter.timer == nullptr || waiter.quickEnd == Dispatcher::Clock::time_point::max()) continue;
            if (now >= waiter.quickEnd) {
                waiter.quickEnd = Dispatcher::Clock::time_point::max();
                self->resume(waiter);
            } else {
                more = true;
            }
        }
        if (more) self->watch_quick_waits();
    });
}

bool ChannelServer::State::make_room() {
    Entry* idlest = nullptr;
    for (auto& [key, entry] : connections)
        if (!entry.busy && (idlest == nullptr || entry.lastCall < idlest->lastCall)) idlest = &entry;
    if (idlest == nullptr) return false;
    const auto idle = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                       idlest->lastCall);
    note(std::string(name()) + ": client " + idlest->peer + " closed after " + std::to_string(idle.count()) +
         " s without a call, to make room for a new client (" + std::to_string(options.maxConnections) +
         " connections)");
    asio::error_code ignored;
    idlest->socket->close(ignored);
    // Its handler ends on the next turn; the entry goes then.
    idlest->busy = true;
    return true;
}

asio::awaitable<void> ChannelServer::State::watch_idle() {
    auto self = shared_from_this();
    const std::chrono::seconds limit(options.idleLimit);
    while (!stopped) {
        idleTimer.expires_after(std::chrono::seconds(1));
        co_await idleTimer.async_wait(kTuple);
        if (stopped) break;
        const auto now = std::chrono::steady_clock::now();
        for (auto& [key, entry] : connections) {
            if (entry.busy || now - entry.lastCall < limit) continue;
            note(std::string(name()) + ": client " + entry.peer + " idle for " +
                 std::to_string(options.idleLimit) + " s: disconnected");
            asio::error_code ignored;
            entry.socket->close(ignored);
            entry.busy = true;  // closed: its handler removes it
        }
    }
}

asio::awaitable<void> ChannelServer::State::accept_loop() {
    auto self = shared_from_this();
    const auto noted = [this](std::string_view text) {
        note(std::string(name()) + ": " + std::string(text));
    };
    while (std::optional<tcp::socket> accepted = co_await accept_next(acceptor, stopped, noted)) {
        tcp::socket& socket = *accepted;
        asio::error_code peerError;
        const tcp::endpoint peer = socket.remote_endpoint(peerError);
        if (peerError) continue;
        if (options.admit && !options.admit(peer.address())) {
            note(std::string(name()) + ": refused " + peer_text(socket) + ": not allowed");
            continue;
        }
        std::size_t open = 0;
        for (const auto& [key, entry] : connections) open += entry.socket->is_open() ? 1 : 0;
        if (open >= options.maxConnections && !make_room()) {
            note(std::string(name()) + ": refused " + peer_text(socket) + ": " +
                 std::to_string(options.maxConnections) + " connections already, all busy");
            continue;
        }
        asio::error_code optionError;
        socket.set_option(tcp::no_delay(true), optionError);
        // Replies are written without waiting when the connection takes them.
        socket.non_blocking(true, optionError);
        if (options.prepare) options.prepare(socket);
        auto shared = std::make_shared<tcp::socket>(std::move(socket));
        connections[shared.get()] = Entry{shared, std::chrono::steady_clock::now(), false, peer_text(*shared)};
        asio::co_spawn(network, serve(shared), asio::detached);
    }
}

asio::awaitable<std::optional<Outcome>> ChannelServer::State::await_parked(tcp::socket& socket,
                                                                           ConnectionId id,
                                                                           Outcome outcome) {
    asio::steady_timer timer(network);
    Waiter& waiter = waiters[id];
    waiter.timer = &timer;
    bool watchPeer = true;
    // Most calls end within a moment: until then only the wake or the time
    // is awaited, which spares each quick call a watch on the socket and its
    // cancellation.  A client that leaves is still noticed well within a
    // second.  The call's own time is kept exactly; the end of the quick
    // part comes from the timer shared by all waits (up to kQuickTick
    // late), so that a quick call sets no timer of its own in the system.
    const Dispatcher::Clock::time_point quickEnd = Dispatcher::Clock::now() + kQuickWait;
    while (outcome.waiting) {
        if (!waiter.woken && Dispatcher::Clock::now() < quickEnd) {
            if (outcome.until <= quickEnd) {
                timer.expires_at(outcome.until);
                co_await timer.async_wait(kTuple);
            } else {
                waiter.quickEnd = quickEnd;
                watch_quick_waits();
                co_await waiter.wakeup.async_wait(asio::use_awaitable);
            }
            waiter.quickEnd = Dispatcher::Clock::time_point::max();
            if (!waiter.woken && Dispatcher::Clock::now() < outcome.until && !stopped) continue;
        } else if (!waiter.woken) {
            timer.expires_at(outcome.until);
            if (watchPeer) {
                // The client may leave meanwhile: its connection becoming
                // readable tells.
                auto which = co_await (timer.async_wait(kTuple) ||
                                       socket.async_wait(tcp::socket::wait_read, kTuple));
                if (which.index() == 1) {
                    char byte = 0;
                    asio::error_code peekError;
                    const std::size_t peeked =
                        socket.receive(asio::buffer(&byte, 1), tcp::socket::message_peek, peekError);
                    if (peekError == asio::error::would_block) continue;  // nothing after all
                    if (peekError || peeked == 0) {
                        waiter.timer = nullptr;
                        co_return std::nullopt;  // closed
                    }
                    watchPeer = false;  // a next call waits its turn
                    continue;
                }
            } else {
                co_await timer.async_wait(kTuple);
            }
        }
        waiter.woken = false;
        if (stopped) break;
        outcome = dispatcher.resume(id, Dispatcher::Clock::now());
    }
    waiter.timer = nullptr;
    co_return outcome;
}

asio::awaitable<void> ChannelServer::State::serve(std::shared_ptr<tcp::socket> socket) {
    auto self = shared_from_this();
    // The connection's links go when it goes, however its handler ends.
    struct Registration {
        State& state;
        ConnectionId id;
        ~Registration() {
            state.waiters.erase(id);
            state.dispatcher.disconnect(id);
        }
    } registration{*this, dispatcher.connect(options.channel)};
    const ConnectionId id = registration.id;
    const std::string peer = peer_text(*socket);

    rpc::RecordIntake intake(options.maxRecord);
    auto received = std::make_unique<std::uint8_t[]>(kReceiveSize);
    std::string reason;
    while (reason.empty() && !stopped) {
        while (auto record = intake.next()) {
            const rpc::Call call = rpc::parse_call(*record);
            if (call.check == rpc::CallCheck::ignore) continue;
            if (call.check == rpc::CallCheck::malformed) {
                reason = "sent a malformed call header";
                break;
            }
            std::optional<Outcome> outcome;
            Entry& entry = connections.at(socket.get());
            entry.lastCall = std::chrono::steady_clock::now();
            if (call.check != rpc::CallCheck::ok) {
                outcome.emplace();
                outcome->reply = rpc::header_reply(call, true);
            } else {
                outcome = dispatcher.call(id, call, Dispatcher::Clock::now());
                if (outcome->waiting) {
                    entry.busy = true;
                    outcome = co_await await_parked(*socket, id, std::move(*outcome));
                    if (const auto again = connections.find(socket.get()); again != connections.end()) {
                        again->second.busy = !socket->is_open();
                        again->second.lastCall = std::chrono::steady_clock::now();
                    }
                }
            }
            if (!outcome) {
                reason = "left while its call waited";
                break;
            }
            if (!outcome->reply) continue;
            // A reply that fits the connection's buffer (most do) is
            // written at once, with no completion to hand round; the rest,
            // if any, is awaited.
            asio::error_code error;
            std::size_t sent = socket->write_some(asio::buffer(*outcome->reply), error);
            if (error == asio::error::would_block || error == asio::error::try_again) {
                error.clear();
                sent = 0;
            }
            if (!error && sent < outcome->reply->size()) {
                const auto [rest, size] =
                    co_await asio::async_write(*socket, asio::buffer(*outcome->reply) + sent, kTuple);
                (void)size;
                error = rest;
            }
            if (error) {
                reason = "connection lost (" + error.message() + ")";
                break;
            }
        }
        if (!reason.empty() || stopped) break;
        if (intake.failed()) {
            reason = "sent " + intake.failure() + ": disconnected";
            break;
        }
        const auto [error, count] =
            co_await socket->async_read_some(asio::buffer(received.get(), kReceiveSize), kTuple);
        if (error == asio::error::eof) {
            if (intake.partial()) reason = "ended in the middle of a record";
            break;
        }
        if (error) {
            reason = "connection lost (" + error.message() + ")";
            break;
        }
        intake.feed(ByteView(received.get(), count));
    }
    if (!reason.empty()) note(std::string(name()) + ": client " + peer + " " + reason);
    asio::error_code ignored;
    socket->close(ignored);
    connections.erase(socket.get());
}

ChannelServer::ChannelServer(const NetworkExecutor& network, Dispatcher& dispatcher, ChannelOptions options)
    : state_(std::make_shared<State>(network, dispatcher, std::move(options))) {
    if (state_->options.channel == Channel::core) {
        std::weak_ptr<State> weak = state_;
        dispatcher.set_wake([weak](ConnectionId id) {
            if (auto state = weak.lock()) state->wake(id);
        });
    }
}

ChannelServer::~ChannelServer() { stop(); }

void ChannelServer::start() {
    asio::co_spawn(state_->network, state_->accept_loop(), asio::detached);
    if (state_->options.idleLimit != 0) asio::co_spawn(state_->network, state_->watch_idle(), asio::detached);
}

void ChannelServer::stop() {
    if (state_->stopped) return;
    state_->stopped = true;
    asio::error_code ignored;
    state_->acceptor.close(ignored);
    state_->idleTimer.cancel();
    state_->quickTimer.cancel();
    for (const auto& [key, entry] : state_->connections) entry.socket->close(ignored);
    for (auto& [id, waiter] : state_->waiters) {
        waiter.quickEnd = Dispatcher::Clock::time_point::max();
        state_->resume(waiter);
    }
}

std::uint16_t ChannelServer::port() const { return state_->acceptor.local_endpoint().port(); }

std::size_t ChannelServer::connections() const { return state_->connections.size(); }

}  // namespace tavlib::gateway::vxi11
