// A slot's instrument as a VXI-11 device: each call runs on the slot's
// port thread, which owns the instrument (port_vxi11.cpp), and the VXI-11
// thread waits for it.
#pragma once

#include "port.h"
#include "vxi11/vxi11.h"

namespace tavlib::gateway {

class SlotDevice final : public vxi11::Device {
public:
    explicit SlotDevice(Port& port) : port_(port) {}

    vxi11::DeviceStatus write(vxi11::ByteView message, std::uint32_t timeoutSeconds) override;
    vxi11::DevicePiece read(std::size_t wanted, std::optional<std::uint8_t> termChar,
                            std::uint32_t timeoutSeconds) override;
    vxi11::DeviceStatus read_status_byte(std::uint8_t& stb, std::uint32_t timeoutSeconds) override;
    vxi11::DeviceStatus trigger(std::uint32_t timeoutSeconds) override;
    vxi11::DeviceStatus clear(std::uint32_t timeoutSeconds) override;
    bool link_opened() override;
    void link_closed() override;

private:
    Port& port_;
};

}  // namespace tavlib::gateway
