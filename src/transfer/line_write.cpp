// Write_Tavril: one command line, framed with CR LF, in transfers of at most
// 64 KiB.
#include <cstdint>

#include "api_boundary.h"
#include "api_calls.h"
#include "platform/owners.h"
#include "platform/platform.h"
#include "tavlib.h"
#include "trace/trace.h"
#include "transfer/timed_transfer.h"

namespace tavlib::transfer {

namespace {

bool holds_crlf(const char* text) {
    for (const char* p = text; *p != '\0'; ++p)
        if (p[0] == '\r' && p[1] == '\n') return true;
    return false;
}

std::int32_t result_of(Outcome outcome) {
    return outcome == Outcome::kTimedOut ? TAVRIL_WRITE_TIMEOUT : TAVRIL_WRITE_FAILED;
}

std::int32_t write_line(platform::Handle handle, const char* text, std::uint32_t timeoutSeconds,
                        std::uint32_t* bytesWritten, std::uint32_t* errorCode) {
    *bytesWritten = 0;
    *errorCode = 0;
    TransferContext context(timeoutSeconds);
    if (timeoutSeconds < TAVRIL_MIN_TIMEOUT_SECONDS || timeoutSeconds > TAVRIL_MAX_TIMEOUT_SECONDS)
        return TAVRIL_WRITE_BAD_ARGUMENT;
    if (!context.event) {
        *errorCode = context.event.creationError();
        return TAVRIL_WRITE_FAILED;
    }

    // lstrlenA counts in an int: a text of 2^31 bytes or more comes back
    // wrapped, negative or as a small number that does not end at the
    // text's NUL.  Sizing the buffer from it would overrun the buffer.
    const int counted = platform::lstrlenA(text);
    if (counted < 0 || (text != nullptr && text[counted] != '\0')) {
        *errorCode = TAVRIL_ERROR_TEXT_TOO_LONG;
        return TAVRIL_WRITE_FAILED;
    }
    const auto length = static_cast<std::uint32_t>(counted);
    // Room for the text, an appended CR LF and the NUL.
    platform::GlobalBuffer buffer(std::uint64_t{length} + 3);
    if (!buffer) {
        *errorCode = platform::GetLastError();
        return TAVRIL_WRITE_FAILED;
    }
    // A text that cannot be read (a null pointer among others) fails the
    // copy: nothing has been sent, so no recovery request follows.
    if (platform::lstrcpyA(buffer.get(), text) == nullptr) {
        *errorCode = platform::GetLastError();
        return TAVRIL_WRITE_FAILED;
    }

    // A text that already holds a CR LF pair anywhere goes out unchanged.
    std::uint32_t remaining = length;
    if (!holds_crlf(buffer.get())) {
        if (platform::lstrcatA(buffer.get(), "\r\n") == nullptr) {
            *errorCode = platform::GetLastError();
            return TAVRIL_WRITE_FAILED;
        }
        remaining += 2;
    }

    char* position = buffer.get();
    while (remaining > TAVRIL_MAX_TRANSFER) {
        const TransferResult chunk = timed_transfer(context, handle, Direction::kWrite, position,
                                                    TAVRIL_MAX_TRANSFER, errorCode);
        if (chunk.outcome != Outcome::kCompleted) return result_of(chunk.outcome);
        *bytesWritten += TAVRIL_MAX_TRANSFER;
        position += TAVRIL_MAX_TRANSFER;
        remaining -= TAVRIL_MAX_TRANSFER;
    }
    const TransferResult last =
        timed_transfer(context, handle, Direction::kWrite, position, remaining, errorCode);
    if (last.outcome != Outcome::kCompleted) return result_of(last.outcome);
    *bytesWritten += remaining;
    return TAVRIL_WRITE_OK;
}

}  // namespace

}  // namespace tavlib::transfer

std::int32_t tavlib::api::write_tavril(TavrilHandle handle, const char* text,
                                       std::uint32_t timeoutSeconds, std::uint32_t* bytesWritten,
                                       std::uint32_t* errorCode) noexcept {
    return guarded_call(errorCode, TAVRIL_WRITE_FAILED, [&] {
        return transfer::write_line(handle, text, timeoutSeconds, bytesWritten, errorCode);
    });
}

extern "C" TAVRIL_API int32_t TAVRIL_CALL Write_Tavril(TavrilHandle handle, const char* text,
                                                       uint32_t timeoutSeconds,
                                                       uint32_t* bytesWritten,
                                                       uint32_t* errorCode) {
    if (tavlib::trace::on()) [[unlikely]]
        return tavlib::trace::write_tavril(handle, text, timeoutSeconds, bytesWritten, errorCode);
    return tavlib::api::write_tavril(handle, text, timeoutSeconds, bytesWritten, errorCode);
}
