#include "announce.h"

#include <string>
#include <vector>

#ifdef __linux__
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#endif

#include "log.h"
#include "vxi11/portmapper.h"

namespace tavlib::gateway {
namespace {

void say(std::string_view text) { log(text); }

// The network interface that holds `bind`, so that the announcements go out
// only where the gateway is reached; -1 (all) for a wildcard address.
int interface_of(const asio::ip::address& bind) {
#ifdef __linux__
    if (bind.is_unspecified()) return -1;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return -1;
    int index = -1;
    for (const ifaddrs* entry = list; entry != nullptr && index < 0; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) continue;
        asio::ip::address address;
        if (entry->ifa_addr->sa_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            address = asio::ip::address_v4(ntohl(in->sin_addr.s_addr));
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            asio::ip::address_v6::bytes_type bytes;
            std::copy(std::begin(in6->sin6_addr.s6_addr), std::end(in6->sin6_addr.s6_addr),
                      bytes.begin());
            address = asio::ip::address_v6(bytes);
        } else {
            continue;
        }
        if (address == bind) index = static_cast<int>(if_nametoindex(entry->ifa_name));
    }
    freeifaddrs(list);
    return index;
#else
    (void)bind;
    return -1;
#endif
}

}  // namespace

Announcer::Announcer(const asio::ip::address& bind, std::vector<AnnouncedSlot> slots)
    : advertiser_(say, interface_of(bind)) {
    for (const AnnouncedSlot& slot : slots) slots_.push_back({slot, std::nullopt});
}

void Announcer::slot_changed(std::uint32_t slot, const std::optional<Identity>& identity) {
    const std::lock_guard lock(mutex_);
    for (Slot& known : slots_)
        if (known.where.slot == slot) known.identity = identity;
    update();
}

void Announcer::set_vxi11(bool viaPortmapper) {
    const std::lock_guard lock(mutex_);
    vxi11_ = viaPortmapper;
    update();
}

void Announcer::update() {
    std::vector<vxi11::Service> services;
    for (const Slot& known : slots_) {
        if (!known.identity) continue;
        const Identity& identity = *known.identity;
        const std::uint32_t slot = known.where.slot;
        const std::string name = vxi11::service_name(identity.model, identity.serial, slot);
        const std::vector<std::string> txt = vxi11::instrument_txt(
            kIdentityPrefix.substr(0, kIdentityPrefix.find(',')), identity.model, identity.serial,
            identity.firmware);
        services.push_back({std::string(vxi11::kRawSocketServiceType), name, known.where.rawPort, txt});
        if (!vxi11_) continue;
        if (slot == 0) {
            services.push_back({std::string(vxi11::kVxi11ServiceType), name, vxi11::portmap::kPort, txt});
        } else if (toldNoVxi11_.insert(slot).second) {
            say("mDNS: slot " + std::to_string(slot) + " gets no " + std::string(vxi11::kVxi11ServiceType) +
                " record: one on port 111 leads clients to TCPIP::host::INSTR, which is inst0 (slot 0); "
                "its clients open TCPIP::host::inst" + std::to_string(slot) + "::INSTR");
        }
    }
    advertiser_.advertise(std::move(services));
}

}  // namespace tavlib::gateway
