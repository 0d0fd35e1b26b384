// Read_Tavril: one response, received in transfers of at most 64 KiB and
// delivered as text, as its first line, or raw.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "api_boundary.h"
#include "api_calls.h"
#include "platform/owners.h"
#include "platform/platform.h"
#include "tavlib.h"
#include "trace/trace.h"
#include "transfer/line_cut.h"
#include "transfer/timed_transfer.h"

namespace tavlib::transfer {

namespace {

std::int32_t result_of(Outcome outcome) {
    return outcome == Outcome::kTimedOut ? TAVRIL_READ_TIMEOUT : TAVRIL_READ_FAILED;
}

// Receives into `scratch`, adding each transfer's count to *bytesRead as it
// completes.  Below 64 KiB one transfer suffices; from 64 KiB on, full
// transfers follow each other until a short one ends the response.
Outcome receive(TransferContext& context, platform::Handle handle, std::uint32_t maxBytes,
                char* scratch, std::uint32_t* bytesRead, std::uint32_t* errorCode) {
    if (maxBytes < TAVRIL_MAX_TRANSFER) {
        const TransferResult only =
            timed_transfer(context, handle, Direction::kRead, scratch, maxBytes, errorCode);
        if (only.outcome == Outcome::kCompleted) *bytesRead = only.count;
        return only.outcome;
    }
    std::uint32_t left = maxBytes;
    char* position = scratch;
    while (left > 0) {
        const std::uint32_t asked = std::min(TAVRIL_MAX_TRANSFER, left);
        const TransferResult chunk =
            timed_transfer(context, handle, Direction::kRead, position, asked, errorCode);
        if (chunk.outcome != Outcome::kCompleted) return chunk.outcome;
        *bytesRead += chunk.count;
        if (chunk.count < TAVRIL_MAX_TRANSFER) break;
        position += TAVRIL_MAX_TRANSFER;
        left -= TAVRIL_MAX_TRANSFER;
    }
    return Outcome::kCompleted;
}

std::int32_t read_response(platform::Handle handle, std::uint32_t maxBytes, std::int32_t mode,
                           std::uint32_t timeoutSeconds, char* buffer, std::uint32_t* bytesRead,
                           std::uint32_t* errorCode) {
    *bytesRead = 0;
    *errorCode = 0;
    TransferContext context(timeoutSeconds);
    if (mode < TAVRIL_MODE_TEXT || mode > TAVRIL_MODE_RAW ||
        timeoutSeconds < TAVRIL_MIN_TIMEOUT_SECONDS || timeoutSeconds > TAVRIL_MAX_READ_TIMEOUT_SECONDS)
        return TAVRIL_READ_BAD_ARGUMENT;
    if (!context.event) {
        *errorCode = context.event.creationError();
        return TAVRIL_READ_FAILED;
    }

    // Room for the largest response and the NUL of the text modes.
    platform::GlobalBuffer scratch(std::uint64_t{maxBytes} + 1);
    if (!scratch) {
        *errorCode = platform::GetLastError();
        return TAVRIL_READ_FAILED;
    }

    const Outcome outcome = receive(context, handle, maxBytes, scratch.get(), bytesRead, errorCode);
    if (outcome != Outcome::kCompleted) return result_of(outcome);

    if (mode == TAVRIL_MODE_RAW) {
        std::memcpy(buffer, scratch.get(), *bytesRead);
        return TAVRIL_READ_OK;
    }
    scratch.get()[*bytesRead] = '\0';
    // A line end that was cut off is not part of the count; a response
    // without one keeps its full count.
    if (mode == TAVRIL_MODE_LINE) *bytesRead = cut_first_line(scratch.get(), *bytesRead);
    if (platform::lstrcpyA(buffer, scratch.get()) == nullptr) {
        *errorCode = platform::GetLastError();
        return TAVRIL_READ_FAILED;
    }
    return TAVRIL_READ_OK;
}

}  // namespace

}  // namespace tavlib::transfer

std::int32_t tavlib::api::read_tavril(TavrilHandle handle, std::uint32_t maxBytes,
                                      std::int32_t mode, std::uint32_t timeoutSeconds,
                                      char* buffer, std::uint32_t* bytesRead,
                                      std::uint32_t* errorCode) noexcept {
    return guarded_call(errorCode, TAVRIL_READ_FAILED, [&] {
        return transfer::read_response(handle, maxBytes, mode, timeoutSeconds, buffer, bytesRead,
                                       errorCode);
    });
}

extern "C" TAVRIL_API int32_t TAVRIL_CALL Read_Tavril(TavrilHandle handle, uint32_t maxBytes,
                                                      int32_t mode, uint32_t timeoutSeconds,
                                                      char* buffer, uint32_t* bytesRead,
                                                      uint32_t* errorCode) {
    if (tavlib::trace::on()) [[unlikely]]
        return tavlib::trace::read_tavril(handle, maxBytes, mode, timeoutSeconds, buffer,
                                          bytesRead, errorCode);
    return tavlib::api::read_tavril(handle, maxBytes, mode, timeoutSeconds, buffer, bytesRead,
                                    errorCode);
}
