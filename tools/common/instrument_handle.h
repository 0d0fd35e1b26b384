// The owner of a handle that Open_Tavril gave: it closes the handle, which
// frees its slot, when it goes.  Shared by the C++ tools.
#pragma once

#include <cstdint>
#include <utility>

#include "tavlib.h"

namespace tavlib::tools {

class InstrumentHandle {
public:
    // What Close_Tavril reported (0 and 0 when nothing was open).
    struct Closed {
        std::int32_t result = 0;
        std::uint32_t errorCode = 0;
    };
    // What Open_Tavril reported; after 0 and -2 `handle` owns the handle.
    struct Opened;

    static Opened open(std::uint32_t slot);

    InstrumentHandle() = default;
    InstrumentHandle(InstrumentHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, TAVRIL_INVALID_HANDLE)) {}
    InstrumentHandle& operator=(InstrumentHandle&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, TAVRIL_INVALID_HANDLE);
        }
        return *this;
    }
    InstrumentHandle(const InstrumentHandle&) = delete;
    InstrumentHandle& operator=(const InstrumentHandle&) = delete;
    ~InstrumentHandle() { close(); }

    bool is_open() const { return handle_ != TAVRIL_INVALID_HANDLE; }
    TavrilHandle get() const { return handle_; }

    // Closes the handle now; later calls do nothing.
    Closed close() {
        Closed closed;
        if (is_open())
            closed.result = Close_Tavril(std::exchange(handle_, TAVRIL_INVALID_HANDLE),
                                         &closed.errorCode);
        return closed;
    }

private:
    explicit InstrumentHandle(TavrilHandle handle) : handle_(handle) {}

    TavrilHandle handle_ = TAVRIL_INVALID_HANDLE;
};

struct InstrumentHandle::Opened {
    std::int32_t result = 0;
    std::uint32_t errorCode = 0;
    InstrumentIdentity identity{};
    InstrumentHandle handle;
};

inline InstrumentHandle::Opened InstrumentHandle::open(std::uint32_t slot) {
    Opened opened;
    TavrilHandle handle = TAVRIL_INVALID_HANDLE;
    opened.result = Open_Tavril(slot, &handle, &opened.identity, &opened.errorCode);
    // After 0 and -2 the handle is open and the slot claimed: it is to be closed.
    if ((opened.result == TAVRIL_OPEN_OK || opened.result == TAVRIL_OPEN_NOT_IDENTIFIED) &&
        handle != TAVRIL_INVALID_HANDLE)
        opened.handle = InstrumentHandle(handle);
    return opened;
}

}  // namespace tavlib::tools
