// DNS-SD over mDNS: the services the gateway serves, announced through the
// Avahi daemon (Linux), so that instrument finders list them.
//
// VXI-11 instruments announce "_vxi-11._tcp" on the portmapper's port 111
// (a client asks the portmapper there for the core channel's port, as it
// would after a broadcast), and a raw socket "_scpi-raw._tcp" on its own
// port.  Without the daemon (not running, or the gateway built without
// libavahi-client, or on Windows) nothing is announced; that is logged and
// the gateway goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tavlib::gateway::vxi11 {

inline constexpr std::string_view kVxi11ServiceType = "_vxi-11._tcp";
inline constexpr std::string_view kRawSocketServiceType = "_scpi-raw._tcp";

struct Service {
    std::string type;  // kVxi11ServiceType, kRawSocketServiceType
    std::string name;  // service_name()
    std::uint16_t port = 0;
    std::vector<std::string> txt;  // "key=value" entries
};

// "ZQ907 SN000001 slot 0": the instance name of one instrument's service.
std::string service_name(std::string_view model, std::string_view serial, std::uint32_t slot);
// The TXT entries instrument finders show: Manufacturer, Model, SerialNumber,
// FirmwareVersion.
std::vector<std::string> instrument_txt(std::string_view manufacturer, std::string_view model,
                                        std::string_view serial, std::string_view firmware);

class Advertiser {
public:
    // `interfaceIndex`: announce on this network interface only (the one
    // the gateway listens on), -1 on all.
    explicit Advertiser(std::function<void(std::string_view)> log, int interfaceIndex = -1);
    ~Advertiser();  // withdraws everything
    Advertiser(const Advertiser&) = delete;
    Advertiser& operator=(const Advertiser&) = delete;

    // Announces these services from now on, in place of earlier ones.  False
    // when nothing is announced (logged).  The daemon's answer comes
    // later: a name taken by another host is changed ("... #2") and logged.
    bool advertise(std::vector<Service> services);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tavlib::gateway::vxi11
