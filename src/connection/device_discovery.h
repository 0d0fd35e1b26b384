// Discovery of a slot's device path through the platform's device-setup
// services.  Both classes live only inside one Open_Tavril call; they report
// failure through an error word (0 on success) and never throw.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>

#include "platform/platform.h"
#include "tavlib/driver_interface.h"

namespace tavlib::connection {

// The device interface class that the instrument's driver serves.
inline constexpr platform::Guid kInterfaceClassGuid =
    std::bit_cast<platform::Guid>(driver::kInterfaceClass);

// Owns one device information set of present interfaces of a class.
class DeviceInfoSet {
public:
    DeviceInfoSet(const platform::Guid& classGuid, std::uint32_t* errorWord) noexcept;
    ~DeviceInfoSet();
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;

    platform::DevInfo infoSet() const noexcept { return infoSet_; }
    const platform::Guid& classGuid() const noexcept { return classGuid_; }

private:
    platform::DevInfo infoSet_;
    platform::Guid classGuid_;
};

// One enumerated interface of a DeviceInfoSet and its detail record, which
// holds the device path.  The set must outlive the interface.
class DeviceInterface {
public:
    DeviceInterface(const DeviceInfoSet& parentSet, std::uint32_t memberIndex,
                    std::uint32_t* errorWord) noexcept;
    ~DeviceInterface() = default;
    DeviceInterface(const DeviceInterface&) = delete;
    DeviceInterface& operator=(const DeviceInterface&) = delete;

    // The NUL-terminated device path, or null when there is no detail.
    const char* devicePath() const noexcept;

private:
    void discover(std::uint32_t memberIndex, std::uint32_t* errorWord);

    const DeviceInfoSet* parentSet_;
    platform::DeviceInterfaceData interfaceData_{};
    std::unique_ptr<std::byte[]> detail_;
};

}  // namespace tavlib::connection
