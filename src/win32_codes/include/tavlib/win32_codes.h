// Every Win32 error code that the library, its backends and its drivers
// report, with its symbolic name and the system's English message: the one
// list from which the constants below (tavlib::win32_error::kNoMoreItems,
// ...; the library's through src/platform/win32_errors.h) and the tools'
// table of names and texts (tools/common/result_codes.cpp) are made.  In
// ascending order of code.
//
// TAVLIB_WIN32_ERRORS(X) calls X(constant, code, name, text) for each.
#pragma once

#include <cstdint>

// clang-format off
#define TAVLIB_WIN32_ERRORS(X)                                                                    \
    X(kSuccess, 0, "ERROR_SUCCESS", "The operation completed successfully.")                      \
    X(kInvalidFunction, 1, "ERROR_INVALID_FUNCTION", "Incorrect function.")                       \
    X(kFileNotFound, 2, "ERROR_FILE_NOT_FOUND", "The system cannot find the file specified.")     \
    X(kPathNotFound, 3, "ERROR_PATH_NOT_FOUND", "The system cannot find the path specified.")     \
    X(kTooManyOpenFiles, 4, "ERROR_TOO_MANY_OPEN_FILES", "The system cannot open the file.")      \
    X(kAccessDenied, 5, "ERROR_ACCESS_DENIED", "Access is denied.")                               \
    X(kInvalidHandle, 6, "ERROR_INVALID_HANDLE", "The handle is invalid.")                        \
    X(kNotEnoughMemory, 8, "ERROR_NOT_ENOUGH_MEMORY",                                             \
      "Not enough memory resources are available to process this command.")                       \
    X(kInvalidData, 13, "ERROR_INVALID_DATA", "The data is invalid.")                             \
    X(kOutOfMemory, 14, "ERROR_OUTOFMEMORY",                                                      \
      "Not enough memory resources are available to complete this operation.")                    \
    X(kNotReady, 21, "ERROR_NOT_READY", "The device is not ready.")                               \
    X(kGenFailure, 31, "ERROR_GEN_FAILURE", "A device attached to the system is not functioning.") \
    X(kSharingViolation, 32, "ERROR_SHARING_VIOLATION",                                           \
      "The process cannot access the file because it is being used by another process.")          \
    X(kInvalidParameter, 87, "ERROR_INVALID_PARAMETER", "The parameter is incorrect.")            \
    X(kBrokenPipe, 109, "ERROR_BROKEN_PIPE", "The pipe has been ended.")                          \
    X(kDiskFull, 112, "ERROR_DISK_FULL", "There is not enough space on the disk.")                \
    X(kCallNotImplemented, 120, "ERROR_CALL_NOT_IMPLEMENTED",                                     \
      "This function is not supported on this system.")                                           \
    X(kInsufficientBuffer, 122, "ERROR_INSUFFICIENT_BUFFER",                                      \
      "The data area passed to a system call is too small.")                                      \
    X(kFilenameExcedRange, 206, "ERROR_FILENAME_EXCED_RANGE",                                     \
      "The filename or extension is too long.")                                                   \
    X(kNoData, 232, "ERROR_NO_DATA", "The pipe is being closed.")                                 \
    X(kNoMoreItems, 259, "ERROR_NO_MORE_ITEMS", "No more data is available.")                     \
    X(kArithmeticOverflow, 534, "ERROR_ARITHMETIC_OVERFLOW", "Arithmetic result exceeded 32 bits.") \
    X(kOperationAborted, 995, "ERROR_OPERATION_ABORTED",                                          \
      "The I/O operation has been aborted because of either a thread exit or an application "     \
      "request.")                                                                                 \
    X(kIoIncomplete, 996, "ERROR_IO_INCOMPLETE", "Overlapped I/O event is not in a signaled state.") \
    X(kIoPending, 997, "ERROR_IO_PENDING", "Overlapped I/O operation is in progress.")            \
    X(kNoAccess, 998, "ERROR_NOACCESS", "Invalid access to memory location.")                     \
    X(kIoDevice, 1117, "ERROR_IO_DEVICE",                                                         \
      "The request could not be performed because of an I/O device error.")                      \
    X(kDeviceNotConnected, 1167, "ERROR_DEVICE_NOT_CONNECTED", "The device is not connected.")    \
    X(kNotFound, 1168, "ERROR_NOT_FOUND", "Element not found.")                                   \
    X(kNoSystemResources, 1450, "ERROR_NO_SYSTEM_RESOURCES",                                      \
      "Insufficient system resources exist to complete the requested service.")                   \
    X(kTimeout, 1460, "ERROR_TIMEOUT", "This operation returned because the timeout period expired.") \
    X(kInvalidUserBuffer, 1784, "ERROR_INVALID_USER_BUFFER",                                      \
      "The supplied user buffer is not valid for the requested operation.")
// clang-format on

namespace tavlib::win32_error {

#define TAVLIB_WIN32_CONSTANT(constant, code, name, text) inline constexpr std::uint32_t constant = code;
TAVLIB_WIN32_ERRORS(TAVLIB_WIN32_CONSTANT)
#undef TAVLIB_WIN32_CONSTANT

}  // namespace tavlib::win32_error
