// The Win32 backend: every service of the seam is the real Win32 call.
//
// The seam's records (Guid, DeviceInterfaceData, Overlapped) are declared
// without <windows.h> so that the logic never sees it; here they are checked
// field by field against the Win32 records and passed through as those
// records.  The slot table is a data section of the DLL image that the
// loader maps once for every process that loads the library.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: the device setup and security headers rely on it.
#include <sddl.h>
#include <setupapi.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace tavlib::platform {

// ---- layouts ----------------------------------------------------------------

static_assert(sizeof(Word) == sizeof(DWORD));
static_assert(sizeof(Handle) == sizeof(HANDLE));
static_assert(sizeof(DevInfo) == sizeof(HDEVINFO));

static_assert(sizeof(Guid) == sizeof(GUID) && sizeof(Guid) == 16);
static_assert(offsetof(Guid, Data1) == offsetof(GUID, Data1));
static_assert(offsetof(Guid, Data2) == offsetof(GUID, Data2));
static_assert(offsetof(Guid, Data3) == offsetof(GUID, Data3));
static_assert(offsetof(Guid, Data4) == offsetof(GUID, Data4));

static_assert(sizeof(DeviceInterfaceData) == sizeof(SP_DEVICE_INTERFACE_DATA));
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(offsetof(DeviceInterfaceData, cbSize) == offsetof(SP_DEVICE_INTERFACE_DATA, cbSize));
static_assert(offsetof(DeviceInterfaceData, InterfaceClassGuid) ==
              offsetof(SP_DEVICE_INTERFACE_DATA, InterfaceClassGuid));
static_assert(offsetof(DeviceInterfaceData, Flags) == offsetof(SP_DEVICE_INTERFACE_DATA, Flags));
static_assert(offsetof(DeviceInterfaceData, Reserved) ==
              offsetof(SP_DEVICE_INTERFACE_DATA, Reserved));

static_assert(kDetailPathOffset == offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath));
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
static_assert(sizeof(void*) != 8 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);

static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(Overlapped, Internal) == offsetof(OVERLAPPED, Internal));
static_assert(offsetof(Overlapped, InternalHigh) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(Overlapped, Offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(Overlapped, OffsetHigh) == offsetof(OVERLAPPED, OffsetHigh));
static_assert(offsetof(Overlapped, hEvent) == offsetof(OVERLAPPED, hEvent));
static_assert(kStatusPending == STATUS_PENDING);

static_assert(kDigcfPresent == DIGCF_PRESENT && kDigcfDeviceInterface == DIGCF_DEVICEINTERFACE);
static_assert(kGenericRead == GENERIC_READ && kGenericWrite == GENERIC_WRITE);
static_assert(kFileShareRead == FILE_SHARE_READ && kFileShareWrite == FILE_SHARE_WRITE);
static_assert(kOpenExisting == OPEN_EXISTING);
static_assert(kFileAttributeNormal == FILE_ATTRIBUTE_NORMAL);
static_assert(kFileFlagOverlapped == FILE_FLAG_OVERLAPPED);
static_assert(kWaitObject0 == WAIT_OBJECT_0 && kWaitTimeout == WAIT_TIMEOUT);
static_assert(kWaitFailed == WAIT_FAILED && kInfinite == INFINITE);
static_assert(kGmemFixed == GMEM_FIXED);

// A 32-bit owner id for each slot, then a handle for each: 32 bytes on
// 32-bit Windows.
static_assert(sizeof(SlotTable) == TAVRIL_SLOT_COUNT * (sizeof(Word) + sizeof(HANDLE)));
static_assert(sizeof(void*) != 4 || sizeof(SlotTable) == 32);
static_assert(offsetof(SlotTable, deviceHandle) == 16);

// The record's fixed part: the count and one character on 32-bit Windows.
const Word kDetailFixedSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);

namespace {

const GUID* win(const Guid* guid) noexcept { return reinterpret_cast<const GUID*>(guid); }
SP_DEVICE_INTERFACE_DATA* win(DeviceInterfaceData* data) noexcept {
    return reinterpret_cast<SP_DEVICE_INTERFACE_DATA*>(data);
}
OVERLAPPED* win(Overlapped* request) noexcept { return reinterpret_cast<OVERLAPPED*>(request); }
DWORD* win(Word* word) noexcept { return reinterpret_cast<DWORD*>(word); }
BOOL win(bool value) noexcept { return value ? TRUE : FALSE; }

}  // namespace

// ---- device setup -----------------------------------------------------------

DevInfo SetupDiGetClassDevsA(const Guid* classGuid, const char* enumerator, void* parentWindow,
                             Word flags) {
    return ::SetupDiGetClassDevsA(win(classGuid), enumerator, static_cast<HWND>(parentWindow),
                                  flags);
}

