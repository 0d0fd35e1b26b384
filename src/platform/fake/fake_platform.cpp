#include "platform/fake/fake_platform.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "platform/win32_errors.h"

namespace tavlib::fake {

namespace {

State g_state;
thread_local platform::Word t_lastError = 0;

constexpr std::uintptr_t kFirstDevice = 0x1000;
constexpr std::uintptr_t kFirstEvent = 0x8000;
const platform::DevInfo kInfoSet = reinterpret_cast<platform::DevInfo>(std::uintptr_t{0x5000});
std::uintptr_t g_nextDevice = kFirstDevice;
std::uintptr_t g_nextEvent = kFirstEvent;
std::vector<platform::Handle> g_closedDevices;

// Read by calls on many threads at once (the trace's clocks and thread ids).
std::atomic<std::int64_t> g_wallClock{kDefaultWallClock};
std::atomic<std::int64_t> g_monotonicClock{0};
std::atomic<std::int64_t> g_monotonicStep{0};
std::atomic<std::uint32_t> g_nextThreadId{kFirstThreadId};
// The trace's open files: value -> path.  Used under the trace's own lock.
std::map<platform::TraceFile, std::string> g_traceFiles;
platform::TraceFile g_nextTraceFile = 3;

// Applies an injected failure or exception for `call`.  True when the call
// must fail (last error already set).
bool injected(const std::string& call) {
    if (auto t = g_state.throwNext.find(call); t != g_state.throwNext.end()) {
        g_state.throwNext.erase(t);
        g_state.log.push_back(call + " threw");
        throw std::runtime_error("injected fault in " + call);
    }
    if (auto f = g_state.failNext.find(call); f != g_state.failNext.end()) {
        t_lastError = f->second;
        g_state.failNext.erase(f);
        return true;
    }
    return false;
}

bool holds(const std::vector<platform::Handle>& handles, platform::Handle h) {
    return std::find(handles.begin(), handles.end(), h) != handles.end();
}

bool forget(std::vector<platform::Handle>& handles, platform::Handle h) {
    auto it = std::find(handles.begin(), handles.end(), h);
    if (it == handles.end()) return false;
    handles.erase(it);
    return true;
}

// The next step for a transfer: scripted, or the device model (writes are
// taken whole; reads deliver the next queued response, up to the room asked
// for; with nothing queued the wait times out).
TransferStep next_step(bool isRead, std::uint32_t asked) {
    if (!g_state.transfers.empty()) {
        TransferStep step = g_state.transfers.front();
        g_state.transfers.pop_front();
        return step;
    }
    TransferStep step;
    if (!isRead) return step;
    if (g_state.responses.empty()) {
        step.wait = platform::kWaitTimeout;
        return step;
    }
    std::string& front = g_state.responses.front();
    step.data = front.substr(0, asked);
    front.erase(0, step.data.size());
    if (front.empty()) g_state.responses.pop_front();
    return step;
}

std::uint32_t moved_by(const TransferStep& step, bool isRead, std::uint32_t asked) {
    if (step.count) return *step.count;
    return isRead ? static_cast<std::uint32_t>(step.data.size()) : asked;
}

void deliver(const TransferStep& step, char* data, std::uint32_t asked) {
    std::memcpy(data, step.data.data(), std::min<std::size_t>(step.data.size(), asked));
}

bool start_transfer(platform::Handle handle, char* data, std::uint32_t count,
                    platform::Word* transferred, platform::Overlapped* request, bool isRead) {
    g_state.log.push_back(std::string(isRead ? "ReadFile " : "WriteFile ") + std::to_string(count));
    if (isRead)
        g_state.readSizes.push_back(count);
    else
        g_state.written.emplace_back(data, count);
    if (!holds(g_state.openDevices, handle)) {
        t_lastError = win32_error::kInvalidHandle;
        return false;
    }
    if (request == nullptr || request->hEvent == nullptr) {
        t_lastError = win32_error::kInvalidParameter;
        return false;
    }
    TransferStep step = next_step(isRead, count);
    switch (step.start) {
        case TransferStep::Start::kFails:
            t_lastError = step.startError;
            return false;
        case TransferStep::Start::kAtOnce:
            if (isRead) deliver(step, data, count);
            *transferred = moved_by(step, isRead, count);
            t_lastError = step.startError;
            return true;
        case TransferStep::Start::kPending:
            break;
    }
    g_state.active = step;
    g_state.activeData = data;
    g_state.activeCount = count;
    g_state.activeIsRead = isRead;
    t_lastError = win32_error::kIoPending;
    return false;
}

}  // namespace

State& state() { return g_state; }

void reset() {
    g_state = State{};
    for (auto& id : g_state.slots.ownerProcessId) id = 0;
    for (auto& h : g_state.slots.deviceHandle) h = ~platform::SlotHandleWord{0};
    g_nextDevice = kFirstDevice;
    g_nextEvent = kFirstEvent;
    g_closedDevices.clear();
    t_lastError = 0;
    environment().clear();
    set_clocks(kDefaultWallClock, 0, 0);
    g_traceFiles.clear();
}

std::map<std::string, std::string>& environment() {
    // Constructed on first use: the trace reads it while the library loads,
    // before this file's other objects may exist.
    static std::map<std::string, std::string> variables;
    return variables;
}

void set_clocks(std::int64_t wall, std::int64_t monotonic, std::int64_t step) {
    g_wallClock = wall;
    g_monotonicClock = monotonic;
    g_monotonicStep = step;
}

void when_lock_free(std::function<void()> call) {
    if (g_state.slotLockHeld)
        g_state.waitingForLock.push_back(std::move(call));
    else
        call();
}

int log_index(const std::string& prefix, int nth) {
    for (std::size_t i = 0; i < g_state.log.size(); ++i)
        if (g_state.log[i].rfind(prefix, 0) == 0 && nth-- == 0) return static_cast<int>(i);
    return -1;
}

int log_count(const std::string& prefix) {
    return static_cast<int>(std::count_if(g_state.log.begin(), g_state.log.end(),
                                          [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }));
}

}  // namespace tavlib::fake

