// Win32 error codes that the library and its backends report or test for,
// as constants (kNoMoreItems, ...) made from the one list in
// tavlib/win32_codes.h.  They are the same numbers on every platform so
// that callers see the same errorCode values everywhere.
#pragma once

#include <cstdint>

#include "tavlib/win32_codes.h"

namespace tavlib::win32_error {

#define TAVLIB_WIN32_CONSTANT(constant, code, name, text) inline constexpr std::uint32_t constant = code;
TAVLIB_WIN32_ERRORS(TAVLIB_WIN32_CONSTANT)
#undef TAVLIB_WIN32_CONSTANT

}  // namespace tavlib::win32_error
