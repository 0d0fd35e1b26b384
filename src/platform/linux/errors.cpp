// The thread's last error, and the Win32 code that stands for an errno
// value: every code the Linux backend reports is a Win32 code.

#include <cerrno>

#include "backend.h"
#include "platform/win32_errors.h"

namespace tavlib::platform {

namespace linux_backend {

namespace {

namespace err = win32_error;

thread_local Word t_lastError = 0;

// Each Win32 code and the errno values that stand for it.
struct ErrnoGroup {
    Word code;
    int errors[7];  // unused places are 0, which no errno value is
};
constexpr ErrnoGroup kErrnoGroups[] = {
    {err::kFileNotFound, {ENOENT, ENOTDIR, ECONNREFUSED, ENXIO, ELOOP, EPROTOTYPE, ENOTSOCK}},
    {err::kAccessDenied, {EACCES, EPERM, EROFS}},
    {err::kInvalidHandle, {EBADF}},
    {err::kNotEnoughMemory, {ENOMEM, ENOBUFS}},
    {kTooManyOpenFiles, {EMFILE, ENFILE}},
    {err::kInvalidParameter, {EINVAL, EMSGSIZE}},
    {kFilenameExcedRange, {ENAMETOOLONG}},
    {kDiskFull, {ENOSPC}},
    {err::kDeviceNotConnected, {EPIPE, ECONNRESET, ECONNABORTED, ENOTCONN, ESHUTDOWN}},
    {err::kIoDevice, {EIO}},
    {err::kTimeout, {ETIMEDOUT}},
};

}  // namespace

void set_last_error(Word code) noexcept { t_lastError = code; }

Word win32_from_errno(int error) noexcept {
    if (error == 0) return err::kSuccess;
    for (const ErrnoGroup& group : kErrnoGroups)
        for (const int e : group.errors)
            if (e == error) return group.code;
    return err::kGenFailure;
}

}  // namespace linux_backend

Word GetLastError() { return linux_backend::t_lastError; }

void SetLastError(Word code) { linux_backend::set_last_error(code); }

}  // namespace tavlib::platform
