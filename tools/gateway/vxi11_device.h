// A slot's service as a VXI-11 device: each operation goes to the slot's
// service, and its outcome comes back to the network's strand, where the
// dispatcher runs.
#pragma once

#include <functional>

#include "posting.h"
#include "slot_service.h"
#include "vxi11/vxi11.h"

namespace tavlib::gateway {

class Vxi11Device final : public vxi11::Device {
public:
    // `beforeLink` runs (on the network's strand) before each link is made:
    // the raw-socket port lets a client go that has left already.
    Vxi11Device(SlotService& service, const Poster& poster, std::function<void()> beforeLink)
        : service_(service), poster_(poster), beforeLink_(std::move(beforeLink)) {}

    void write(vxi11::LinkId link, vxi11::Bytes message, std::uint32_t timeoutSeconds, Done done) override;
    void read(vxi11::LinkId link, const vxi11::ReadRequest& request,
              std::function<void(vxi11::DeviceRead)> done) override;
    vxi11::DeviceStatus read_status_byte(vxi11::LinkId link, std::uint8_t& stb) override;
    void trigger(vxi11::LinkId link, std::uint32_t timeoutSeconds, Done done) override;
    void clear(vxi11::LinkId link, std::uint32_t timeoutSeconds, Done done) override;
    void abandon(vxi11::LinkId link) override { service_.abandon(link); }
    bool link_opened(vxi11::LinkId link) override;
    void link_closed(vxi11::LinkId link) override { service_.release_link(link); }

private:
    // `done`, called from the worker or a network thread, run on the strand.
    template <class T>
    std::function<void(T)> on_network(std::function<void(T)> done) const {
        return [poster = poster_, done = std::move(done)](T value) {
            poster.post([done, value = std::move(value)]() mutable { done(std::move(value)); });
        };
    }

    SlotService& service_;
    Poster poster_;
    std::function<void()> beforeLink_;
};

}  // namespace tavlib::gateway
