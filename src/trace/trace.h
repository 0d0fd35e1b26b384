// The I/O trace (docs/TRACE.md).  When TAVRIL_TRACE names a file as the
// library loads, every call of the six exported functions appends one
// record to it: when, how long, which process, thread, slot and handle, the
// arguments, the result, errorCode, and the bytes written and read.
//
// Each exported function tests on() once.  When it is off that test is all
// the trace costs; when it is on the function calls the matching one here,
// which times the call and writes the record after it.
// The trace never changes what a call returns, leaves in its out-parameters
// or in the thread's last error.
#pragma once

#include <atomic>
#include <cstdint>

#include "tavlib.h"

namespace tavlib::trace {

// Set at load when TAVRIL_TRACE names a file; cleared when the trace stops.
extern std::atomic<bool> g_running;

inline bool on() noexcept { return g_running.load(std::memory_order_relaxed); }

// The exported functions while the trace runs: each runs the function's
// whole (tavlib::api) between two clock readings and appends its record.
std::int32_t open_tavril(std::uint32_t slot, TavrilHandle* handle, InstrumentIdentity* identity,
                         std::uint32_t* errorCode) noexcept;
std::int32_t close_tavril(TavrilHandle handle, std::uint32_t* errorCode) noexcept;
std::int32_t write_tavril(TavrilHandle handle, const char* text, std::uint32_t timeoutSeconds,
                          std::uint32_t* bytesWritten, std::uint32_t* errorCode) noexcept;
std::int32_t read_tavril(TavrilHandle handle, std::uint32_t maxBytes, std::int32_t mode,
                         std::uint32_t timeoutSeconds, char* buffer, std::uint32_t* bytesRead,
                         std::uint32_t* errorCode) noexcept;
std::int32_t scmd_tavril(TavrilHandle handle, const char* command, std::uint32_t maxBytes,
                         std::int32_t mode, std::uint32_t writeTimeoutSeconds,
                         std::uint32_t readTimeoutSeconds, char* response, std::uint32_t* errorCode) noexcept;
std::int32_t conf_tavril(TavrilHandle handle, InstrumentIdentity* identity,
                         std::uint32_t* errorCode) noexcept;

// The response line that named the instrument (the identity handshake of
// Open_Tavril, and Conf_Tavril's), for the record of the traced call under
// way on this thread.
void keep_identity_line(const char* text) noexcept;
inline void note_identity_line(const char* text) noexcept {
    if (on()) [[unlikely]]
        keep_identity_line(text);
}

// Reads TAVRIL_TRACE, TAVRIL_TRACE_DATA and TAVRIL_TRACE_MAX and starts the
// trace when the first names a file.  Runs once as the library loads; the
// unit tests run it again after each change of the fake environment.
void start_from_environment();
// Ends the trace and closes its file (the unit tests, between tests).
void stop();

}  // namespace tavlib::trace
