// The identity handshake inside Open_Tavril, SplitIdentity and Conf_Tavril.
#include "protocol/identification.h"

#include <cstring>

#include "api_boundary.h"
#include "api_calls.h"
#include "platform/owners.h"
#include "platform/win32_errors.h"
#include "tavlib/driver_interface.h"
#include "trace/trace.h"

namespace tavlib::protocol {

namespace {

using driver::kIdentityPrefix;
using driver::kIdentityQuery;

// The handshake reads responses of up to 100000 bytes; its scratch area
// also holds the NUL behind the largest one.
constexpr std::uint32_t kHandshakeMaxBytes = 100000;
constexpr std::uint32_t kHandshakeQueryTimeout = 30;
constexpr std::uint32_t kHandshakeReadAgainTimeout = 1;
// Further reads after the query before the instrument is given up on.
constexpr int kHandshakeReadAgainLimit = 10;

constexpr std::uint32_t kConfMaxBytes = 50;
constexpr std::uint32_t kConfTimeout = 30;

void fill_identity(InstrumentIdentity* identity, char* response) noexcept {
    char model[kFieldSize];
    char serial[kFieldSize];
    char firmware[kFieldSize];
    SplitIdentity(model, serial, firmware, response);
    copy_field(identity->model, model);
    copy_field(identity->serialNumber, serial);
    copy_field(identity->firmwareVersion, firmware);
}

std::int32_t confirm_identity(TavrilHandle handle, InstrumentIdentity* identity,
                              std::uint32_t* errorCode) {
    if (platform::is_invalid(handle)) return TAVRIL_CONF_FAILED;
    char response[kConfMaxBytes + 1];
    std::uint32_t error = 0;
    const std::int32_t result =
        api::scmd_tavril(handle, kIdentityQuery, kConfMaxBytes, TAVRIL_MODE_LINE, kConfTimeout,
                         kConfTimeout, response, &error);
    if (result != TAVRIL_SCMD_OK) {
        *errorCode = error;
        return TAVRIL_CONF_FAILED;
    }
    trace::note_identity_line(response);
    fill_identity(identity, response);
    *errorCode = 0;
    return TAVRIL_CONF_OK;
}

}  // namespace

std::int32_t identify_instrument(TavrilHandle handle, InstrumentIdentity* identity,
                                 std::uint32_t* errorCode) {
    platform::GlobalBuffer scratch(std::uint64_t{kHandshakeMaxBytes} + 1);
    if (!scratch) {
        *errorCode = platform::GetLastError();
        return TAVRIL_OPEN_NOT_IDENTIFIED;
    }
    // Only text that a read delivered is ever searched for the prefix.
    char* text = scratch.get();
    text[0] = '\0';

    std::uint32_t error = 0;
    switch (api::scmd_tavril(handle, kIdentityQuery, kHandshakeMaxBytes, TAVRIL_MODE_LINE,
                             kHandshakeQueryTimeout, kHandshakeQueryTimeout, text, &error)) {
        case TAVRIL_SCMD_WRITE_FAILED:
        case TAVRIL_SCMD_READ_FAILED:
        case TAVRIL_SCMD_BAD_ARGUMENT: *errorCode = error; return TAVRIL_OPEN_NOT_IDENTIFIED;
        default: break;  // answer codes and time-outs go on to the prefix search
    }

    // Output left from before (or a slow instrument) is read past, one line
    // per read, until a line names the instrument.
    int readsAgain = 0;
    while (std::strstr(text, kIdentityPrefix) == nullptr) {
        if (readsAgain == kHandshakeReadAgainLimit) {
            *errorCode = win32_error::kTimeout;
            return TAVRIL_OPEN_NOT_IDENTIFIED;
        }
        std::uint32_t count = 0;
        api::read_tavril(handle, kHandshakeMaxBytes, TAVRIL_MODE_LINE, kHandshakeReadAgainTimeout,
                         text, &count, &error);
        ++readsAgain;
    }

    trace::note_identity_line(text);
    fill_identity(identity, text);
    return TAVRIL_OPEN_OK;
}

}  // namespace tavlib::protocol

std::int32_t tavlib::api::conf_tavril(TavrilHandle handle, InstrumentIdentity* identity,
                                      std::uint32_t* errorCode) noexcept {
    return guarded_call(errorCode, TAVRIL_CONF_FAILED,
                        [&] { return protocol::confirm_identity(handle, identity, errorCode); });
}

extern "C" TAVRIL_API int32_t TAVRIL_CALL Conf_Tavril(TavrilHandle handle,
                                                      InstrumentIdentity* identity,
                                                      uint32_t* errorCode) {
    if (tavlib::trace::on()) [[unlikely]]
        return tavlib::trace::conf_tavril(handle, identity, errorCode);
    return tavlib::api::conf_tavril(handle, identity, errorCode);
}
