// The served instruments announced by mDNS/DNS-SD (Avahi, Linux), so that
// instrument finders list them: each slot whose instrument is known as
// "_scpi-raw._tcp" on its raw-socket port and, while a portmapper serves the
// VXI-11 core channel, as "_vxi-11._tcp" on port 111.  The instance name
// carries the model, serial number and slot.  Without the daemon (or on
// Windows) nothing is announced, and that is logged.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include <asio/ip/address.hpp>

#include "identity.h"
#include "vxi11/advertise.h"

namespace tavlib::gateway {

struct AnnouncedSlot {
    std::uint32_t slot = 0;
    std::uint16_t rawPort = 0;
};

class Announcer {
public:
    Announcer(const asio::ip::address& bind, std::vector<AnnouncedSlot> slots);
    // The instrument of `slot` became known, or unknown (nothing).  Any thread.
    void slot_changed(std::uint32_t slot, const std::optional<Identity>& identity);
    // Whether VXI-11 is reachable through a portmapper on port 111.  Any thread.
    void set_vxi11(bool viaPortmapper);

private:
    void announce();  // with mutex_ held

    std::mutex mutex_;
    std::vector<AnnouncedSlot> slots_;
    std::map<std::uint32_t, Identity> identities_;
    bool vxi11_ = false;
    vxi11::Advertiser advertiser_;
};

}  // namespace tavlib::gateway
