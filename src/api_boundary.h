// The boundary between the exported C functions and the C++ core: nothing
// is thrown across it.  The core reports through results and error words;
// should a platform call still raise an exception, the caller gets
// `failure` and a Win32 code instead.
#pragma once

#include <cstdint>
#include <new>

#include "platform/win32_errors.h"

namespace tavlib {

template <typename Body>
std::int32_t guarded_call(std::uint32_t* errorCode, std::int32_t failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        *errorCode = win32_error::kNotEnoughMemory;
    } catch (...) {
        *errorCode = win32_error::kGenFailure;
    }
    return failure;
}

}  // namespace tavlib
