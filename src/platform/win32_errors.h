// Win32 error codes that the library and its backends report or test for
// (tavlib::win32_error::kNoMoreItems, ...), from the one list in
// tavlib/win32_codes.h.  They are the same numbers on every platform so that
// callers see the same errorCode values everywhere.
#pragma once

#include "tavlib/win32_codes.h"
