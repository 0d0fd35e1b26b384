// Scmd_Tavril: one command/response transaction and its answer code.
#include <cstdint>

#include "api_boundary.h"
#include "api_calls.h"
#include "protocol/answer_codes.h"
#include "tavlib.h"
#include "trace/trace.h"

namespace tavlib::protocol {

namespace {

bool timeout_ok(std::uint32_t seconds) {
    return seconds >= TAVRIL_MIN_TIMEOUT_SECONDS && seconds <= TAVRIL_MAX_TIMEOUT_SECONDS;
}

std::int32_t transact(TavrilHandle handle, const char* command, std::uint32_t maxBytes,
                      std::int32_t mode, std::uint32_t writeTimeoutSeconds,
                      std::uint32_t readTimeoutSeconds, char* response,
                      std::uint32_t* errorCode) {
    *errorCode = 0;
    if ((mode != TAVRIL_MODE_TEXT && mode != TAVRIL_MODE_LINE) || !timeout_ok(writeTimeoutSeconds) ||
        !timeout_ok(readTimeoutSeconds))
        return TAVRIL_SCMD_BAD_ARGUMENT;

    std::uint32_t count = 0;
    std::uint32_t error = 0;
    switch (api::write_tavril(handle, command, writeTimeoutSeconds, &count, &error)) {
        case TAVRIL_WRITE_OK: break;
        case TAVRIL_WRITE_BAD_ARGUMENT: *errorCode = error; return TAVRIL_SCMD_BAD_ARGUMENT;
        case TAVRIL_WRITE_TIMEOUT: *errorCode = error; return TAVRIL_SCMD_WRITE_TIMEOUT;
        default: *errorCode = error; return TAVRIL_SCMD_WRITE_FAILED;
    }
    switch (api::read_tavril(handle, maxBytes, mode, readTimeoutSeconds, response, &count,
                             &error)) {
        case TAVRIL_READ_OK: break;
        case TAVRIL_READ_BAD_ARGUMENT: *errorCode = error; return TAVRIL_SCMD_BAD_ARGUMENT;
        case TAVRIL_READ_TIMEOUT: *errorCode = error; return TAVRIL_SCMD_READ_TIMEOUT;
        default: *errorCode = error; return TAVRIL_SCMD_READ_FAILED;
    }
    return answer_code(response);
}

}  // namespace

}  // namespace tavlib::protocol

std::int32_t tavlib::api::scmd_tavril(TavrilHandle handle, const char* command,
                                      std::uint32_t maxBytes, std::int32_t mode,
                                      std::uint32_t writeTimeoutSeconds,
                                      std::uint32_t readTimeoutSeconds, char* response,
                                      std::uint32_t* errorCode) noexcept {
    return guarded_call(errorCode, TAVRIL_SCMD_WRITE_FAILED, [&] {
        return protocol::transact(handle, command, maxBytes, mode, writeTimeoutSeconds,
                                  readTimeoutSeconds, response, errorCode);
    });
}

extern "C" TAVRIL_API int32_t TAVRIL_CALL Scmd_Tavril(TavrilHandle handle, const char* command,
                                                      uint32_t maxBytes, int32_t mode,
                                                      uint32_t writeTimeoutSeconds,
                                                      uint32_t readTimeoutSeconds, char* response,
                                                      uint32_t* errorCode) {
    if (tavlib::trace::on()) [[unlikely]]
        return tavlib::trace::scmd_tavril(handle, command, maxBytes, mode, writeTimeoutSeconds,
                                          readTimeoutSeconds, response, errorCode);
    return tavlib::api::scmd_tavril(handle, command, maxBytes, mode, writeTimeoutSeconds,
                                    readTimeoutSeconds, response, errorCode);
}
