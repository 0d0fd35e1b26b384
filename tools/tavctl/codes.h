// Names and texts for what the library reports: the result values of each
// exported function and the Win32 error codes it leaves in errorCode.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavctl {

// The exported functions; each has its own table of results.
enum class Function { Open, Close, Write, Read, Scmd, Conf };

// "Open_Tavril", "Scmd_Tavril", ...
std::string_view function_name(Function function);

// The header's name of a result, e.g. "TAVRIL_SCMD_READ_TIMEOUT" for
// (Scmd, -5).  Empty for a value the function does not return, and for
// Scmd's positive answer codes (those are not failures).
std::optional<std::string_view> result_name(Function function, std::int32_t result);

// "TAVRIL_SCMD_READ_TIMEOUT (-5)"; a value without a name gives
// "unknown result (-9)".
std::string describe_result(Function function, std::int32_t result);

// A known Win32 error code: its symbolic name and its system message text.
struct Win32Error {
    std::uint32_t code;
    std::string_view name;
    std::string_view text;
};

// The entry of `code` in the tool's table, if it has one.
std::optional<Win32Error> find_win32_error(std::uint32_t code);

// "259 ERROR_NO_MORE_ITEMS: No more data is available."; a code outside the
// table gives just its number (on Windows the system's message is used when
// it has one).
std::string describe_error(std::uint32_t code);

// One line for a failed call: "Scmd_Tavril: TAVRIL_SCMD_READ_TIMEOUT (-5);
// errorCode 0 ERROR_SUCCESS: The operation completed successfully."
std::string describe_failure(Function function, std::int32_t result, std::uint32_t errorCode);

// What an Open_Tavril outcome means for the slot: "ready", "no device",
// "in use", "not identified", "bad slot" or "open failed".
std::string_view open_state(std::int32_t result, std::uint32_t errorCode);

}  // namespace tavctl
