// The served instruments announced by mDNS/DNS-SD (Avahi, Linux), so that
// instrument finders list them: each slot whose instrument is known as
// "_scpi-raw._tcp" on its raw-socket port, and the slot served as VXI-11
// device inst0 (slot 0), while a portmapper on port 111 leads to the core
// channel, as "_vxi-11._tcp" on port 111.  Other slots get no "_vxi-11._tcp"
// record: such a record cannot name a device, and a VISA finder opens
// TCPIP::host::INSTR from it, which is inst0, another instrument.  The
// instance name carries the model, serial number and slot.  Announcements
// follow the slots (an instrument that appears, goes or changes) and come
// back when the Avahi daemon does.  Without the daemon (or on Windows)
// nothing is announced, and that is logged.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include <asio/ip/address.hpp>

#include "identity.h"
#include "vxi11/advertise.h"

namespace tavlib::gateway {

struct AnnouncedSlot {
    std::uint32_t slot;
    std::uint16_t rawPort;
};

class Announcer {
public:
    // Nothing is announced until a slot's instrument is known.
    Announcer(const asio::ip::address& bind, std::vector<AnnouncedSlot> slots);
    // The instrument of `slot` became known, or unknown (nullopt).  Any
    // thread.
    void slot_changed(std::uint32_t slot, const std::optional<Identity>& identity);
    // Whether VXI-11 is reachable through a portmapper on port 111.  Any
    // thread.
    void set_vxi11(bool viaPortmapper);

private:
    struct Slot {
        AnnouncedSlot where;
        std::optional<Identity> identity;
    };
    void update();  // under mutex_

    std::mutex mutex_;
    std::vector<Slot> slots_;
    bool vxi11_ = false;
    std::set<std::uint32_t> toldNoVxi11_;  // slots told to have no VXI-11 record
    // Last: withdrawn first.
    vxi11::Advertiser advertiser_;
};

}  // namespace tavlib::gateway
