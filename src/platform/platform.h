// The seam between the library's logic and the operating system.
//
// The logic (connection, transfer, protocol) sees Win32-shaped services and
// nothing else.  Exactly one backend defines every function declared here,
// chosen at link time:
//   win32/  the real Win32 calls;
//   linux/  a user-space driver reached over Unix sockets;
//   fake/   scripted outcomes and resource counts for unit tests.
//
// The functions keep the Win32 semantics the logic relies on: BOOL-like
// results, a thread-local last error read with GetLastError right after a
// call, overlapped transfers signalled through an event in the request
// record.  Every error code is a Win32 error code on every backend.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tavlib.h"

namespace tavlib::platform {

using Handle = void*;      // HANDLE
using DevInfo = void*;     // HDEVINFO
using Word = std::uint32_t;  // DWORD

// All bits set: INVALID_HANDLE_VALUE and the "no device list" HDEVINFO.
inline Handle invalid_handle() noexcept { return reinterpret_cast<Handle>(~std::uintptr_t{0}); }
inline bool is_invalid(Handle h) noexcept { return h == invalid_handle(); }

struct Guid {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

// SP_DEVICE_INTERFACE_DATA: 28 bytes on 32-bit builds, 32 on 64-bit ones.
struct DeviceInterfaceData {
    Word cbSize;
    Guid InterfaceClassGuid;
    Word Flags;
    std::uintptr_t Reserved;
};

// SP_DEVICE_INTERFACE_DETAIL_DATA_A: a 32-bit cbSize, then the device path
// text, which starts 4 bytes into the record.
inline constexpr std::size_t kDetailPathOffset = 4;
// The value cbSize must hold: the record's fixed size on the target (5 on
// 32-bit Windows, 8 on 64-bit Windows).  Defined by each backend.
extern const Word kDetailFixedSize;

// OVERLAPPED.  Internal holds the request's status while and after it runs
// (kStatusPending while it runs), InternalHigh the bytes moved.
struct Overlapped {
    std::uintptr_t Internal;
    std::uintptr_t InternalHigh;
    Word Offset;
    Word OffsetHigh;
    Handle hEvent;
};
inline constexpr std::uintptr_t kStatusPending = 0x103;

// Flags and values the logic passes.
inline constexpr Word kDigcfPresent = 0x02;
inline constexpr Word kDigcfDeviceInterface = 0x10;
inline constexpr Word kGenericRead = 0x80000000u;
inline constexpr Word kGenericWrite = 0x40000000u;
inline constexpr Word kFileShareRead = 0x1;
inline constexpr Word kFileShareWrite = 0x2;
inline constexpr Word kOpenExisting = 3;
inline constexpr Word kFileAttributeNormal = 0x80;
inline constexpr Word kFileFlagOverlapped = 0x40000000u;
inline constexpr Word kWaitObject0 = 0;
inline constexpr Word kWaitTimeout = 258;
inline constexpr Word kWaitFailed = 0xFFFFFFFFu;
inline constexpr Word kInfinite = 0xFFFFFFFFu;
inline constexpr Word kGmemFixed = 0;

// Linux: the longest a call waits for a driver beyond its own time-out (the
// cancel and the recovery request together), for a start the driver does
// not take, and for a driver to take a connection (TAVRIL_DRIVER_GRACE_MS).
// A driver there is a user process that can stop or hang; the Windows kernel
// completes a cancelled request by itself and needs no such bound.
inline constexpr Word kDriverGraceMilliseconds = TAVRIL_DRIVER_GRACE_MS;

// ---- device setup -------------------------------------------------------
DevInfo SetupDiGetClassDevsA(const Guid* classGuid, const char* enumerator, void* parentWindow,
                             Word flags);
bool SetupDiEnumDeviceInterfaces(DevInfo set, void* deviceInfoData, const Guid* classGuid,
                                 Word memberIndex, DeviceInterfaceData* interfaceData);
bool SetupDiGetDeviceInterfaceDetailA(DevInfo set, DeviceInterfaceData* interfaceData,
                                      void* detail, Word detailSize, Word* requiredSize,
                                      void* deviceInfoData);
bool SetupDiDestroyDeviceInfoList(DevInfo set);

// ---- files, devices, events ---------------------------------------------
Handle CreateFileA(const char* path, Word access, Word shareMode, void* security,
                   Word disposition, Word flagsAndAttributes, Handle templateFile);
bool CloseHandle(Handle handle);
bool WriteFile(Handle handle, const void* data, Word count, Word* transferred,
               Overlapped* request);
bool ReadFile(Handle handle, void* data, Word count, Word* transferred, Overlapped* request);
bool GetOverlappedResult(Handle handle, Overlapped* request, Word* transferred, bool wait);
bool CancelIo(Handle handle);
bool DeviceIoControl(Handle handle, Word controlCode, void* in, Word inSize, void* out,
                     Word outSize, Word* bytesReturned, Overlapped* request);
// Returns a null handle on failure (as Win32 does).
Handle CreateEventA(void* security, bool manualReset, bool initialState, const char* name);
Word WaitForSingleObject(Handle handle, Word milliseconds);

// ---- process, errors, memory, text --------------------------------------
Word GetCurrentProcessId();
Word GetLastError();
void SetLastError(Word code);
void* GlobalAlloc(Word flags, std::size_t bytes);
void* GlobalFree(void* memory);  // null on success
int lstrlenA(const char* text);
char* lstrcpyA(char* destination, const char* source);  // null on failure
char* lstrcatA(char* destination, const char* source);  // null on failure

// ---- what the I/O trace needs (src/trace/) ----------------------------------
// None of these is on a call's path unless TAVRIL_TRACE is set.  On Windows
// they may change the thread's last error; the trace keeps it as the call
// left it.  On Linux they leave errno and the last error alone.

// The value of an environment variable, as Win32 answers: its length
// (without the NUL) when it fits in `size` bytes, else the size it needs
// (with the NUL); 0 when it is not set.
Word GetEnvironmentVariableA(const char* name, char* buffer, Word size);
Word GetCurrentThreadId();
// The wall clock, UTC: microseconds since 1970-01-01 00:00.
std::int64_t wall_clock_microseconds();
// A monotonic clock, in microseconds from an origin of its own.
std::int64_t monotonic_microseconds();
// The platform and width as the trace names them: "linux-x86_64",
// "linux-i686", "windows-x86_64", "windows-i686".
const char* platform_name();

// A file the trace only appends to.
using TraceFile = std::intptr_t;
inline constexpr TraceFile kNoTraceFile = -1;
// Opens `path` for appending, creating it readable and writable by its
// owner only (0600; on Windows a DACL that grants the owner alone).  On
// failure kNoTraceFile, with the Win32 code in *error.
TraceFile open_trace_file(const char* path, Word* error);
// Appends `size` bytes with one write at the end of the file, whatever other
// threads and processes append (O_APPEND; FILE_APPEND_DATA).  True when every
// byte went out; *fileSize is then the file's size after the write, or 0 if
// it cannot be told.  False with the Win32 code in *error otherwise.
bool append_trace_file(TraceFile file, const void* data, std::size_t size,
                       std::uint64_t* fileSize, Word* error);
void close_trace_file(TraceFile file);
// Writes a message to the process's standard error, if it has one.
void write_standard_error(const char* text, std::size_t size);
// Has `prepare` run before the process forks and `resume` after it, in the
// parent and in the child, so that a lock another thread holds is not copied
// held into a child where no thread will ever release it (pthread_atfork;
// Windows has no fork, and nothing is registered).
void on_fork(void (*prepare)(), void (*resume)());

// ---- the process-shared slot table ---------------------------------------
// An owner process id for each slot, then a device handle word for each.  A slot is free
// when its handle word is all ones.  On Windows a handle word is a HANDLE
// (32 bytes in all on 32-bit Windows).  On Linux it is 32 bits wide for
// 32- and 64-bit processes alike, so that both share one layout: the Linux
// backend's handle values always fit in 32 bits.
#ifdef _WIN32
using SlotHandleWord = std::uintptr_t;
#else
using SlotHandleWord = std::uint32_t;
#endif
struct SlotTable {
    Word ownerProcessId[TAVRIL_SLOT_COUNT];
    SlotHandleWord deviceHandle[TAVRIL_SLOT_COUNT];
};

// The table that every process loading the library shares.  Valid only
// while the table lock is held.
SlotTable& shared_slot_table();

// A lock shared by every thread and process that shares the table.  The
// kernel (or the Win32 mutex's abandonment) releases it if its holder dies.
// False, with the reason as the last error, when the lock (or the table
// behind it) cannot be had: callers then must not touch the table.
bool lock_slot_table();
void unlock_slot_table();

// Holds the table lock from construction until unlock() or destruction.
// Test it before use: a lock that could not be taken holds nothing.
class SlotTableLock {
public:
    SlotTableLock() : held_(lock_slot_table()), error_(held_ ? 0 : GetLastError()) {}
    ~SlotTableLock() { unlock(); }
    SlotTableLock(const SlotTableLock&) = delete;
    SlotTableLock& operator=(const SlotTableLock&) = delete;

    explicit operator bool() const noexcept { return held_; }
    // Why the lock could not be taken (a Win32 code).
    Word error() const noexcept { return error_; }

    void unlock() {
        if (held_) unlock_slot_table();
        held_ = false;
    }

private:
    bool held_;
    Word error_;
};

}  // namespace tavlib::platform
