// The library calls through which the gateway drives one slot's
// instrument, behind an interface: the gateway makes them through the six
// exported functions (library_calls(), library_calls.cpp), the tests through a fake instrument.
// Results and Win32 codes are the library's own.  One object serves one
// slot, and is called from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "tavlib.h"

namespace tavlib::gateway {

class InstrumentCalls {
public:
    struct Opened {
        std::int32_t result = 0;
        std::uint32_t errorCode = 0;
        InstrumentIdentity identity{};
    };
    virtual ~InstrumentCalls() = default;
    // Open_Tavril of the slot; a handle that was opened but not identified
    // is closed again.  Afterwards is_open() tells whether a handle is held.
    virtual Opened open(std::uint32_t slot) = 0;
    virtual bool is_open() const = 0;
    // Close_Tavril of the handle held (0 and 0 when none).
    virtual std::int32_t close(std::uint32_t& errorCode) = 0;
    virtual std::int32_t write(const char* text, std::uint32_t timeoutSeconds, std::uint32_t& written,
                               std::uint32_t& errorCode) = 0;
    // Read_Tavril in raw mode.
    virtual std::int32_t read(char* buffer, std::uint32_t maxBytes, std::uint32_t timeoutSeconds,
                              std::uint32_t& count, std::uint32_t& errorCode) = 0;
};

// The calls through the library's exported functions.
std::unique_ptr<InstrumentCalls> library_calls();

}  // namespace tavlib::gateway
