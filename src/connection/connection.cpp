// Opening and closing connections: Open_Tavril and Close_Tavril.
#include <cstdint>

#include "api_boundary.h"
#include "api_calls.h"
#include "connection/device_discovery.h"
#include "connection/slot_table.h"
#include "platform/platform.h"
#include "platform/win32_errors.h"
#include "protocol/identification.h"
#include "tavlib.h"
#include "trace/trace.h"

namespace tavlib::connection {

namespace {

constexpr platform::Word kOpenAccess = platform::kGenericRead | platform::kGenericWrite;
constexpr platform::Word kOpenShare = platform::kFileShareRead | platform::kFileShareWrite;
constexpr platform::Word kOpenFlags = platform::kFileAttributeNormal | platform::kFileFlagOverlapped;

std::int32_t open_device(std::uint32_t slot, TavrilHandle* handle, InstrumentIdentity* identity,
                         std::uint32_t* errorCode) {
    *errorCode = 0;
    if (slot >= TAVRIL_SLOT_COUNT) {
        *handle = platform::invalid_handle();
        return TAVRIL_OPEN_BAD_SLOT;
    }

    // The in-use test and the claim run under the table lock, so two opens
    // of one slot never both succeed.  Discovery and the device open happen
    // in between (each bounded in time by the platform layer); the
    // identification runs after the lock is dropped.  Without the lock the
    // table cannot be trusted: the open fails with the lock's reason.
    platform::SlotTableLock lock;
    if (!lock) {
        *handle = platform::invalid_handle();
        *errorCode = lock.error();
        return TAVRIL_OPEN_FAILED;
    }
    SlotTable table(platform::shared_slot_table());
    if (!table.is_free(slot)) return TAVRIL_OPEN_FAILED;

    // Declared in creation order, so every exit releases the interface
    // before the set, and both only after the identification.
    std::uint32_t discoveryError = 0;
    DeviceInfoSet infoSet(kInterfaceClassGuid, &discoveryError);
    if (discoveryError != 0) {
        *handle = platform::invalid_handle();
        *errorCode = discoveryError;
        return TAVRIL_OPEN_FAILED;
    }
    DeviceInterface deviceInterface(infoSet, slot, &discoveryError);
    if (discoveryError != 0) {
        *handle = platform::invalid_handle();
        *errorCode = discoveryError;
        return TAVRIL_OPEN_FAILED;
    }

    const platform::Handle device =
        platform::CreateFileA(deviceInterface.devicePath(), kOpenAccess, kOpenShare, nullptr,
                              platform::kOpenExisting, kOpenFlags, nullptr);
    *handle = device;
    if (platform::is_invalid(device)) {
        *errorCode = platform::GetLastError();
        return TAVRIL_OPEN_FAILED;
    }

    if (!table.claim(slot, platform::GetCurrentProcessId(), device)) {
        // A handle value the table cannot record: the caller could never
        // release the slot, so the device is not kept.
        platform::CloseHandle(device);
        *handle = platform::invalid_handle();
        *errorCode = win32_error::kInvalidHandle;
        return TAVRIL_OPEN_FAILED;
    }
    lock.unlock();

    // Nothing after the claim undoes it: a failed identification leaves the
    // device open and the slot claimed for the caller's Close_Tavril.
    return protocol::identify_instrument(device, identity, errorCode);
}

// The close and the release are one step under the table lock.  Windows
// hands a closed handle's value to the next CreateFile at once; closed
// outside the lock, another thread's open could get the value and claim a
// slot with it before this release runs, and the release would then free
// the new owner's slot instead of this one.
std::int32_t close_device(TavrilHandle handle, std::uint32_t* errorCode) {
    *errorCode = 0;
    if (platform::is_invalid(handle)) return TAVRIL_CLOSE_FAILED;
    platform::SlotTableLock lock;
    if (!lock) {
        *errorCode = lock.error();
        return TAVRIL_CLOSE_FAILED;
    }
    if (!platform::CloseHandle(handle)) {
        *errorCode = platform::GetLastError();
        return TAVRIL_CLOSE_FAILED;
    }
    const std::uint32_t caller = platform::GetCurrentProcessId();
    SlotTable table(platform::shared_slot_table());
    return table.release(handle, caller) ? TAVRIL_CLOSE_OK : TAVRIL_CLOSE_FAILED;
}

}  // namespace

}  // namespace tavlib::connection

std::int32_t tavlib::api::open_tavril(std::uint32_t slot, TavrilHandle* handle,
                                      InstrumentIdentity* identity,
                                      std::uint32_t* errorCode) noexcept {
    return guarded_call(errorCode, TAVRIL_OPEN_FAILED, [&] {
        return connection::open_device(slot, handle, identity, errorCode);
    });
}

std::int32_t tavlib::api::close_tavril(TavrilHandle handle, std::uint32_t* errorCode) noexcept {
    return guarded_call(errorCode, TAVRIL_CLOSE_FAILED,
                        [&] { return connection::close_device(handle, errorCode); });
}

extern "C" {

TAVRIL_API int32_t TAVRIL_CALL Open_Tavril(uint32_t slot, TavrilHandle* handle,
                                           InstrumentIdentity* identity, uint32_t* errorCode) {
    if (tavlib::trace::on()) [[unlikely]]
        return tavlib::trace::open_tavril(slot, handle, identity, errorCode);
    return tavlib::api::open_tavril(slot, handle, identity, errorCode);
}

TAVRIL_API int32_t TAVRIL_CALL Close_Tavril(TavrilHandle handle, uint32_t* errorCode) {
    if (tavlib::trace::on()) [[unlikely]]
        return tavlib::trace::close_tavril(handle, errorCode);
    return tavlib::api::close_tavril(handle, errorCode);
}

}  // extern "C"
