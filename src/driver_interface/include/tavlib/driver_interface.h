// What every driver of the instrument and the library agree on, on Windows
// and on Linux alike: the device interface class the driver serves, the
// control code that asks it to recover a connection, and the instrument's
// identity query and the start of its answer.  Dependency-free, so
// that the library's logic, its platform backends, the simulator and the
// tests take these values from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tavlib::driver {

// A GUID in the Win32 layout (16 bytes, no padding), so that it converts to
// the platform's GUID type with std::bit_cast.
struct ClassGuid {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
static_assert(sizeof(ClassGuid) == 16);

// GUID_DEVINTERFACE_TAVRIL, {016A5B0D-4331-4C56-8825-6EC4C870D3CB}.
inline constexpr ClassGuid kInterfaceClass = {
    0x016A5B0D, 0x4331, 0x4C56, {0x88, 0x25, 0x6E, 0xC4, 0xC8, 0x70, 0xD3, 0xCB}};

// IOCTL_TAVRIL_RECOVER: CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED,
// FILE_ANY_ACCESS).  The driver drops the instrument's output that no read
// has taken and any partly received command, then completes the request.
inline constexpr std::uint32_t kIoctlRecover = 0x222000;

// The query every instrument of this kind answers with its identity, and
// the start of that answer (maker and model): the library's handshake reads
// on until a response holds it, the simulator answers with it, and the
// gateway tells an answer's end by it.
inline constexpr char kIdentityQuery[] = "*IDN?";
inline constexpr char kIdentityPrefix[] = "VESPARO,ZQ907";

// The text form of a GUID without braces, lower case, NUL-terminated:
// "016a5b0d-4331-4c56-8825-6ec4c870d3cb".
constexpr std::array<char, 37> guid_text(const ClassGuid& guid) {
    std::array<char, 37> text{};
    std::size_t at = 0;
    const auto hex = [&](std::uint32_t value, int digits) {
        for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
            text[at++] = "0123456789abcdef"[(value >> shift) & 0xF];
    };
    hex(guid.Data1, 8);
    text[at++] = '-';
    hex(guid.Data2, 4);
    text[at++] = '-';
    hex(guid.Data3, 4);
    text[at++] = '-';
    hex(guid.Data4[0], 2);
    hex(guid.Data4[1], 2);
    text[at++] = '-';
    for (std::size_t i = 2; i < 8; ++i) hex(guid.Data4[i], 2);
    return text;
}

// On Linux the interfaces of the class are the sockets in the folder of
// this name inside the runtime directory.
inline constexpr std::array<char, 37> kInterfaceClassText = guid_text(kInterfaceClass);
inline constexpr const char* kInterfaceClassFolder = kInterfaceClassText.data();

}  // namespace tavlib::driver