namespace tavlib::platform {

using fake::g_state;
using fake::injected;
using fake::t_lastError;

const Word kDetailFixedSize = 5;

DevInfo SetupDiGetClassDevsA(const Guid*, const char*, void*, Word flags) {
    g_state.log.push_back("SetupDiGetClassDevsA " + std::to_string(flags));
    if (injected("SetupDiGetClassDevsA")) return invalid_handle();
    ++g_state.infoSetsCreated;
    return fake::kInfoSet;
}

bool SetupDiEnumDeviceInterfaces(DevInfo set, void*, const Guid*, Word memberIndex,
                                 DeviceInterfaceData* interfaceData) {
    g_state.log.push_back("SetupDiEnumDeviceInterfaces " + std::to_string(memberIndex));
    if (injected("SetupDiEnumDeviceInterfaces")) return false;
    if (set != fake::kInfoSet || interfaceData->cbSize != sizeof(DeviceInterfaceData)) {
        t_lastError = win32_error::kInvalidParameter;
        return false;
    }
    if (memberIndex >= g_state.devices.size()) {
        t_lastError = win32_error::kNoMoreItems;
        return false;
    }
    interfaceData->Reserved = memberIndex;
    return true;
}

bool SetupDiGetDeviceInterfaceDetailA(DevInfo, DeviceInterfaceData* interfaceData, void* detail,
                                      Word detailSize, Word* requiredSize, void*) {
    const std::string& path = g_state.devices.at(interfaceData->Reserved);
    const Word needed = static_cast<Word>(kDetailPathOffset + path.size() + 1);
    if (detail == nullptr) {
        g_state.log.push_back("SetupDiGetDeviceInterfaceDetailA size");
        if (injected("DetailSizeQuery")) return false;
        *requiredSize = needed;
        t_lastError = win32_error::kInsufficientBuffer;
        return false;
    }
    g_state.log.push_back("SetupDiGetDeviceInterfaceDetailA detail " + std::to_string(detailSize));
    if (injected("DetailRetrieval")) return false;
    Word cbSize = 0;
    std::memcpy(&cbSize, detail, sizeof cbSize);
    if (cbSize != kDetailFixedSize || detailSize < needed) {
        t_lastError = win32_error::kInvalidParameter;
        return false;
    }
    std::memcpy(static_cast<char*>(detail) + kDetailPathOffset, path.c_str(), path.size() + 1);
    return true;
}

bool SetupDiDestroyDeviceInfoList(DevInfo) {
    g_state.log.push_back("SetupDiDestroyDeviceInfoList");
    ++g_state.infoSetsDestroyed;
    return true;
}

Handle CreateFileA(const char* path, Word access, Word shareMode, void*, Word disposition,
                   Word flags, Handle) {
    g_state.log.push_back("CreateFileA " + std::string(path ? path : "(null)") + " " +
                          std::to_string(access) + " " + std::to_string(shareMode) + " " +
                          std::to_string(disposition) + " " + std::to_string(flags));
    if (injected("CreateFileA")) return invalid_handle();
    if (path == nullptr ||
        std::find(g_state.devices.begin(), g_state.devices.end(), path) == g_state.devices.end()) {
        t_lastError = win32_error::kFileNotFound;
        return invalid_handle();
    }
    Handle h = nullptr;
    if (g_state.reuseClosedHandles && !fake::g_closedDevices.empty()) {
        h = fake::g_closedDevices.back();
        fake::g_closedDevices.pop_back();
    } else {
        h = reinterpret_cast<Handle>(fake::g_nextDevice);
        fake::g_nextDevice += 4;
    }
    g_state.openDevices.push_back(h);
    ++g_state.devicesOpened;
    return h;
}

bool CloseHandle(Handle handle) {
    if (fake::forget(g_state.openEvents, handle)) {
        g_state.log.push_back("CloseHandle event");
        ++g_state.eventsClosed;
        return true;
    }
    g_state.log.push_back("CloseHandle device");
    if (injected("CloseHandle")) return false;
    if (!fake::forget(g_state.openDevices, handle)) {
        t_lastError = win32_error::kInvalidHandle;
        return false;
    }
    ++g_state.devicesClosed;
    fake::g_closedDevices.push_back(handle);
    if (g_state.onDeviceClosed) {
        const auto hook = std::exchange(g_state.onDeviceClosed, nullptr);
        hook();
    }
    return true;
}

bool WriteFile(Handle handle, const void* data, Word count, Word* transferred,
               Overlapped* request) {
    return fake::start_transfer(handle, static_cast<char*>(const_cast<void*>(data)), count,
                                transferred, request, false);
}

bool ReadFile(Handle handle, void* data, Word count, Word* transferred, Overlapped* request) {
    return fake::start_transfer(handle, static_cast<char*>(data), count, transferred, request,
                                true);
}

bool GetOverlappedResult(Handle, Overlapped*, Word* transferred, bool wait) {
    g_state.log.push_back(wait ? "GetOverlappedResult wait" : "GetOverlappedResult");
    if (!g_state.active) {
        t_lastError = win32_error::kInvalidParameter;
        return false;
    }
    const fake::TransferStep step = *g_state.active;
    if (wait) {
        // The transfer has ended (cancelled or finished); the fake keeps no
        // more of it.
        g_state.active.reset();
        t_lastError = win32_error::kOperationAborted;
        return false;
    }
    if (!step.completes) {
        t_lastError = step.completionError;
        if (step.completionError != win32_error::kIoIncomplete) g_state.active.reset();
        return false;
    }
    if (g_state.activeIsRead) fake::deliver(step, g_state.activeData, g_state.activeCount);
    *transferred = fake::moved_by(step, g_state.activeIsRead, g_state.activeCount);
    t_lastError = step.lastErrorAfterCompletion;
    g_state.active.reset();
    return true;
}

bool CancelIo(Handle) {
    g_state.log.push_back("CancelIo");
    return !injected("CancelIo");
}

bool DeviceIoControl(Handle, Word controlCode, void* in, Word inSize, void* out, Word outSize,
                     Word* bytesReturned, Overlapped* request) {
    g_state.log.push_back("DeviceIoControl " + std::to_string(controlCode) + " " +
                          std::to_string(in != nullptr) + std::to_string(inSize) +
                          std::to_string(out != nullptr) + std::to_string(outSize) +
                          std::to_string(request != nullptr));
    ++g_state.recoveryRequests;
    if (injected("DeviceIoControl")) return false;
    *bytesReturned = 0;
    return true;
}

Handle CreateEventA(void* security, bool manualReset, bool initialState, const char* name) {
    g_state.log.push_back(std::string("CreateEventA ") + (security ? "sa" : "-") + " " +
                          std::to_string(manualReset) + " " + std::to_string(initialState) + " " +
                          (name ? name : "-"));
    if (injected("CreateEventA")) return nullptr;
    auto h = reinterpret_cast<Handle>(fake::g_nextEvent);
    fake::g_nextEvent += 4;
    g_state.openEvents.push_back(h);
    ++g_state.eventsCreated;
    return h;
}

Word WaitForSingleObject(Handle handle, Word milliseconds) {
    g_state.log.push_back("WaitForSingleObject " + std::to_string(milliseconds));
    if (!fake::holds(g_state.openEvents, handle) || !g_state.active) {
        t_lastError = win32_error::kInvalidHandle;
        return kWaitFailed;
    }
    if (g_state.active->wait == kWaitFailed) t_lastError = g_state.active->waitError;
    return g_state.active->wait;
}

Word GetCurrentProcessId() { return g_state.processId; }
Word GetLastError() { return t_lastError; }
void SetLastError(Word code) { t_lastError = code; }

void* GlobalAlloc(Word flags, std::size_t bytes) {
    g_state.log.push_back("GlobalAlloc " + std::to_string(bytes));
    g_state.allocSizes.push_back(bytes);
    if (injected("GlobalAlloc") || flags != kGmemFixed || bytes > g_state.globalAllocLimit) {
        if (flags != kGmemFixed || bytes > g_state.globalAllocLimit)
            t_lastError = win32_error::kNotEnoughMemory;
        g_state.log.back() += " failed";
        return nullptr;
    }
    ++g_state.buffersAllocated;
    // Fixed memory is not cleared: let tests leave stale text in it.
    void* memory = std::malloc(bytes == 0 ? 1 : bytes);
    if (memory != nullptr && !g_state.staleMemory.empty())
        std::memcpy(memory, g_state.staleMemory.c_str(),
                    std::min(bytes, g_state.staleMemory.size() + 1));
    return memory;
}

void* GlobalFree(void* memory) {
    g_state.log.push_back("GlobalFree");
    ++g_state.buffersFreed;
    std::free(memory);
    return nullptr;
}

int lstrlenA(const char* text) {
    if (g_state.lstrlenResult) return *g_state.lstrlenResult;
    return text ? static_cast<int>(std::strlen(text)) : 0;
}

// Like Windows, the copies fail with ERROR_NOACCESS on memory they cannot
// read or write (here: a null pointer).
char* lstrcpyA(char* destination, const char* source) {
    if (injected("lstrcpyA")) return nullptr;
    if (destination == nullptr || source == nullptr) {
        t_lastError = win32_error::kNoAccess;
        return nullptr;
    }
    return std::strcpy(destination, source);
}

char* lstrcatA(char* destination, const char* source) {
    if (injected("lstrcatA")) return nullptr;
    if (destination == nullptr || source == nullptr) {
        t_lastError = win32_error::kNoAccess;
        return nullptr;
    }
    return std::strcat(destination, source);
}

// ---- what the I/O trace needs ------------------------------------------------
// Like Win32 calls, the file functions leave a last error of their own
// behind, success or not: the trace must restore the caller's.

Word GetEnvironmentVariableA(const char* name, char* buffer, Word size) {
    const auto& variables = fake::environment();
    const auto found = variables.find(name);
    if (found == variables.end()) return 0;
    const std::string& value = found->second;
    if (value.size() >= size) return static_cast<Word>(value.size() + 1);
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    return static_cast<Word>(value.size());
}

Word GetCurrentThreadId() {
    thread_local const Word id = fake::g_nextThreadId++;
    return id;
}

std::int64_t wall_clock_microseconds() { return fake::g_wallClock; }

std::int64_t monotonic_microseconds() {
    return fake::g_monotonicClock.fetch_add(fake::g_monotonicStep);
}

const char* platform_name() { return "fake"; }

TraceFile open_trace_file(const char* path, Word* error) {
    t_lastError = win32_error::kAccessDenied;
    if (g_state.traceOpenError) {
        *error = *g_state.traceOpenError;
        return kNoTraceFile;
    }
    ++g_state.fileOpens[path];
    g_state.files[path];  // created
    const TraceFile file = fake::g_nextTraceFile++;
    fake::g_traceFiles[file] = path;
    return file;
}

bool append_trace_file(TraceFile file, const void* data, std::size_t size,
                       std::uint64_t* fileSize, Word* error) {
    t_lastError = win32_error::kIoDevice;
    const auto open = fake::g_traceFiles.find(file);
    if (open == fake::g_traceFiles.end()) {
        *error = win32_error::kInvalidHandle;
        return false;
    }
    if (auto& left = g_state.traceWritesBeforeFailure; left && (*left)-- <= 0) {
        *error = g_state.traceWriteError;
        return false;
    }
    std::string& content = g_state.files[open->second];
    content.append(static_cast<const char*>(data), size);
    *fileSize = content.size();
    return true;
}

void close_trace_file(TraceFile file) {
    t_lastError = win32_error::kInvalidHandle;
    fake::g_traceFiles.erase(file);
}

void on_fork(void (*)(), void (*)()) {}

void write_standard_error(const char* text, std::size_t size) {
    g_state.standardError.append(text, size);
}

SlotTable& shared_slot_table() { return g_state.slots; }
bool lock_slot_table() {
    g_state.log.push_back("lock");
    if (injected("lock")) return false;
    ++g_state.slotLocks;
    g_state.slotLockHeld = true;
    return true;
}
void unlock_slot_table() {
    g_state.log.push_back("unlock");
    ++g_state.slotUnlocks;
    g_state.slotLockHeld = false;
    auto waiting = std::exchange(g_state.waitingForLock, {});
    for (auto& call : waiting) call();
}

}  // namespace tavlib::platform
