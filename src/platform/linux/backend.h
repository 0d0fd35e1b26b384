// Private state of the Linux backend: the process-wide handle table and the
// objects that handles name.  Shared by the files of this folder only.
//
// The backend serves the seam (platform/platform.h) over a user-space driver
// reached through SOCK_SEQPACKET sockets (tavlib/driver_wire.h).  One file a
// concern:
//   handles.cpp             the handle table, fork handling, R fixed at load
//   errors.cpp              the last error; errno values as Win32 codes
//   pump.h, pump.cpp        sending to the driver and reading its messages
//   intake.h, intake.cpp    what a message does to the request it names
//   files.cpp               CreateFileA, CloseHandle and the transfers
//   events.cpp              CreateEventA, WaitForSingleObject
//   memory_text.cpp         GlobalAlloc, GlobalFree, lstr*
//   device_setup_linux.cpp  SetupDi* over the interface folder
//   slot_table_linux.cpp    the process-shared slot table
//
// One mutex (State::mutex) guards every object in the table and every
// request record the backend still references.  It is never held across a
// blocking system call: senders and the thread that reads a connection drop
// it while they block, so that other threads can start, finish and close
// requests meanwhile.  State::changed is notified after every change a
// waiting thread could be waiting for.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/platform.h"
#include "platform/win32_errors.h"

namespace tavlib::platform::linux_backend {

// Win32 codes that only this backend reports (win32_errors.h has them all).
using win32_error::kCallNotImplemented;
using win32_error::kDiskFull;
using win32_error::kFilenameExcedRange;
using win32_error::kInvalidUserBuffer;
using win32_error::kPathNotFound;
using win32_error::kTooManyOpenFiles;

// The thread's last error (GetLastError).
void set_last_error(Word code) noexcept;

// Stores `code` as the last error and answers false, the failure answer of
// most calls.
inline bool fail(Word code) noexcept {
    set_last_error(code);
    return false;
}

// The Win32 code that stands for an errno value.
Word win32_from_errno(int error) noexcept;

// The runtime directory R, read and made absolute once, when the library is
// loaded: the slot table and device discovery use this one path for the life
// of the process, whatever the program's environment or working directory
// becomes.
const std::string& runtime_directory();

struct Connection;

// An event object.  `sources` counts, per connection, the outstanding
// requests that will set this event: a wait on the event reads completions
// from one of those connections.  (Mostly one connection: a short list.)
struct Event {
    Event(bool manual, bool initial) : manualReset(manual), signaled(initial) {}
    bool manualReset;
    bool signaled;
    std::vector<std::pair<Connection*, unsigned>> sources;
};

// Where a blocking DeviceIoControl finds its outcome.
struct SyncOutcome {
    bool done = false;
    Word status = 0;
    Word count = 0;
};

using Clock = std::chrono::steady_clock;

// One request the driver has not completed yet.  A request whose caller
// gave up on it (detached: no record, buffer, event or waiter) stays until
// its completion arrives, so that its id is not reused meanwhile; that
// completion then goes nowhere.
struct Request {
    enum class Kind { kWrite, kRead, kIoctl };
    Kind kind;
    Overlapped* record;            // the caller's record; null once detached
    void* buffer;                  // a READ's destination; null once detached
    Word limit;                    // the most bytes a completion may report
    std::thread::id starter;       // for CancelIo
    std::shared_ptr<Event> event;  // set on completion; may be null
    SyncOutcome* sync;             // DeviceIoControl's waiter, else null
    // Set by CancelIo: how long a wait for the cancelled request lasts
    // before the request is detached.
    std::optional<Clock::time_point> cancelDeadline = std::nullopt;
    // Detached because the driver did not end it in time (a cancel ignored
    // past the grace period, a recovery unanswered): it may still act on the
    // instrument, so the next transfer waits for it (files.cpp).
    bool abandoned = false;
};

// One device handle: a connection to a driver.
struct Connection : std::enable_shared_from_this<Connection> {
    explicit Connection(int socket);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int fd;
    bool closed = false;   // CloseHandle ran: the handle is gone
    bool ended = false;    // the driver is gone: every request fails with 1167
    bool pumping = false;  // a thread is reading completions right now
    // The last payload was larger than kCopyLimit (pump.h): the next large
    // READ is received in place rather than through the spill.
    bool largePayloads = false;
    std::uint32_t lastId = 0;
    std::map<std::uint32_t, Request> outstanding;
    // Nodes of erased requests, for the next ones (enter_request).
    std::vector<std::map<std::uint32_t, Request>::node_type> spareRequests;
    // Where the pumping thread receives a message whose payload is copied
    // afterwards (pump.h): wire::kMaxTransfer bytes, made at the first such
    // receive and touched only where bytes land.
    std::unique_ptr<unsigned char[]> spill;
    // Records whose request completed here and whose outcome has not been
    // asked for yet: their status is final whatever its value (259 included,
    // which is also the value of "still running").  A short list, bounded
    // (intake.cpp).
    std::vector<const Overlapped*> completed;
};

// A device-information set: the interface paths present when it was built.
struct DeviceList {
    Guid classGuid;
    std::vector<std::string> paths;
};

using Object =
    std::variant<std::shared_ptr<Connection>, std::shared_ptr<Event>, std::shared_ptr<DeviceList>>;

// A multiple of 4 from 0x100 to about 2^30, different for each State.
std::uintptr_t first_handle_value() noexcept;

struct State {
    using Objects = std::unordered_map<std::uintptr_t, Object>;
    using ObjectNode = Objects::node_type;

    std::mutex mutex;
    std::condition_variable changed;
    Objects objects;
    std::vector<ObjectNode> spareEvents;  // add_event, keep_for_reuse
    // Where handle values start: a random place, so that two copies of the
    // library in one process (which share its process id in the slot table)
    // do not hand out the same values and release each other's slots.
    std::uintptr_t nextHandle = first_handle_value();
    // Where pumping threads are receiving READ payloads in place right now.
    std::vector<const void*> receiving;
};

// The process's state.  A forked child starts with an empty one: handles
// belong to the process that made them.
State& state();

// Enters `object` in the table and answers its new handle value: the next
// multiple of 4 up to 2^32 - 8, then from 0x100 again, never one in use.
// Caller holds the mutex.
Handle add_object(State& s, Object object);

// Enters a new event, made afresh or from one closed earlier that nobody
// references any more (every transfer of the logic makes and closes one, and
// this saves its allocations).  Caller holds the mutex.
Handle add_event(State& s, bool manualReset, bool initialState);

// Takes the table entry of a closed object; an event's may serve a later
// add_event.  Caller holds the mutex.
void keep_for_reuse(State& s, State::ObjectNode node);

// The object that `handle` names, if it is one of type T.  Caller holds the
// mutex.
template <class T>
std::shared_ptr<T> find(State& s, const void* handle) {
    const auto it = s.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == s.objects.end()) return nullptr;
    if (const auto* p = std::get_if<std::shared_ptr<T>>(&it->second)) return *p;
    return nullptr;
}

}  // namespace tavlib::platform::linux_backend
