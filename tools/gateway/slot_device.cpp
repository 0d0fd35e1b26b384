#include "slot_device.h"

namespace tavlib::gateway {

vxi11::DeviceStatus SlotDevice::write(vxi11::ByteView message, std::uint32_t timeoutSeconds) {
    const std::string text(message.begin(), message.end());
    vxi11::DeviceStatus status{};
    port_.run([&] { status = port_.vxi11_write(text, timeoutSeconds); });
    return status;
}

vxi11::DevicePiece SlotDevice::read(std::size_t, std::optional<std::uint8_t>,
                                    std::uint32_t timeoutSeconds) {
    // The instrument hands out a message in transfers of 64 KiB whatever
    // the client wants; the dispatcher keeps what a read does not take.
    vxi11::DevicePiece piece;
    port_.run([&] { piece = port_.vxi11_read(timeoutSeconds); });
    return piece;
}

vxi11::DeviceStatus SlotDevice::read_status_byte(std::uint8_t& stb, std::uint32_t) {
    // The instrument reports no status byte through the library.
    stb = 0;
    vxi11::DeviceStatus status{};
    port_.run([&] { status = port_.vxi11_available(); });
    return status;
}

vxi11::DeviceStatus SlotDevice::trigger(std::uint32_t timeoutSeconds) {
    // IEEE 488.2's trigger command.
    vxi11::DeviceStatus status{};
    port_.run([&] { status = port_.vxi11_write("*TRG", timeoutSeconds); });
    return status;
}

vxi11::DeviceStatus SlotDevice::clear(std::uint32_t) {
    vxi11::DeviceStatus status{};
    port_.run([&] { status = port_.vxi11_clear(); });
    return status;
}

bool SlotDevice::link_opened() {
    bool opened = false;
    port_.run([&] { opened = port_.vxi11_link(true); });
    return opened;
}

void SlotDevice::link_closed() {
    port_.run([&] { port_.vxi11_link(false); });
}

}  // namespace tavlib::gateway
