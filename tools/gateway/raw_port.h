// The raw-socket front end of one slot: its TCP port, the one client it
// serves at a time, and the lines that client sends.  Everything of it runs
// on the network's strand; the lines run on the slot's service, which owns the
// instrument, and the port waits for them without blocking.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "access.h"
#include "options.h"
#include "posting.h"
#include "slot_service.h"

namespace tavlib::gateway {

struct ServeOptions {
    asio::ip::address bind;
    const AccessList* access = nullptr;
    std::size_t maxLine = kDefaultMaxLine;
    std::size_t maxResponse = kDefaultMaxResponse;
    std::uint32_t reopenTries = kDefaultReopenTries;
};

class RawPort {
public:
    // Binds and listens (throws asio::system_error when it cannot), logs
    // the address, and opens the service's slot, which logs the instrument.
    // `closed` is called on the network's strand when the port gave up its
    // instrument for good.
    RawPort(const NetworkExecutor& network, const Poster& poster, const PortOptions& port, const ServeOptions& serve,
            SlotService& service, std::function<void()> closed);
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;

    void start();
    // Closes the port and its client's connection (on the network's strand).
    void stop();

    // A client that has left while waiting for its next line holds
    // nothing: its session ends now rather than when its loop comes round
    // (a VXI-11 link asks, so that it is not refused for it).
    void drop_departed_owner();

    std::uint32_t slot() const { return options_.slot; }
    std::uint16_t tcp_port() const { return tcpPort_; }
    SlotService& service() { return service_; }

private:
    struct Session;
    asio::awaitable<void> accept_loop();
    asio::awaitable<void> admit(asio::ip::tcp::socket socket);
    asio::awaitable<void> serve(std::shared_ptr<Session> session);
    asio::awaitable<bool> run_line(const std::shared_ptr<Session>& session, std::string line);
    // On the network: writes the session's first message, then the next.
    static void write_next(const std::shared_ptr<Session>& session);
    asio::awaitable<void> watch_idle(std::shared_ptr<Session> session);
    bool owner_leaving();
    asio::awaitable<void> turn_away(std::shared_ptr<asio::ip::tcp::socket> socket);
    void end_session(const std::shared_ptr<Session>& session);
    void gave_up();

    NetworkExecutor network_;
    Poster poster_;
    PortOptions options_;
    ServeOptions serve_;
    SlotService& service_;
    std::function<void()> closed_;
    std::string prefix_;
    asio::ip::tcp::acceptor acceptor_;
    std::shared_ptr<Session> session_;  // the owner, while one is connected
    // Woken when the owner's session ends: clients waiting for the port
    // look again.
    asio::steady_timer ownerGone_;
    unsigned turningAway_ = 0;
    unsigned nextTicket_ = 0;
    std::set<unsigned> waiting_;  // tickets of the clients waiting for the port
    std::uint16_t tcpPort_ = 0;
    bool stopped_ = false;
};

}  // namespace tavlib::gateway
