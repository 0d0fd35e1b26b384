#include "connection/device_discovery.h"

#include <cstring>
#include <new>

#include "platform/win32_errors.h"

namespace tavlib::connection {

DeviceInfoSet::DeviceInfoSet(const platform::Guid& classGuid, std::uint32_t* errorWord) noexcept
    : infoSet_(platform::invalid_handle()), classGuid_(classGuid) {
    infoSet_ = platform::SetupDiGetClassDevsA(
        &classGuid_, nullptr, nullptr, platform::kDigcfPresent | platform::kDigcfDeviceInterface);
    *errorWord = platform::is_invalid(infoSet_) ? platform::GetLastError() : 0;
}

DeviceInfoSet::~DeviceInfoSet() {
    if (!platform::is_invalid(infoSet_)) platform::SetupDiDestroyDeviceInfoList(infoSet_);
}

DeviceInterface::DeviceInterface(const DeviceInfoSet& parentSet, std::uint32_t memberIndex,
                                 std::uint32_t* errorWord) noexcept
    : parentSet_(&parentSet) {
    interfaceData_.cbSize = sizeof(platform::DeviceInterfaceData);
    *errorWord = win32_error::kInvalidParameter;
    // The platform calls may raise exceptions (a faulty driver package, an
    // injected fault); none leaves the construction.  The error word then
    // holds the value stored last: 87 before the detail retrieval, 122 in it.
    try {
        discover(memberIndex, errorWord);
    } catch (...) {
    }
}

void DeviceInterface::discover(std::uint32_t memberIndex, std::uint32_t* errorWord) {
    const platform::DevInfo set = parentSet_->infoSet();
    if (!platform::SetupDiEnumDeviceInterfaces(set, nullptr, &parentSet_->classGuid(), memberIndex,
                                               &interfaceData_)) {
        *errorWord = platform::GetLastError();
        return;
    }

    platform::Word requiredSize = 0;
    platform::SetupDiGetDeviceInterfaceDetailA(set, &interfaceData_, nullptr, 0, &requiredSize,
                                               nullptr);
    *errorWord = platform::GetLastError();
    if (*errorWord != win32_error::kInsufficientBuffer) return;

    // The record must at least hold its count and an empty path.
    if (requiredSize < platform::kDetailPathOffset + 1) return;

    try {
        detail_.reset(new (std::nothrow) std::byte[requiredSize]);
    } catch (...) {
        detail_.reset();
    }
    if (!detail_) {
        *errorWord = win32_error::kNotEnoughMemory;
        return;
    }

    std::memcpy(detail_.get(), &platform::kDetailFixedSize, sizeof(platform::Word));
    if (!platform::SetupDiGetDeviceInterfaceDetailA(set, &interfaceData_, detail_.get(),
                                                    requiredSize, &requiredSize, nullptr)) {
        *errorWord = platform::GetLastError();
        detail_.reset();
        return;
    }
    *errorWord = 0;
}

const char* DeviceInterface::devicePath() const noexcept {
    if (!detail_) return nullptr;
    return reinterpret_cast<const char*>(detail_.get() + platform::kDetailPathOffset);
}

}  // namespace tavlib::connection
