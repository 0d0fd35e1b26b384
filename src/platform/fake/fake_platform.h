// A scripted platform for unit tests: device lists, outcomes of every call,
// injected failures and exceptions, and a log of every call and resource, so
// tests can assert what was called, in which order, and that every resource
// taken was released.  Single-threaded; call reset() before each test.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tavlib::fake {

// The outcome of one ReadFile or WriteFile.
struct TransferStep {
    enum class Start { kPending, kAtOnce, kFails };
    Start start = Start::kPending;
    // Last error the start leaves: 997 for kPending; the failure's code for
    // kFails; whatever the platform left for kAtOnce.
    std::uint32_t startError = 0;
    // Result of the wait: 0 (signalled), 258 (time-out), 0xFFFFFFFF (failed).
    std::uint32_t wait = 0;
    std::uint32_t waitError = 0;
    // The non-waiting completion query: TRUE with `count`, or FALSE with
    // completionError (996 means "still running").
    bool completes = true;
    std::uint32_t completionError = 0;
    // Bytes moved; unset: all asked for (write) or the data's size (read).
    std::optional<std::uint32_t> count;
    // What a read delivers into the caller's memory when it completes.
    std::string data;
    // Last error left by a successful completion query.
    std::uint32_t lastErrorAfterCompletion = 0;
};

struct State {
    // ---- script ----
    std::vector<std::string> devices;               // device paths, enumeration order
    std::deque<TransferStep> transfers;             // consumed by ReadFile/WriteFile
    std::deque<std::string> responses;              // device output for unscripted reads
    std::map<std::string, std::uint32_t> failNext;  // call name -> error code (once)
    std::map<std::string, bool> throwNext;          // call name -> throw (once)
    std::uint64_t globalAllocLimit = 1ull << 30;    // larger requests fail with 8
    std::uint32_t processId = 1000;
    std::string staleMemory;  // text every new GlobalAlloc block starts with
    std::optional<int> lstrlenResult;  // what lstrlenA answers, if set
    // CreateFileA hands out the value of the device closed last first, as
    // Windows reuses a closed handle's value at once.
    bool reuseClosedHandles = false;
    // Runs inside CloseHandle right after a device is closed: lets a test
    // put another thread's call between the close and what follows it.
    std::function<void()> onDeviceClosed;

    // ---- observations ----
    std::vector<std::string> log;        // every call, in order
    std::vector<std::string> written;    // the bytes of every write started
    std::vector<std::uint32_t> readSizes;  // the room asked for by every read
    std::vector<std::uint64_t> allocSizes; // every GlobalAlloc request
    int eventsCreated = 0, eventsClosed = 0;
    int buffersAllocated = 0, buffersFreed = 0;
    int devicesOpened = 0, devicesClosed = 0;
    int infoSetsCreated = 0, infoSetsDestroyed = 0;
    int recoveryRequests = 0;
    int slotLocks = 0, slotUnlocks = 0;
    bool slotLockHeld = false;
    // Calls of "other threads" waiting for the table lock to be free.
    std::vector<std::function<void()>> waitingForLock;
    platform::SlotTable slots{};

    // Handles handed out and not yet closed.
    std::vector<platform::Handle> openDevices;
    std::vector<platform::Handle> openEvents;

    // The step of the transfer that is under way.
    std::optional<TransferStep> active;
    char* activeData = nullptr;
    std::uint32_t activeCount = 0;
    bool activeIsRead = false;

    // ---- the I/O trace's file and standard error ----
    std::map<std::string, std::string> files;   // path -> what was appended
    std::map<std::string, int> fileOpens;       // path -> times opened
    std::optional<std::uint32_t> traceOpenError;  // open_trace_file fails with it
    // Appends that succeed before every further one fails with
    // traceWriteError (unset: all succeed).
    std::optional<int> traceWritesBeforeFailure;
    std::uint32_t traceWriteError = 112;
    std::string standardError;
};

State& state();
// Clears the state, the environment and the clocks.
void reset();

// The environment that GetEnvironmentVariableA reads (empty after reset).
std::map<std::string, std::string>& environment();

// The clocks: the wall clock stands still at `wall`; the monotonic clock
// reads `monotonic` first and `step` more at every further reading.
void set_clocks(std::int64_t wall, std::int64_t monotonic, std::int64_t step);
inline constexpr std::int64_t kDefaultWallClock = 1796848695120001;  // 2026-12-09T20:38:15.120001Z
// The thread id that GetCurrentThreadId gives the first thread that asks;
// each further thread gets the next number.
inline constexpr std::uint32_t kFirstThreadId = 7000;

// Runs `call` as another thread would that needs the slot-table lock: now
// if the lock is free, else as soon as its holder unlocks.
void when_lock_free(std::function<void()> call);

// The n-th entry of the log that starts with `prefix`, or -1.
int log_index(const std::string& prefix, int nth = 0);
int log_count(const std::string& prefix);

}  // namespace tavlib::fake
