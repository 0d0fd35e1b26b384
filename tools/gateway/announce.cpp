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
    : slots_(std::move(slots)), advertiser_(say, interface_of(bind)) {}

void Announcer::slot_changed(std::uint32_t slot, const std::optional<Identity>& identity) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (identity) identities_[slot] = *identity;
    else identities_.erase(slot);
    announce();
}

void Announcer::set_vxi11(bool viaPortmapper) {
    const std::lock_guard<std::mutex> lock(mutex_);
    vxi11_ = viaPortmapper;
    announce();
}

void Announcer::announce() {
    std::vector<vxi11::Service> services;
    for (const AnnouncedSlot& slot : slots_) {
        const auto found = identities_.find(slot.slot);
        if (found == identities_.end()) continue;
        const Identity& identity = found->second;
        const std::string name = vxi11::service_name(identity.model, identity.serial, slot.slot);
        const std::vector<std::string> txt = vxi11::instrument_txt(
            kIdentityPrefix.substr(0, kIdentityPrefix.find(',')), identity.model, identity.serial,
            identity.firmware);
        services.push_back({std::string(vxi11::kRawSocketServiceType), name, slot.rawPort, txt});
        if (vxi11_)
            services.push_back({std::string(vxi11::kVxi11ServiceType), name, vxi11::portmap::kPort, txt});
    }
    if (!services.empty()) advertiser_.advertise(std::move(services));
}

}  // namespace tavlib::gateway