bool SetupDiEnumDeviceInterfaces(DevInfo set, void* deviceInfoData, const Guid* classGuid,
                                 Word memberIndex, DeviceInterfaceData* interfaceData) {
    return ::SetupDiEnumDeviceInterfaces(set, static_cast<SP_DEVINFO_DATA*>(deviceInfoData),
                                         win(classGuid), memberIndex, win(interfaceData)) != FALSE;
}

bool SetupDiGetDeviceInterfaceDetailA(DevInfo set, DeviceInterfaceData* interfaceData,
                                      void* detail, Word detailSize, Word* requiredSize,
                                      void* deviceInfoData) {
    return ::SetupDiGetDeviceInterfaceDetailA(
               set, win(interfaceData), static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail),
               detailSize, win(requiredSize), static_cast<SP_DEVINFO_DATA*>(deviceInfoData)) !=
           FALSE;
}

bool SetupDiDestroyDeviceInfoList(DevInfo set) { return ::SetupDiDestroyDeviceInfoList(set) != FALSE; }

// ---- files, devices, events -------------------------------------------------

Handle CreateFileA(const char* path, Word access, Word shareMode, void* security,
                   Word disposition, Word flagsAndAttributes, Handle templateFile) {
    return ::CreateFileA(path, access, shareMode, static_cast<SECURITY_ATTRIBUTES*>(security),
                         disposition, flagsAndAttributes, templateFile);
}

bool CloseHandle(Handle handle) { return ::CloseHandle(handle) != FALSE; }

bool WriteFile(Handle handle, const void* data, Word count, Word* transferred,
               Overlapped* request) {
    return ::WriteFile(handle, data, count, win(transferred), win(request)) != FALSE;
}

bool ReadFile(Handle handle, void* data, Word count, Word* transferred, Overlapped* request) {
    return ::ReadFile(handle, data, count, win(transferred), win(request)) != FALSE;
}

bool GetOverlappedResult(Handle handle, Overlapped* request, Word* transferred, bool wait) {
    return ::GetOverlappedResult(handle, win(request), win(transferred), win(wait)) != FALSE;
}

bool CancelIo(Handle handle) { return ::CancelIo(handle) != FALSE; }

namespace {

// An unnamed manual-reset event, closed with its owner.
class OwnEvent {
public:
    OwnEvent() noexcept : handle_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~OwnEvent() {
        if (handle_ != nullptr) ::CloseHandle(handle_);
    }
    OwnEvent(const OwnEvent&) = delete;
    OwnEvent& operator=(const OwnEvent&) = delete;
    HANDLE get() const noexcept { return handle_; }

private:
    HANDLE handle_;
};

}  // namespace

bool DeviceIoControl(Handle handle, Word controlCode, void* in, Word inSize, void* out,
                     Word outSize, Word* bytesReturned, Overlapped* request) {
    if (request != nullptr)
        return ::DeviceIoControl(handle, controlCode, in, inSize, out, outSize,
                                 win(bytesReturned), win(request)) != FALSE;
    // A synchronous request.  The device handle is opened for overlapped
    // I/O, and on such a handle a request without an OVERLAPPED fails in
    // unpredictable ways when the driver pends it.  So it goes out with a
    // record and an event of its own, and the call waits for it: the caller
    // sees the outcome a synchronous call would give.
    const OwnEvent event;
    if (event.get() == nullptr) return false;
    OVERLAPPED record{};
    record.hEvent = event.get();
    DWORD returned = 0;
    BOOL done = ::DeviceIoControl(handle, controlCode, in, inSize, out, outSize, &returned, &record);
    if (done == FALSE && ::GetLastError() == ERROR_IO_PENDING)
        done = ::GetOverlappedResult(handle, &record, &returned, TRUE);
    // Closing the event must not disturb the request's own last error.
    const DWORD code = done != FALSE ? ERROR_SUCCESS : ::GetLastError();
    if (bytesReturned != nullptr) *bytesReturned = returned;
    ::SetLastError(code);
    return done != FALSE;
}

Handle CreateEventA(void* security, bool manualReset, bool initialState, const char* name) {
    return ::CreateEventA(static_cast<SECURITY_ATTRIBUTES*>(security), win(manualReset),
                          win(initialState), name);
}

Word WaitForSingleObject(Handle handle, Word milliseconds) {
    return ::WaitForSingleObject(handle, milliseconds);
}

// ---- process, errors, memory, text ------------------------------------------

