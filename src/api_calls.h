// The library's own calls of its API functions.  Each function here is the
// whole of the exported function of its name, and the library calls these,
// never an exported name.  The exported one forwards to it, through the I/O
// trace (trace/trace.h) when that runs.
//
// On Linux a call through an exported name binds to the first definition
// in the process's global scope.  A program linked with one copy of the
// library that loads another (a plugin host, with dlopen and RTLD_LOCAL)
// would have the loaded copy's Open_Tavril call the linked copy's
// Scmd_Tavril, which does not know the loaded copy's handles.  These names
// are hidden (the logic is built with hidden visibility), so every call to
// them stays inside the copy that makes it, whatever the linker's options.
#pragma once

#include <cstdint>

#include "tavlib.h"

namespace tavlib::api {

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
                         std::uint32_t readTimeoutSeconds, char* response,
                         std::uint32_t* errorCode) noexcept;

std::int32_t conf_tavril(TavrilHandle handle, InstrumentIdentity* identity,
                         std::uint32_t* errorCode) noexcept;

}  // namespace tavlib::api
