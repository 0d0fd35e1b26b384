// Owners for the platform resources that the logic takes per call: an event
// and global-heap scratch memory.  Declare the event first and the memory
// second, and the memory is released first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "platform/platform.h"
#include "platform/win32_errors.h"

namespace tavlib::platform {

// An unnamed event; remembers the creation's error code when it failed.
class Event {
public:
    Event(bool manualReset, bool initialState) noexcept
        : handle_(CreateEventA(nullptr, manualReset, initialState, nullptr)),
          creationError_(handle_ == nullptr ? GetLastError() : 0) {}
    ~Event() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    Word creationError() const noexcept { return creationError_; }

private:
    Handle handle_;
    Word creationError_;
};

// Fixed memory from the global heap.  A size the platform cannot address
// fails like an allocation failure, with ERROR_NOT_ENOUGH_MEMORY as the last
// error, instead of wrapping around to a small buffer.
class GlobalBuffer {
public:
    explicit GlobalBuffer(std::uint64_t bytes) noexcept {
        if (bytes > std::numeric_limits<std::size_t>::max()) {
            SetLastError(win32_error::kNotEnoughMemory);
            return;
        }
        memory_ = static_cast<char*>(GlobalAlloc(kGmemFixed, static_cast<std::size_t>(bytes)));
    }
    ~GlobalBuffer() {
        if (memory_ != nullptr) GlobalFree(memory_);
    }
    GlobalBuffer(const GlobalBuffer&) = delete;
    GlobalBuffer& operator=(const GlobalBuffer&) = delete;

    char* get() const noexcept { return memory_; }
    explicit operator bool() const noexcept { return memory_ != nullptr; }

private:
    char* memory_ = nullptr;
};

}  // namespace tavlib::platform
