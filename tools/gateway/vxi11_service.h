// The gateway's VXI-11 front end: every served slot is also a VXI-11 device
// ("inst<slot>"), on one core channel and one abort channel, found through
// the portmapper.  Everything of it runs on the network's strand; the
// operations on an instrument run on the slot's service and come back when
// done, so that no call waits for another's instrument.
#pragma once

#include <cstdint>
#include <list>
#include <optional>
#include <string>

#include <asio/io_context.hpp>

#include "posting.h"
#include "raw_port.h"
#include "vxi11/portmapper.h"
#include "vxi11/server.h"
#include "vxi11/vxi11.h"
#include "vxi11_device.h"

namespace tavlib::gateway {

struct Vxi11Options {
    std::uint16_t port = 0;  // of the core channel; 0: a free one
    vxi11::portmap::Mode portmap = vxi11::portmap::Mode::automatic;
    std::uint32_t keepalive = kDefaultKeepalive;
    std::uint32_t idleLimit = kDefaultIdleLimit;  // seconds without a call; 0: none
};

class Vxi11Service {
public:
    // Binds the channels (throws asio::system_error when it cannot) for
    // `ports`, which outlive the service.
    Vxi11Service(const NetworkExecutor& network, const Poster& poster, const Vxi11Options& options,
                 const ServeOptions& serve, std::list<RawPort>& ports);
    ~Vxi11Service();
    Vxi11Service(const Vxi11Service&) = delete;
    Vxi11Service& operator=(const Vxi11Service&) = delete;

    // Puts the core channel where clients look (the portmapper mode) and
    // starts serving; false, and `error` says why, when the mode cannot be
    // had.
    bool start(std::string& error);
    // Closes the channels and every connection, and undoes the
    // portmapper's registration (on the network's strand).
    void stop();
    // What the portmapper did: rpcbind, own or off.
    vxi11::portmap::Mode portmapper() const;
    std::uint16_t core_port() const;

private:
    vxi11::portmap::Mode mode_;
    // Declared before the servers: their handlers still call it, and it
    // its devices.
    vxi11::Dispatcher dispatcher_;
    std::list<Vxi11Device> devices_;
    std::optional<vxi11::ChannelServer> abort_;
    std::optional<vxi11::ChannelServer> core_;
    std::optional<vxi11::portmap::Portmapper> portmapper_;
    bool started_ = false;
};

}  // namespace tavlib::gateway
