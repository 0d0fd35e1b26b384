#include "vxi11_device.h"

namespace tavlib::gateway {

void Vxi11Device::write(vxi11::LinkId link, vxi11::Bytes message, std::uint32_t timeoutSeconds, Done done) {
    service_.write(link, std::move(message), timeoutSeconds, on_network<vxi11::DeviceStatus>(std::move(done)));
}

void Vxi11Device::read(vxi11::LinkId link, const vxi11::ReadRequest& request,
                       std::function<void(vxi11::DeviceRead)> done) {
    service_.read(link, request, on_network<vxi11::DeviceRead>(std::move(done)));
}

vxi11::DeviceStatus Vxi11Device::read_status_byte(vxi11::LinkId, std::uint8_t& stb) {
    // The instrument reports no status byte through the library.
    stb = 0;
    return service_.status();
}

void Vxi11Device::trigger(vxi11::LinkId link, std::uint32_t timeoutSeconds, Done done) {
    service_.trigger(link, timeoutSeconds, on_network<vxi11::DeviceStatus>(std::move(done)));
}

void Vxi11Device::clear(vxi11::LinkId link, std::uint32_t, Done done) {
    service_.clear(link, on_network<vxi11::DeviceStatus>(std::move(done)));
}

bool Vxi11Device::link_opened(vxi11::LinkId link) {
    if (beforeLink_) beforeLink_();
    return service_.claim_link(link);
}

}  // namespace tavlib::gateway
