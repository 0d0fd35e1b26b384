// The gateway's VXI-11 side: every served slot is also a VXI-11 device
// ("inst<slot>"), on one core channel and one abort channel, found through
// the portmapper.  Its calls run one at a time.  With one port they run on
// that port's thread, which owns the instrument; with several, on a thread
// of their own, and each call's work on an instrument runs on that slot's
// port thread (see slot_device.h), which costs two thread switches a call.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>

#include "port.h"
#include "slot_device.h"
#include "vxi11/portmapper.h"
#include "vxi11/server.h"
#include "vxi11/vxi11.h"

namespace tavlib::gateway {

struct Vxi11Options {
    std::uint16_t port = 0;  // of the core channel; 0: a free one
    vxi11::portmap::Mode portmap = vxi11::portmap::Mode::automatic;
    std::uint32_t keepalive = kDefaultKeepalive;
};

class Vxi11Service {
public:
    // Binds the channels (throws asio::system_error when it cannot) for
    // `ports`, which outlive the service.
    Vxi11Service(const Vxi11Options& options, const ServeOptions& serve, std::list<Port>& ports);
    ~Vxi11Service();
    Vxi11Service(const Vxi11Service&) = delete;
    Vxi11Service& operator=(const Vxi11Service&) = delete;

    // Puts the core channel where clients look (the portmapper mode) and
    // starts serving; false, and `error` says why, when the mode cannot be
    // had.
    bool start(std::string& error);
    // Ends the service and waits for its thread.  It and the destruction
    // come before the ports stop: closing links reaches their threads.
    void stop();
    // What the portmapper did: rpcbind, own or off.
    vxi11::portmap::Mode portmapper() const;
    std::uint16_t core_port() const;

private:
    vxi11::portmap::Mode mode_;
    // Declared before the io_context: its handlers, run or destroyed with
    // it, still call the dispatcher, and the dispatcher its devices.
    vxi11::Dispatcher dispatcher_;
    std::list<SlotDevice> devices_;
    std::optional<asio::io_context> ownIo_;  // with several ports
    asio::io_context* io_;
    Port* host_ = nullptr;  // with one port: the port whose thread runs it
    std::optional<vxi11::ChannelServer> abort_;
    std::optional<vxi11::ChannelServer> core_;
    std::optional<vxi11::portmap::Portmapper> portmapper_;
    std::thread thread_;
    bool started_ = false;
};

}  // namespace tavlib::gateway