Word GetCurrentProcessId() { return ::GetCurrentProcessId(); }
Word GetLastError() { return ::GetLastError(); }
void SetLastError(Word code) { ::SetLastError(code); }
void* GlobalAlloc(Word flags, std::size_t bytes) { return ::GlobalAlloc(flags, bytes); }
void* GlobalFree(void* memory) { return ::GlobalFree(memory); }
int lstrlenA(const char* text) { return ::lstrlenA(text); }
char* lstrcpyA(char* destination, const char* source) { return ::lstrcpyA(destination, source); }
char* lstrcatA(char* destination, const char* source) { return ::lstrcatA(destination, source); }

// ---- what the I/O trace needs ------------------------------------------------

Word GetEnvironmentVariableA(const char* name, char* buffer, Word size) {
    return ::GetEnvironmentVariableA(name, buffer, size);
}

Word GetCurrentThreadId() { return ::GetCurrentThreadId(); }

std::int64_t wall_clock_microseconds() {
    // 100 ns units since 1601-01-01; 1970-01-01 is 11644473600 s later.
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t ticks = std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10) - std::int64_t{11644473600} * 1000000;
}

std::int64_t monotonic_microseconds() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER count{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&count);
    if (frequency.QuadPart <= 0) return 0;
    // In two parts, so that a count of many days does not overflow.
    return count.QuadPart / frequency.QuadPart * 1000000 +
           count.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

const char* platform_name() { return sizeof(void*) == 8 ? "windows-x86_64" : "windows-i686"; }

namespace {

// A security descriptor whose DACL grants all access to the process's user
// alone and inherits nothing: the Windows form of mode 0600.
class OwnerOnlyDescriptor {
public:
    OwnerOnlyDescriptor() noexcept {
        HANDLE token = nullptr;
        if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) == FALSE) return;
        alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD size = 0;
        char* sid = nullptr;
        if (::GetTokenInformation(token, TokenUser, user, sizeof user, &size) != FALSE &&
            ::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid) != FALSE) {
            char sddl[256];
            if (::lstrlenA(sid) < 200) {
                ::lstrcpyA(sddl, "D:P(A;;FA;;;");
                ::lstrcatA(sddl, sid);
                ::lstrcatA(sddl, ")");
                if (::ConvertStringSecurityDescriptorToSecurityDescriptorA(
                        sddl, SDDL_REVISION_1, &descriptor_, nullptr) == FALSE)
                    descriptor_ = nullptr;
            }
            ::LocalFree(sid);
        }
        ::CloseHandle(token);
    }
    ~OwnerOnlyDescriptor() {
        if (descriptor_ != nullptr) ::LocalFree(descriptor_);
    }
    OwnerOnlyDescriptor(const OwnerOnlyDescriptor&) = delete;
    OwnerOnlyDescriptor& operator=(const OwnerOnlyDescriptor&) = delete;

    PSECURITY_DESCRIPTOR get() const noexcept { return descriptor_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

}  // namespace

TraceFile open_trace_file(const char* path, Word* error) {
    OwnerOnlyDescriptor descriptor;
    if (descriptor.get() == nullptr) {
        *error = ::GetLastError();
        return kNoTraceFile;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
    // Append access only: every write goes to the end of the file, as one
    // piece, whoever else appends.  The attributes right lets the size be
    // read; sharing lets other processes append to the same file.
    HANDLE file = ::CreateFileA(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &attributes,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = ::GetLastError();
        return kNoTraceFile;
    }
    return reinterpret_cast<TraceFile>(file);
}

bool append_trace_file(TraceFile file, const void* data, std::size_t size,
                       std::uint64_t* fileSize, Word* error) {
    HANDLE handle = reinterpret_cast<HANDLE>(file);
    if (size > MAXDWORD) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    DWORD written = 0;
    if (::WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr) == FALSE) {
        *error = ::GetLastError();
        return false;
    }
    if (written != size) {
        *error = ERROR_DISK_FULL;
        return false;
    }
    LARGE_INTEGER end{};
    *fileSize = ::GetFileSizeEx(handle, &end) != FALSE ? static_cast<std::uint64_t>(end.QuadPart) : 0;
    return true;
}

void close_trace_file(TraceFile file) { ::CloseHandle(reinterpret_cast<HANDLE>(file)); }

void on_fork(void (*)(), void (*)()) {}

void write_standard_error(const char* text, std::size_t size) {
    HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(error, text, static_cast<DWORD>(size), &written, nullptr);
}

// ---- the process-shared slot table ------------------------------------------

