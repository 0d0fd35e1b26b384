// Names and texts for what the library reports: the result values of each
// exported function and the Win32 error codes it leaves in errorCode.  The
// one table the C++ tools (tavctl, tavril-gateway, tavlib-stress) share;
// the Python module's table (python/tavril/tavril/_codes.py) is checked
// against it by a test.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tavlib::tools {

// The exported functions; each has its own table of results.
enum class Function { Open, Close, Write, Read, Scmd, Conf };

// "Open_Tavril", "Scmd_Tavril", ...
std::string_view function_name(Function function);

// The header's name of a result, e.g. "TAVRIL_SCMD_READ_TIMEOUT" for
// (Scmd, -5).  Empty for a value the function does not return, and for
// Scmd's positive answer codes (those are not failures).
std::optional<std::string_view> result_name(Function function, std::int32_t result);
// What a result means, in a few words, e.g. "read time-out" for (Scmd, -5).
std::optional<std::string_view> result_meaning(Function function, std::int32_t result);

// "TAVRIL_SCMD_READ_TIMEOUT (-5)"; a value without a name gives
// "unknown result (-9)".
std::string describe_result(Function function, std::int32_t result);

// A known Win32 error code: its symbolic name and its system message text.
struct Win32Error {
    std::uint32_t code;
    std::string_view name;
    std::string_view text;
};

// The entry of `code` in the table, if it has one.
std::optional<Win32Error> find_win32_error(std::uint32_t code);

// Every entry of the tables, for a test that compares them with another
// copy: each function's results with their names, and the Win32 codes.
struct ResultEntry {
    Function function;
    std::int32_t value;
    std::string_view name;     // the header's
    std::string_view meaning;  // result_meaning()
};
std::span<const ResultEntry> result_table();
std::span<const Win32Error> win32_table();

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

}  // namespace tavlib::tools
