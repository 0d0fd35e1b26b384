// Win32 error codes that the library and its backends report or test for.
// They are the same numbers on every platform so that callers see the same
// errorCode values everywhere.
#pragma once

#include <cstdint>

namespace tavlib::win32_error {

inline constexpr std::uint32_t kSuccess = 0;
inline constexpr std::uint32_t kInvalidFunction = 1;
inline constexpr std::uint32_t kFileNotFound = 2;
inline constexpr std::uint32_t kAccessDenied = 5;
inline constexpr std::uint32_t kInvalidHandle = 6;
inline constexpr std::uint32_t kNotEnoughMemory = 8;
inline constexpr std::uint32_t kGenFailure = 31;
inline constexpr std::uint32_t kInvalidParameter = 87;
inline constexpr std::uint32_t kInsufficientBuffer = 122;
inline constexpr std::uint32_t kNoMoreItems = 259;
inline constexpr std::uint32_t kOperationAborted = 995;
inline constexpr std::uint32_t kIoIncomplete = 996;
inline constexpr std::uint32_t kIoPending = 997;
inline constexpr std::uint32_t kNoAccess = 998;
inline constexpr std::uint32_t kIoDevice = 1117;
inline constexpr std::uint32_t kNotFound = 1168;
inline constexpr std::uint32_t kDeviceNotConnected = 1167;
inline constexpr std::uint32_t kTimeout = 1460;

}  // namespace tavlib::win32_error
