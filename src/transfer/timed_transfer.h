// One overlapped write or read of at most 64 KiB, bounded by a time-out and
// followed by a recovery request to the driver when it fails or times out.
#pragma once

#include <cstdint>

#include "platform/owners.h"
#include "platform/platform.h"
#include "tavlib.h"

namespace tavlib::transfer {

// A transfer's wait in milliseconds: even the longest time-out must not
// reach INFINITE.
static_assert(std::uint64_t{TAVRIL_MAX_READ_TIMEOUT_SECONDS} * 1000u < platform::kInfinite);

// The state of one Write_Tavril or Read_Tavril call, shared by all its
// transfers.  The request record is cleared once, on entry: the device has
// no file position, and the platform rewrites the rest at each start.
struct TransferContext {
    explicit TransferContext(std::uint32_t timeoutSeconds) noexcept
        : event(true, false), waitMilliseconds(timeoutSeconds * 1000u) {
        record.hEvent = event.get();
    }

    platform::Event event;
    platform::Overlapped record{};
    platform::Word waitMilliseconds;
    platform::Word transferred = 0;
    platform::Word recoveryError = 0;
};

enum class Direction { kWrite, kRead };

enum class Outcome {
    kCompleted,  // the count passed the acceptance test
    kFailed,     // the failure path ran: errorCode final, recovery request sent
    kTimedOut    // the time-out path ran: errorCode final, recovery request sent
};

struct TransferResult {
    Outcome outcome;
    std::uint32_t count;
};

// Moves `count` bytes (1..TAVRIL_MAX_TRANSFER for a write; the room to fill
// for a read).
// A write must move exactly `count` bytes, a read at least one and no more
// than `count`.
TransferResult timed_transfer(TransferContext& context, platform::Handle handle,
                              Direction direction, char* data, std::uint32_t count,
                              std::uint32_t* errorCode);

// Asks the driver to recover the connection.  0 on success; -1 with the
// platform's code in *errorWord on failure.
std::int32_t send_recovery_request(platform::Handle handle, std::uint32_t* errorWord);

}  // namespace tavlib::transfer
