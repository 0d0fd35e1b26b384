// One instrument served on one TCP port, on a thread of its own.
//
// Everything of a port runs on its thread: accepting, the owner's lines,
// the library calls (which block that thread only) and the reopening of a
// slot whose instrument went away.
#ifndef TAVRIL_GATEWAY_PORT_H
#define TAVRIL_GATEWAY_PORT_H

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include "access.h"
#include "instrument.h"
#include "options.h"

namespace gateway {

struct ServeOptions {
    asio::ip::address bind;
    const AccessList* access = nullptr;
    std::size_t maxLine = kDefaultMaxLine;
    std::uint32_t reopenTries = kDefaultReopenTries;
};

class Port {
public:
    // Binds and listens (throws asio::system_error when it cannot), then
    // opens the slot and logs the instrument's identity and the address.
    // `closed` is called on the port's thread when the port gave up.
    Port(const PortOptions& port, const ServeOptions& serve, std::function<void()> closed);
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    void start();  // runs the port on its thread
    void stop();   // ends it and waits for the thread

private:
    asio::awaitable<void> accept_loop();
    asio::awaitable<void> serve(std::shared_ptr<asio::ip::tcp::socket> self, std::string peer);
    asio::awaitable<bool> owner_has_left();
    asio::awaitable<void> turn_away(asio::ip::tcp::socket socket, std::string message);
    asio::awaitable<void> reopen();
    asio::awaitable<void> watch();
    void check_lost();

    PortOptions options_;
    ServeOptions serve_;
    std::function<void()> closed_;
    std::string prefix_;
    Instrument instrument_;
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    std::shared_ptr<asio::ip::tcp::socket> owner_;
    bool reopening_ = false;
    unsigned turningAway_ = 0;
    std::thread thread_;
};

}  // namespace gateway

#endif
