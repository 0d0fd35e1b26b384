#include "transfer/timed_transfer.h"

#include "platform/win32_errors.h"
#include "tavlib/driver_interface.h"

namespace tavlib::transfer {

namespace {

bool start(TransferContext& context, platform::Handle handle, Direction direction, char* data,
           std::uint32_t count) {
    if (direction == Direction::kWrite)
        return platform::WriteFile(handle, data, count, &context.transferred, &context.record);
    return platform::ReadFile(handle, data, count, &context.transferred, &context.record);
}

bool acceptable(Direction direction, std::uint32_t asked, std::uint32_t moved) {
    if (direction == Direction::kWrite) return moved == asked;
    return moved != 0 && moved <= asked;
}

// Waits until the platform has finished with the request record, the event
// and the data buffer, so that the caller may release them.
void wait_until_finished(TransferContext& context, platform::Handle handle) {
    platform::Word ignored = 0;
    platform::GetOverlappedResult(handle, &context.record, &ignored, true);
}

TransferResult fail(TransferContext& context, platform::Handle handle, std::uint32_t code,
                    std::uint32_t* errorCode) {
    *errorCode = code;
    if (send_recovery_request(handle, &context.recoveryError) != 0)
        *errorCode = context.recoveryError;
    return {Outcome::kFailed, 0};
}

TransferResult time_out(TransferContext& context, platform::Handle handle,
                        std::uint32_t* errorCode) {
    if (!platform::CancelIo(handle)) *errorCode = platform::GetLastError();
    wait_until_finished(context, handle);
    if (send_recovery_request(handle, &context.recoveryError) != 0)
        *errorCode = context.recoveryError;
    return {Outcome::kTimedOut, 0};
}

TransferResult finish(TransferContext& context, platform::Handle handle, Direction direction,
                      std::uint32_t asked, std::uint32_t* errorCode) {
    const std::uint32_t moved = context.transferred;
    if (!acceptable(direction, asked, moved))
        return fail(context, handle, platform::GetLastError(), errorCode);
    return {Outcome::kCompleted, moved};
}

}  // namespace

TransferResult timed_transfer(TransferContext& context, platform::Handle handle,
                              Direction direction, char* data, std::uint32_t count,
                              std::uint32_t* errorCode) {
    const bool finishedAtOnce = start(context, handle, direction, data, count);
    const std::uint32_t startCode = platform::GetLastError();
    // A start that finished at once moved its bytes: judge its count like a
    // completion's rather than discarding a transfer the device has taken.
    if (finishedAtOnce) return finish(context, handle, direction, count, errorCode);
    if (startCode != win32_error::kIoPending) return fail(context, handle, startCode, errorCode);

    const platform::Word waited =
        platform::WaitForSingleObject(context.record.hEvent, context.waitMilliseconds);
    if (waited == platform::kWaitTimeout) return time_out(context, handle, errorCode);

    if (!platform::GetOverlappedResult(handle, &context.record, &context.transferred, false)) {
        const std::uint32_t code = platform::GetLastError();
        // After a failed wait the transfer may still be running: stop it and
        // let it end before the record and buffers can be released.
        if (code == win32_error::kIoIncomplete) {
            platform::CancelIo(handle);
            wait_until_finished(context, handle);
        }
        return fail(context, handle, code, errorCode);
    }
    return finish(context, handle, direction, count, errorCode);
}

std::int32_t send_recovery_request(platform::Handle handle, std::uint32_t* errorWord) {
    platform::Word bytesReturned = 0;
    if (platform::DeviceIoControl(handle, driver::kIoctlRecover, nullptr, 0, nullptr, 0, &bytesReturned,
                                  nullptr))
        return 0;
    *errorWord = platform::GetLastError();
    return -1;
}

}  // namespace tavlib::transfer