namespace {

constexpr std::uintptr_t kFreeHandleWord = ~std::uintptr_t{0};

// The loader maps one copy of this section for every process that loads the
// DLL (flags: initialised data, read, write, shared) and takes its first
// content from the image: every slot free.  No code initialises it.  The
// explicit alignment keeps the compiler from padding the object, and so the
// section, beyond the table's own size.
static_assert(TAVRIL_SLOT_COUNT == 4, "the initial content below lists four slots");
alignas(SlotTable) SlotTable sharedSlotTable __attribute__((section(".MY_DATA"), shared)) = {
    {0, 0, 0, 0}, {kFreeHandleWord, kFreeHandleWord, kFreeHandleWord, kFreeHandleWord}};

// The lock is a named mutex in the global namespace, since the section is
// shared by the processes of every session.  Any user may wait on it and
// release it, so a process of one user never finds it created by another
// and out of reach.  If it cannot be had there, the session-local namespace
// serves.  If no mutex can be had at all, opens and closes fail: the table
// is never used without the lock.
constexpr const char* kGlobalMutexName = "Global\\tavlib-slot-table";
constexpr const char* kLocalMutexName = "Local\\tavlib-slot-table";
constexpr const char* kMutexAccessForEveryone =
    "D:(A;;0x00100001;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)";  // SYNCHRONIZE|MUTEX_MODIFY_STATE

class SecurityDescriptor {
public:
    SecurityDescriptor() noexcept {
        if (::ConvertStringSecurityDescriptorToSecurityDescriptorA(
                kMutexAccessForEveryone, SDDL_REVISION_1, &descriptor_, nullptr) == FALSE) {
            descriptor_ = nullptr;
        }
    }
    ~SecurityDescriptor() {
        if (descriptor_ != nullptr) {
            ::LocalFree(descriptor_);
        }
    }
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;

    PSECURITY_DESCRIPTOR get() const noexcept { return descriptor_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

HANDLE create_slot_table_mutex() noexcept {
    constexpr DWORD kAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;
    SecurityDescriptor descriptor;
    if (descriptor.get() != nullptr) {
        SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
        HANDLE mutex = ::CreateMutexExA(&attributes, kGlobalMutexName, 0, kAccess);
        if (mutex != nullptr) {
            return mutex;
        }
    }
    return ::CreateMutexExA(nullptr, kLocalMutexName, 0, kAccess);
}

// Holds this process's handle of the mutex, created by the first lock and
// closed when the DLL is unloaded.
class SlotTableMutex {
public:
    constexpr SlotTableMutex() noexcept = default;
    ~SlotTableMutex() {
        if (HANDLE mutex = handle_.load(std::memory_order_acquire); mutex != nullptr) {
            ::CloseHandle(mutex);
        }
    }
    SlotTableMutex(const SlotTableMutex&) = delete;
    SlotTableMutex& operator=(const SlotTableMutex&) = delete;

    // The mutex, or null if it cannot be created.  Threads that race on the
    // first use each create a handle; one is kept and the others closed.
    HANDLE get() noexcept {
        if (HANDLE mutex = handle_.load(std::memory_order_acquire); mutex != nullptr) {
            return mutex;
        }
        HANDLE created = create_slot_table_mutex();
        if (created == nullptr) {
            return nullptr;
        }
        HANDLE expected = nullptr;
        if (handle_.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
            return created;
        }
        ::CloseHandle(created);
        return expected;
    }

private:
    std::atomic<HANDLE> handle_{nullptr};
};

SlotTableMutex slotTableMutex;

// A lock that is taken is invisible to the caller's error reporting: it
// leaves the thread's last error as it found it.
class PreservedLastError {
public:
    PreservedLastError() noexcept : code_(::GetLastError()) {}
    ~PreservedLastError() {
        if (!dismissed_) ::SetLastError(code_);
    }
    PreservedLastError(const PreservedLastError&) = delete;
    PreservedLastError& operator=(const PreservedLastError&) = delete;

    // Keeps the last error that is current at destruction instead.
    void dismiss() noexcept { dismissed_ = true; }

private:
    DWORD code_;
    bool dismissed_ = false;
};

}  // namespace

SlotTable& shared_slot_table() { return sharedSlotTable; }

bool lock_slot_table() {
    PreservedLastError preserved;
    HANDLE mutex = slotTableMutex.get();
    if (mutex == nullptr) {
        preserved.dismiss();  // the creation's code tells why
        return false;
    }
    // WAIT_ABANDONED also hands over ownership: the kernel released the
    // mutex of a holder that died.  Only a slot's handle word decides
    // whether it is free, and each word is written whole, so a holder that
    // died between its two writes left the slot free or claimed, never half
    // of each.
    if (::WaitForSingleObject(mutex, INFINITE) == WAIT_FAILED) {
        preserved.dismiss();
        return false;
    }
    return true;
}

void unlock_slot_table() {
    PreservedLastError preserved;
    if (HANDLE mutex = slotTableMutex.get(); mutex != nullptr) {
        ::ReleaseMutex(mutex);
    }
}

}  // namespace tavlib::platform
