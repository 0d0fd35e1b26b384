// DNS-SD over mDNS: the services the gateway serves, announced through the
// Avahi daemon (Linux), so that instrument finders list them.
//
// VXI-11 instruments announce "_vxi-11._tcp" on the portmapper's port 111
// (a client asks the portmapper there for the core channel's port, as it
// would after a broadcast), and a raw socket "_scpi-raw._tcp" on its own
// port.  Without the daemon nothing is announced; that is logged and the
// gateway goes on, and announces once the daemon runs (it may start later,
// or restart).  Built without libavahi-client, or on Windows, it only logs.
#pragma once

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
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

// The Avahi client runs on a thread of its own, which also reconnects when
// the daemon goes away and comes back (each service announced again).
class Advertiser {
public:
    // `interfaceIndex`: announce on this network interface only (the one
    // the gateway listens on), -1 on all.
    explicit Advertiser(std::function<void(std::string_view)> log, int interfaceIndex = -1);
    // Withdraws everything; waits for that at most about half a second (a
    // daemon that does not answer is left to drop them when the process
    // ends).
    ~Advertiser();
    Advertiser(const Advertiser&) = delete;
    Advertiser& operator=(const Advertiser&) = delete;

    // Announces these services from now on, in place of earlier ones: the
    // ones no longer listed are withdrawn, the new ones added, the others
    // left as they are.  Any thread; it does not wait for the daemon.  A
    // name taken by another host is changed ("... #2") and logged.
    void advertise(std::vector<Service> services);

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;      // Avahi builds only
    std::future<void> done_;  // set as the thread ends
};

}  // namespace tavlib::gateway::vxi11
