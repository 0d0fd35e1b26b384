// The four device slots shared by every process that loads the library.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace tavlib::connection {

// Operations on the process-shared table.  Callers hold the table lock
// (platform::SlotTableLock) around a test and the write that depends on it.
class SlotTable {
public:
    explicit SlotTable(platform::SlotTable& words) noexcept : words_(words) {}

    // A slot is free exactly when its handle word is all ones; the owner id
    // is never consulted for that.
    bool is_free(std::uint32_t slot) const noexcept;

    // Records the owner first, then the handle.  False, with nothing
    // written, for a handle value wider than the table's handle words (the
    // platform layers never hand one out).
    bool claim(std::uint32_t slot, std::uint32_t ownerProcessId, platform::Handle handle) noexcept;

    // Frees the lowest-numbered slot that records `handle` for `ownerProcessId`
    // (owner id cleared first, then the handle word).  False if none does.
    bool release(platform::Handle handle, std::uint32_t ownerProcessId) noexcept;

private:
    platform::SlotTable& words_;
};

}  // namespace tavlib::connection
