// The served instruments announced by mDNS/DNS-SD (Avahi, Linux), so that
// instrument finders list them: each slot whose instrument is known as
// "_scpi-raw._tcp" on its raw-socket port and, while a portmapper serves the
// VXI-11 core channel, as "_vxi-11._tcp" on port 111.  The instance name
// carries the model, serial number and slot.  Without the daemon (or on
// Windows) nothing is announced, and that is logged.
#pragma once

#include <list>

#include <asio/ip/address.hpp>

#include "port.h"
#include "vxi11/advertise.h"

namespace tavlib::gateway {

class Announcer {
public:
    // Reads the ports' identities: before they start.
    Announcer(const asio::ip::address& bind, const std::list<Port>& ports, bool vxi11);

private:
    vxi11::Advertiser advertiser_;
};

}  // namespace tavlib::gateway
