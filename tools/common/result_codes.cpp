#include "result_codes.h"

#include <array>
#include <string>

#include "tavlib.h"
#include "tavlib/win32_codes.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace tavlib::tools {
namespace {

// Every non-zero result of the header's tables.  Scmd's answer codes are
// results too, but they report the instrument's answer, not a failure.
constexpr std::array kResultNames{
    ResultEntry{Function::Open, TAVRIL_OPEN_OK, "TAVRIL_OPEN_OK", "opened"},
    ResultEntry{Function::Open, TAVRIL_OPEN_FAILED, "TAVRIL_OPEN_FAILED",
                "in use, absent or not openable"},
    ResultEntry{Function::Open, TAVRIL_OPEN_NOT_IDENTIFIED, "TAVRIL_OPEN_NOT_IDENTIFIED",
                "not identified"},
    ResultEntry{Function::Open, TAVRIL_OPEN_BAD_SLOT, "TAVRIL_OPEN_BAD_SLOT", "bad slot"},
    ResultEntry{Function::Close, TAVRIL_CLOSE_OK, "TAVRIL_CLOSE_OK", "closed"},
    ResultEntry{Function::Close, TAVRIL_CLOSE_FAILED, "TAVRIL_CLOSE_FAILED", "failed"},
    ResultEntry{Function::Write, TAVRIL_WRITE_OK, "TAVRIL_WRITE_OK", "written"},
    ResultEntry{Function::Write, TAVRIL_WRITE_FAILED, "TAVRIL_WRITE_FAILED", "failed"},
    ResultEntry{Function::Write, TAVRIL_WRITE_BAD_ARGUMENT, "TAVRIL_WRITE_BAD_ARGUMENT",
                "bad argument"},
    ResultEntry{Function::Write, TAVRIL_WRITE_TIMEOUT, "TAVRIL_WRITE_TIMEOUT", "time-out"},
    ResultEntry{Function::Read, TAVRIL_READ_OK, "TAVRIL_READ_OK", "read"},
    ResultEntry{Function::Read, TAVRIL_READ_FAILED, "TAVRIL_READ_FAILED", "failed"},
    ResultEntry{Function::Read, TAVRIL_READ_BAD_ARGUMENT, "TAVRIL_READ_BAD_ARGUMENT",
                "bad argument"},
    ResultEntry{Function::Read, TAVRIL_READ_TIMEOUT, "TAVRIL_READ_TIMEOUT", "time-out"},
    ResultEntry{Function::Scmd, TAVRIL_SCMD_OK, "TAVRIL_SCMD_OK", "answered"},
    ResultEntry{Function::Scmd, TAVRIL_SCMD_WRITE_FAILED, "TAVRIL_SCMD_WRITE_FAILED",
                "write failed"},
    ResultEntry{Function::Scmd, TAVRIL_SCMD_READ_FAILED, "TAVRIL_SCMD_READ_FAILED", "read failed"},
    ResultEntry{Function::Scmd, TAVRIL_SCMD_BAD_ARGUMENT, "TAVRIL_SCMD_BAD_ARGUMENT",
                "bad argument"},
    ResultEntry{Function::Scmd, TAVRIL_SCMD_WRITE_TIMEOUT, "TAVRIL_SCMD_WRITE_TIMEOUT",
                "write time-out"},
    ResultEntry{Function::Scmd, TAVRIL_SCMD_READ_TIMEOUT, "TAVRIL_SCMD_READ_TIMEOUT",
                "read time-out"},
    ResultEntry{Function::Conf, TAVRIL_CONF_OK, "TAVRIL_CONF_OK", "identified"},
    ResultEntry{Function::Conf, TAVRIL_CONF_FAILED, "TAVRIL_CONF_FAILED", "failed"},
};

// The codes the library and its platform layers report, with the system's
// English message text, in ascending order of code: the one list.
constexpr std::array kWin32Errors{
#define TAVLIB_WIN32_ENTRY(constant, code, name, text) Win32Error{code, name, text},
    TAVLIB_WIN32_ERRORS(TAVLIB_WIN32_ENTRY)
#undef TAVLIB_WIN32_ENTRY
};

#ifdef _WIN32
// The system's own message for `code`, without its trailing line end.
std::string system_message(std::uint32_t code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) return {};
    std::string message(text, length);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' '))
        message.pop_back();
    return message;
}
#endif

}  // namespace

std::span<const ResultEntry> result_table() { return kResultNames; }
std::span<const Win32Error> win32_table() { return kWin32Errors; }

std::string_view function_name(Function function) {
    switch (function) {
        case Function::Open: return "Open_Tavril";
        case Function::Close: return "Close_Tavril";
        case Function::Write: return "Write_Tavril";
        case Function::Read: return "Read_Tavril";
        case Function::Scmd: return "Scmd_Tavril";
        case Function::Conf: return "Conf_Tavril";
    }
    return "?";
}

std::optional<std::string_view> result_name(Function function, std::int32_t result) {
    for (const ResultEntry& entry : kResultNames)
        if (entry.function == function && entry.value == result) return entry.name;
    return std::nullopt;
}

std::optional<std::string_view> result_meaning(Function function, std::int32_t result) {
    for (const ResultEntry& entry : kResultNames)
        if (entry.function == function && entry.value == result) return entry.meaning;
    return std::nullopt;
}

std::string describe_result(Function function, std::int32_t result) {
    const auto name = result_name(function, result);
    std::string text(name ? *name : std::string_view("unknown result"));
    text.append(" (").append(std::to_string(result)).append(")");
    return text;
}

std::optional<Win32Error> find_win32_error(std::uint32_t code) {
    for (const Win32Error& entry : kWin32Errors)
        if (entry.code == code) return entry;
    return std::nullopt;
}

std::string describe_error(std::uint32_t code) {
    // Built with append(): GCC 12 warns falsely (-Wrestrict) on chained
    // operator+ of std::string temporaries at -O2.
    std::string text = std::to_string(code);
    const auto known = find_win32_error(code);
    if (known) text.append(" ").append(known->name);
#ifdef _WIN32
    const std::string message = system_message(code);
    if (!message.empty()) {
        text.append(known ? ": " : " ").append(message);
        return text;
    }
#endif
    if (known) text.append(": ").append(known->text);
    return text;
}

std::string describe_failure(Function function, std::int32_t result, std::uint32_t errorCode) {
    std::string text(function_name(function));
    text.append(": ").append(describe_result(function, result));
    text.append("; errorCode ").append(describe_error(errorCode));
    return text;
}

std::string_view open_state(std::int32_t result, std::uint32_t errorCode) {
    switch (result) {
        case TAVRIL_OPEN_OK: return "ready";
        case TAVRIL_OPEN_NOT_IDENTIFIED: return "not identified";
        case TAVRIL_OPEN_BAD_SLOT: return "bad slot";
        case TAVRIL_OPEN_FAILED:
            if (errorCode == 0) return "in use";
            if (errorCode == 259) return "no device";
            return "open failed";
        default: return "open failed";
    }
}

}  // namespace tavlib::tools
