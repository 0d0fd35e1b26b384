// What the I/O trace needs of Linux: the environment, thread ids, clocks,
// and an append-only file of whole lines.  errno is left as the caller had
// it: a program that reads it after a library call sees nothing of the
// trace's writes.

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "backend.h"

namespace tavlib::platform {

namespace lb = linux_backend;

namespace {

class SavedErrno {
public:
    SavedErrno() noexcept : value_(errno) {}
    ~SavedErrno() { errno = value_; }
    SavedErrno(const SavedErrno&) = delete;
    SavedErrno& operator=(const SavedErrno&) = delete;

private:
    int value_;
};

std::int64_t microseconds_of(clockid_t clock) noexcept {
    timespec now{};
    ::clock_gettime(clock, &now);
    return std::int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

}  // namespace

Word GetEnvironmentVariableA(const char* name, char* buffer, Word size) {
    const char* value = std::getenv(name);
    if (value == nullptr) return 0;
    const std::size_t length = std::strlen(value);
    if (length >= size) return static_cast<Word>(length + 1);
    std::memcpy(buffer, value, length + 1);
    return static_cast<Word>(length);
}

Word GetCurrentThreadId() {
    SavedErrno saved;
    return static_cast<Word>(::gettid());
}

std::int64_t wall_clock_microseconds() { return microseconds_of(CLOCK_REALTIME); }

std::int64_t monotonic_microseconds() { return microseconds_of(CLOCK_MONOTONIC); }

const char* platform_name() { return sizeof(void*) == 8 ? "linux-x86_64" : "linux-i686"; }

TraceFile open_trace_file(const char* path, Word* error) {
    SavedErrno saved;
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        *error = lb::win32_from_errno(errno);
        return kNoTraceFile;
    }
    return fd;
}

bool append_trace_file(TraceFile file, const void* data, std::size_t size,
                       std::uint64_t* fileSize, Word* error) {
    SavedErrno saved;
    const int fd = static_cast<int>(file);
    ssize_t written = 0;
    do {
        written = ::write(fd, data, size);
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        *error = lb::win32_from_errno(errno);
        return false;
    }
    if (static_cast<std::size_t>(written) != size) {
        *error = lb::kDiskFull;  // what a short write to a file means
        return false;
    }
    // O_APPEND put this write at the end: where it ended is the file's size.
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    *fileSize = end < 0 ? 0 : static_cast<std::uint64_t>(end);
    return true;
}

void close_trace_file(TraceFile file) {
    SavedErrno saved;
    ::close(static_cast<int>(file));
}

void on_fork(void (*prepare)(), void (*resume)()) { ::pthread_atfork(prepare, resume, resume); }

void write_standard_error(const char* text, std::size_t size) {
    SavedErrno saved;
    while (size > 0) {
        const ssize_t written = ::write(STDERR_FILENO, text, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text += written;
        size -= static_cast<std::size_t>(written);
    }
}

}  // namespace tavlib::platform
