// One instrument served on one TCP port, on a thread of its own.
//
// Everything of a port runs on its thread: accepting, the owner's lines,
// the library calls (which block that thread only) and the reopening of a
// slot whose instrument went away.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <asio/awaitable.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include "access.h"
#include "answer.h"
#include "gate.h"
#include "instrument.h"
#include "options.h"
#include "vxi11/vxi11.h"

namespace tavlib::gateway {

struct ServeOptions {
    asio::ip::address bind;
    const AccessList* access = nullptr;
    std::size_t maxLine = kDefaultMaxLine;
    std::size_t maxResponse = kDefaultMaxResponse;
    std::uint32_t reopenTries = kDefaultReopenTries;
    Gate* gate = nullptr;  // shared by every port of the process
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

    std::uint32_t slot() const { return options_.slot; }
    // The TCP port it listens on.
    std::uint16_t tcp_port() const { return tcpPort_; }
    // The instrument it serves, once one was opened (read before start()).
    const std::optional<Identity>& identity() const { return instrument_.identity(); }

    // The VXI-11 side (slot_device.h) works the instrument on the port's
    // thread, where everything of the instrument runs: run() does `work`
    // there, at once when called there, else posted and waited for.  Not
    // after stop() began: the VXI-11 side stops first.
    void run(const std::function<void()>& work);
    // The port's event loop, for a VXI-11 side that runs on its thread.
    asio::io_context& io() { return io_; }
    // On the port's thread (port_vxi11.cpp).  While a raw-socket client is
    // connected the VXI-11 side is locked out; while VXI-11 links are open
    // on the instrument, raw-socket clients are turned away.
    vxi11::DeviceStatus vxi11_available() const;
    vxi11::DeviceStatus vxi11_write(const std::string& message, std::uint32_t seconds);
    vxi11::DevicePiece vxi11_read(std::uint32_t seconds);
    vxi11::DeviceStatus vxi11_clear();
    bool vxi11_link(bool opened);  // false: refused

private:
    struct Session;
    asio::awaitable<void> accept_loop();
    asio::awaitable<void> admit(asio::ip::tcp::socket socket);
    asio::awaitable<void> serve(std::shared_ptr<Session> session);
    asio::awaitable<bool> run_line(Session& session, std::string line);
    asio::awaitable<void> watch_idle(std::shared_ptr<Session> session);
    bool owner_leaving();
    // The owner has left and waits for no answer: its session only has to
    // notice.
    bool owner_done();
    asio::awaitable<void> turn_away(std::shared_ptr<asio::ip::tcp::socket> socket);
    asio::awaitable<void> reopen();
    asio::awaitable<void> watch();
    bool in_step(std::string_view why);
    void check_lost();
    vxi11::DeviceStatus vxi11_failed(std::uint32_t errorCode);

    PortOptions options_;
    ServeOptions serve_;
    AnswerRules rules_;
    std::function<void()> closed_;
    std::string prefix_;
    Instrument instrument_;
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    std::shared_ptr<Session> session_;  // the owner, while one is connected
    bool inStep_ = false;  // no output waits that no line asked for
    bool reopening_ = false;
    unsigned turningAway_ = 0;
    unsigned nextTicket_ = 0;
    std::set<unsigned> waiting_;  // tickets of the clients waiting for the port
    std::uint16_t tcpPort_ = 0;
    unsigned vxi11Links_ = 0;     // VXI-11 links open on the instrument
    bool vxi11LastFull_ = false;  // the last VXI-11 read filled its transfer
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> keepRunning_;
    std::thread thread_;
};

}  // namespace tavlib::gateway
