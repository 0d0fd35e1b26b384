// The Linux backend of the platform seam: files, events, overlapped
// transfers, memory and text, over a user-space driver reached through
// SOCK_SEQPACKET Unix sockets (see tavlib/driver_wire.h for the messages).
//
// There is no kernel to finish requests in the background and the library
// starts no threads, so completions are read by whichever caller waits: a
// wait on an event whose request belongs to a connection reads that
// connection ("pumps" it) until the wait is satisfied or runs out of time.
// One thread pumps a connection at a time; the others wait on
// State::changed and are handed their completions as the pumping thread
// takes them in.

#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

#include "backend.h"
#include "intake.h"
#include "platform/win32_errors.h"
#include "tavlib/driver_wire.h"
#include "tavlib/runtime_dir.h"

namespace tavlib::platform {

namespace lb = linux_backend;
namespace err = win32_error;

// Every transfer the logic starts fits in one message.
static_assert(wire::kMaxTransfer == TAVRIL_MAX_TRANSFER);

namespace linux_backend {

namespace {

thread_local Word t_lastError = 0;

State* g_state = nullptr;
std::once_flag g_stateOnce;
// States a forked child left behind; kept reachable, never used again.
std::vector<State*>* g_abandoned = nullptr;

void before_fork() { g_state->mutex.lock(); }
void after_fork_in_parent() { g_state->mutex.unlock(); }

// The child has copies of the parent's connections, but the threads that
// were using them do not exist here, and the handles are the parent's.  Start
// afresh and close the copied sockets so that a driver sees only the
// parent's connections.  The old state's mutex, taken by before_fork in the
// thread that is now the child's only one, is let go: the old state is never
// used again, and a mutex left held forever would look to a race detector
// like one this thread holds around every later lock.
void after_fork_in_child() {
    State* old = g_state;
    old->mutex.unlock();
    for (auto& [value, object] : old->objects) {
        if (auto* c = std::get_if<std::shared_ptr<Connection>>(&object)) {
            if ((*c)->fd >= 0) ::close((*c)->fd);
            (*c)->fd = -1;
        }
    }
    if (g_abandoned == nullptr) g_abandoned = new std::vector<State*>;
    g_abandoned->push_back(old);
    g_state = new State;
}

}  // namespace

void set_last_error(Word code) noexcept { t_lastError = code; }

Word win32_from_errno(int error) noexcept {
    switch (error) {
        case 0:
            return err::kSuccess;
        case ENOENT:
        case ENOTDIR:
        case ECONNREFUSED:
        case ENXIO:
        case ELOOP:
        case EPROTOTYPE:
        case ENOTSOCK:
            return err::kFileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return err::kAccessDenied;
        case EBADF:
            return err::kInvalidHandle;
        case ENOMEM:
        case ENOBUFS:
            return err::kNotEnoughMemory;
        case EMFILE:
        case ENFILE:
            return kTooManyOpenFiles;
        case EINVAL:
        case EMSGSIZE:
            return err::kInvalidParameter;
        case ENAMETOOLONG:
            return kFilenameExcedRange;
        case ENOSPC:
            return kDiskFull;
        case EPIPE:
        case ECONNRESET:
        case ECONNABORTED:
        case ENOTCONN:
        case ESHUTDOWN:
            return err::kDeviceNotConnected;
        case EIO:
            return err::kIoDevice;
        case ETIMEDOUT:
            return err::kTimeout;
        default:
            return err::kGenFailure;
    }
}

Connection::Connection(int socket) : fd(socket) {}

Connection::~Connection() {
    if (fd >= 0) ::close(fd);
}

const std::string& runtime_directory() {
    static const std::string* dir = new std::string(runtime_dir::from_environment());
    return *dir;
}

State& state() {
    std::call_once(g_stateOnce, [] {
        g_state = new State;  // never destroyed: threads may still run at exit
        ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    });
    return *g_state;
}

namespace {
// Fork handlers run their "before" parts in the reverse order of
// registration.  A thread holding the slot-table lock may be waiting for the
// state mutex, so the state's handlers register first (this constructor runs
// before the slot table's default-priority one), and at fork the slot-table
// lock is taken before the state mutex, in the same order as everywhere else.
__attribute__((constructor(101))) void register_fork_handlers_at_load() {
    state();
    runtime_directory();  // R is fixed, as an absolute path, when the library loads
}
}  // namespace

std::uintptr_t first_handle_value() noexcept {
    std::uint32_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
        random = static_cast<std::uint32_t>(Clock::now().time_since_epoch().count()) ^
                 static_cast<std::uint32_t>(::getpid());
    return 0x100 + 4 * std::uintptr_t{random % (1u << 28)};
}

Handle add_object(State& s, Object object) {
    // Values stay below 2^32 - 4, so that a 32-bit slot-table word records
    // any of them, and wrap around after that, passing over values in use.
    constexpr std::uintptr_t kFirstHandle = 0x100;
    constexpr std::uintptr_t kLastHandle = 0xFFFFFFF8u;
    std::uintptr_t value = 0;
    do {
        value = s.nextHandle;
        s.nextHandle = value >= kLastHandle ? kFirstHandle : value + 4;
    } while (s.objects.count(value) != 0);
    s.objects.emplace(value, std::move(object));
    return reinterpret_cast<Handle>(value);
}

}  // namespace linux_backend

namespace {

using lb::Connection;
using lb::Event;
using lb::Request;
using lb::State;
using lb::Clock;
using Deadline = std::optional<Clock::time_point>;  // empty: no limit
using Lock = std::unique_lock<std::mutex>;

constexpr Word kGmemZeroInit = 0x40;
constexpr auto kDriverGrace = std::chrono::milliseconds(kDriverGraceMilliseconds);

// After a time-out the logic cancels, waits for the cancelled transfer and
// asks the driver to recover, in three calls.  A driver that has stopped
// would make each wait its full bound; instead the three share one: CancelIo
// (or a start the driver did not take) opens this thread's grace period on
// the connection, and the recovery request that follows ends it.
struct Grace {
    const Connection* connection = nullptr;
    Clock::time_point end;
};
thread_local Grace t_grace;

// ---- time ----------------------------------------------------------------

Deadline deadline_after(Word milliseconds) {
    if (milliseconds == kInfinite) return std::nullopt;
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

bool passed(const Deadline& deadline) { return deadline && Clock::now() >= *deadline; }

enum class Readiness { kReady, kTimedOut, kFailed };

// Waits until `fd` reports one of `wanted` (returned in `events`) or the
// deadline passes.
Readiness wait_ready(int fd, short wanted, const Deadline& deadline, short& events) {
    for (;;) {
        pollfd entry{fd, wanted, 0};
        timespec limit{};
        timespec* limitPointer = nullptr;
        if (deadline) {
            const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
            limit.tv_sec = static_cast<std::time_t>(seconds.count());
            limit.tv_nsec = static_cast<long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count());
            limitPointer = &limit;
        }
        const int n = ::ppoll(&entry, 1, limitPointer, nullptr);
        if (n > 0) {
            events = entry.revents;
            return Readiness::kReady;
        }
        if (n == 0) return Readiness::kTimedOut;
        if (errno != EINTR) return Readiness::kFailed;
    }
}

// ---- sending ----------------------------------------------------------------

// Sends one message: `header`, then `size` bytes of payload.  0 or the errno
// of the failure, ETIMEDOUT when the socket's send buffer stayed full until
// the deadline (a driver that does not read).  A message goes out whole or
// not at all.
int send_message(int fd, const wire::Header& header, const void* payload, std::size_t size,
                 const Deadline& deadline) {
    wire::HeaderBytes bytes = wire::encode(header);
    iovec parts[2] = {{bytes.data(), bytes.size()}, {const_cast<void*>(payload), size}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = size > 0 ? 2 : 1;
    for (;;) {
        if (::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        short events = 0;
        switch (wait_ready(fd, POLLOUT, deadline, events)) {
            case Readiness::kReady:
                if ((events & (POLLERR | POLLHUP)) != 0) return EPIPE;
                break;
            case Readiness::kTimedOut:
                return ETIMEDOUT;
            case Readiness::kFailed:
                return errno;
        }
    }
}

Deadline grace_from_now() { return Clock::now() + kDriverGrace; }

// ---- completing requests ---------------------------------------------------

// The driver closed the connection or died: fail what is outstanding, and
// everything started later.
void connection_ended(Connection& c) {
    if (c.closed || c.ended) return;
    c.ended = true;
    lb::fail_all(c, err::kDeviceNotConnected);
}

// ---- pumping ---------------------------------------------------------------

// Reads at most one message from `c` within the deadline, with the mutex
// dropped while blocked.  Answers whether anything was taken in (a message
// or the end of the connection).
//
// A READ's payload is received straight into the request's buffer: the
// header is looked at first (peeked), the landing chosen under the mutex,
// and then the message received into header, landing and a one-byte trap
// for anything beyond the landing's capacity (cut off and discarded).
// While the receive runs, the landing is listed in State::receiving, and
// GlobalFree waits for it before it frees the memory.
bool pump_once(Lock& lock, State& s, Connection& c, const Deadline& deadline) {
    const std::shared_ptr<Connection> keep = c.shared_from_this();
    c.pumping = true;
    const int fd = c.fd;
    lock.unlock();

    short events = 0;
    const Readiness readiness = wait_ready(fd, POLLIN | POLLRDHUP, deadline, events);
    wire::HeaderBytes header{};
    // The message at the head of the socket was sent after its request
    // started, so the requests outstanding now include its own.  Without a
    // READ that could take bytes, no landing is possible: the header is
    // received at once, without a peek.
    bool mayLand = false;
    if (readiness == Readiness::kReady) {
        lock.lock();
        mayLand = std::any_of(c.outstanding.begin(), c.outstanding.end(), [](const auto& entry) {
            const Request& r = entry.second;
            return r.kind == Request::Kind::kRead && r.buffer != nullptr && r.limit > 0;
        });
        lock.unlock();
    }
    ssize_t peeked = readiness == Readiness::kReady && !mayLand ? 1 : -1;
    int receiveError = 0;
    if (mayLand) {
        // MSG_TRUNC: the message's full length, not what fitted.
        peeked = ::recv(fd, header.data(), header.size(), MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC);
        if (peeked < 0) receiveError = errno;
    }

    lb::Landing landing;
    ssize_t received = peeked;
    if (peeked > 0) {
        if (mayLand) {
            lock.lock();
            landing = lb::landing_for(c, header.data(), static_cast<std::size_t>(peeked));
            if (landing.destination != nullptr) s.receiving.push_back(landing.destination);
            lock.unlock();
        }

        unsigned char trap = 0;
        iovec parts[3] = {{header.data(), header.size()},
                          {landing.destination, landing.capacity},
                          {&trap, sizeof trap}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 3;
        do {
            received = ::recvmsg(fd, &message, MSG_DONTWAIT | MSG_TRUNC);
        } while (received < 0 && errno == EINTR);
        if (received < 0) receiveError = errno;
    }

    lock.lock();
    c.pumping = false;
    if (landing.destination != nullptr)
        s.receiving.erase(std::find(s.receiving.begin(), s.receiving.end(), landing.destination));
    bool progressed = false;
    if (readiness == Readiness::kFailed) {
        connection_ended(c);
        progressed = true;
    } else if (readiness == Readiness::kReady) {
        if (received > 0) {
            lb::take_in(c, header.data(), static_cast<std::size_t>(received), landing);
            progressed = true;
        } else if (received == 0) {
            // End of stream, or an empty datagram if the peer is still
            // there (taken off the socket by the receive after a peek that
            // found it).
            if (peeked == 0) ::recv(fd, header.data(), header.size(), MSG_DONTWAIT);
            if ((events & (POLLHUP | POLLRDHUP)) != 0) connection_ended(c);
            progressed = true;
        } else if (receiveError != EAGAIN && receiveError != EWOULDBLOCK &&
                   receiveError != EINTR) {
            connection_ended(c);
            progressed = true;
        }
    }
    s.changed.notify_all();
    return progressed;
}

bool can_pump(const Connection& c) { return !c.pumping && !c.closed && !c.ended; }

// Waits until done() holds or the deadline passes, pumping the connection
// that pick() names whenever no other thread pumps it.  Answers done().
// Even with the deadline already passed, messages that have arrived are
// taken in before the answer, up to a bound, so that a driver that keeps
// sending cannot hold the wait beyond its time.
template <class Done, class Pick>
bool pump_until(Lock& lock, State& s, Done done, Pick pick, const Deadline& deadline) {
    constexpr int kLateMessages = 64;
    int late = 0;
    for (;;) {
        if (done()) return true;
        const bool overdue = passed(deadline);
        if (overdue && late++ >= kLateMessages) return false;
        if (const std::shared_ptr<Connection> c = pick()) {
            if (!pump_once(lock, s, *c, deadline) && overdue) return done();
            continue;
        }
        if (overdue) return false;
        if (deadline)
            s.changed.wait_until(lock, *deadline);
        else
            s.changed.wait(lock);
    }
}

auto pick_connection(Connection& c) {
    return [&c]() -> std::shared_ptr<Connection> {
        return can_pump(c) ? c.shared_from_this() : nullptr;
    };
}

auto pick_event_source(Event& e) {
    return [&e]() -> std::shared_ptr<Connection> {
        for (auto& [c, n] : e.sources)
            if (can_pump(*c)) return c->shared_from_this();
        return nullptr;
    };
}

// ---- starting requests -----------------------------------------------------

std::uint32_t next_id(Connection& c) {
    do {
        if (++c.lastId == 0) c.lastId = 1;
    } while (c.outstanding.count(c.lastId) != 0);
    return c.lastId;
}

// After a failed send: the connection is gone (unless it was closed, which
// already finished its requests).
void send_failed(State& s, Connection& c) {
    connection_ended(c);
    s.changed.notify_all();
}

bool start_transfer(Request::Kind kind, Handle handle, const void* source, void* destination,
                    Word count, Word* transferred, Overlapped* record) {
    State& s = lb::state();
    Lock lock(s.mutex);
    const auto c = lb::find<Connection>(s, handle);
    if (!c) return lb::fail(err::kInvalidHandle);
    if (record == nullptr) return lb::fail(err::kInvalidParameter);
    t_grace = {};  // a new transfer: any grace period of an earlier one is over
    const bool isWrite = kind == Request::Kind::kWrite;
    if (count > wire::kMaxTransfer || (isWrite && count == 0))
        return lb::fail(err::kInvalidParameter);
    if (count > 0 && (isWrite ? source == nullptr : destination == nullptr))
        return lb::fail(err::kNoAccess);
    std::shared_ptr<Event> event;
    if (record->hEvent != nullptr) {
        event = lb::find<Event>(s, record->hEvent);
        if (!event) return lb::fail(err::kInvalidHandle);
    }
    if (c->ended) return lb::fail(err::kDeviceNotConnected);
    if (find_request(*c, record) != c->outstanding.end()) return lb::fail(err::kInvalidParameter);

    c->completed.erase(record);
    const std::uint32_t id = next_id(*c);
    c->outstanding.emplace(id, Request{kind, record, isWrite ? nullptr : destination, count,
                                       std::this_thread::get_id(), event, nullptr});
    record->Internal = kStatusPending;
    record->InternalHigh = 0;
    if (event) {
        event->signaled = false;
        ++event->sources[c.get()];
    }
    if (transferred != nullptr) *transferred = 0;
    s.changed.notify_all();  // a thread waiting on the event can now pump
    const int fd = c->fd;
    lock.unlock();

    // A driver that does not read (stopped, hung) fills the socket: the
    // start then fails after the grace period with ERROR_TIMEOUT, and the
    // recovery request that follows shares that period.
    const Deadline deadline = grace_from_now();
    const int sendError =
        isWrite ? send_message(fd, {wire::kWrite, id, count, 0}, source, count, deadline)
                : send_message(fd, {wire::kRead, id, count, 0}, nullptr, 0, deadline);
    if (sendError == ETIMEDOUT) {
        lock.lock();
        // Never sent: the driver knows nothing of it, so its id is free again.
        if (const auto it = c->outstanding.find(id); it != c->outstanding.end()) {
            detach(*c, it->second);
            c->outstanding.erase(it);
        }
        t_grace = {c.get(), *deadline};
        s.changed.notify_all();
        return lb::fail(err::kTimeout);
    }
    if (sendError != 0) {
        lock.lock();
        send_failed(s, *c);
        return lb::fail(c->closed ? err::kInvalidHandle : err::kDeviceNotConnected);
    }
    return lb::fail(err::kIoPending);
}

// Forgets the records and buffers of outstanding requests that satisfy
// `matches`, so that a completion arriving later writes nowhere.
template <class Matches>
void detach_requests(State& s, Matches matches) {
    for (auto& [value, object] : s.objects) {
        const auto* c = std::get_if<std::shared_ptr<Connection>>(&object);
        if (c == nullptr) continue;
        for (auto& [id, r] : (*c)->outstanding) matches(**c, r);
    }
}

}  // namespace

// ---- files and devices -------------------------------------------------------

Handle CreateFileA(const char* path, Word, Word, void*, Word, Word, Handle) {
    if (path == nullptr) {
        lb::set_last_error(lb::kPathNotFound);
        return invalid_handle();
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length == 0 || length >= sizeof address.sun_path) {
        lb::set_last_error(err::kFileNotFound);
        return invalid_handle();
    }
    std::memcpy(address.sun_path, path, length + 1);

    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        lb::set_last_error(lb::win32_from_errno(errno));
        return invalid_handle();
    }
    auto connection = std::make_shared<Connection>(fd);  // owns fd from here on
    // A driver that does not take connections (stopped, its backlog full)
    // would block connect() for good, and the caller holds the slot-table
    // lock.  On a Unix socket the send time-out bounds that wait: connect()
    // returns EAGAIN when it runs out.  Sends use their own deadlines.
    const auto grace = std::chrono::duration_cast<std::chrono::microseconds>(kDriverGrace);
    const Clock::time_point end = Clock::now() + grace;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now());
        const timeval limit{static_cast<time_t>(left.count() / 1000000),
                            static_cast<suseconds_t>(std::max<std::int64_t>(left.count() % 1000000, 1))};
        if (left.count() <= 0 || ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
            lb::set_last_error(err::kTimeout);
            return invalid_handle();
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) break;
        if (errno == EINTR) continue;
        lb::set_last_error(errno == EAGAIN ? err::kTimeout : lb::win32_from_errno(errno));
        return invalid_handle();
    }
    State& s = lb::state();
    Lock lock(s.mutex);
    const Handle handle = lb::add_object(s, std::move(connection));
    lb::set_last_error(err::kSuccess);
    return handle;
}

bool CloseHandle(Handle handle) {
    State& s = lb::state();
    Lock lock(s.mutex);
    const auto it = s.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == s.objects.end() || std::holds_alternative<std::shared_ptr<lb::DeviceList>>(it->second))
        return lb::fail(err::kInvalidHandle);
    const lb::Object object = std::move(it->second);
    s.objects.erase(it);

    if (const auto* c = std::get_if<std::shared_ptr<Connection>>(&object)) {
        // Requests still running end now, as aborted; the shutdown wakes a
        // thread blocked reading or sending on the socket.  The socket itself
        // is closed when the last thread using it lets go.
        (*c)->closed = true;
        fail_all(**c, err::kOperationAborted);
        ::shutdown((*c)->fd, SHUT_RDWR);
    } else if (const auto* e = std::get_if<std::shared_ptr<Event>>(&object)) {
        // The caller releases the request records that signal this event
        // with it: forget them, so that late completions write nowhere.
        Event* closing = e->get();
        detach_requests(s, [closing](Connection& owner, Request& r) {
            if (r.event.get() != closing) return;
            release_source(*closing, owner);
            r.record = nullptr;
            r.buffer = nullptr;
            r.event.reset();
        });
    }
    s.changed.notify_all();
    return true;
}

bool WriteFile(Handle handle, const void* data, Word count, Word* transferred,
               Overlapped* request) {
    return start_transfer(Request::Kind::kWrite, handle, data, nullptr, count, transferred,
                          request);
}

bool ReadFile(Handle handle, void* data, Word count, Word* transferred, Overlapped* request) {
    return start_transfer(Request::Kind::kRead, handle, nullptr, data, count, transferred,
                          request);
}

bool GetOverlappedResult(Handle handle, Overlapped* request, Word* transferred, bool wait) {
    State& s = lb::state();
    Lock lock(s.mutex);
    const auto c = lb::find<Connection>(s, handle);
    if (!c) return lb::fail(err::kInvalidHandle);
    if (request == nullptr) return lb::fail(err::kInvalidParameter);

    const auto finished = [&] { return find_request(*c, request) == c->outstanding.end(); };
    // Without waiting, completions that have already arrived still count.
    // A wait for a cancelled request lasts until the cancel's deadline: a
    // driver that ignores the cancel cannot hold the caller longer.
    Deadline deadline = Clock::now();
    if (wait) {
        const auto it = find_request(*c, request);
        deadline = it != c->outstanding.end() ? it->second.cancelDeadline : Deadline{};
    }
    if (!pump_until(lock, s, finished, pick_connection(*c), deadline)) {
        const auto it = find_request(*c, request);
        if (!wait || it == c->outstanding.end()) return lb::fail(err::kIoIncomplete);
        // The driver did not end the cancelled request in time.  It is
        // detached: its completion, whenever it comes, writes nothing into
        // the record or the buffer.  It counts as aborted.  A receive into
        // its buffer that already runs is let finish first, so that no byte
        // lands there once this call returns.
        const void* buffer = it->second.buffer;
        detach(*c, it->second);
        s.changed.wait(lock, [&] {
            return std::find(s.receiving.begin(), s.receiving.end(), buffer) == s.receiving.end();
        });
        request->InternalHigh = 0;
        request->Internal = err::kOperationAborted;
        return lb::fail(err::kOperationAborted);
    }

    // A record the backend does not track (never started, or detached when
    // its event was closed) cannot finish any more.  One whose request
    // completed here reports its status, whatever the value.
    const bool completedHere = c->completed.erase(request) != 0;
    if (!completedHere && request->Internal == kStatusPending) return lb::fail(err::kIoIncomplete);
    if (transferred != nullptr) *transferred = static_cast<Word>(request->InternalHigh);
    if (request->Internal != 0) return lb::fail(static_cast<Word>(request->Internal));
    return true;
}

bool CancelIo(Handle handle) {
    State& s = lb::state();
    Lock lock(s.mutex);
    const auto c = lb::find<Connection>(s, handle);
    if (!c) return lb::fail(err::kInvalidHandle);
    // Opens this thread's grace period: the wait for the cancelled requests
    // and the recovery request that follows share it.
    const Clock::time_point end = Clock::now() + kDriverGrace;
    t_grace = {c.get(), end};
    std::vector<std::uint32_t> ids;
    for (auto& [id, r] : c->outstanding) {
        if (r.kind != Request::Kind::kIoctl && r.starter == std::this_thread::get_id() &&
            r.record != nullptr) {
            r.cancelDeadline = end;
            ids.push_back(id);
        }
    }
    const int fd = c->fd;
    lock.unlock();

    for (const std::uint32_t id : ids) {
        const int sendError = send_message(fd, {wire::kCancel, id, 0, 0}, nullptr, 0, end);
        if (sendError == ETIMEDOUT) break;  // the waits for them end at `end` all the same
        if (sendError != 0) {
            // The connection is gone, and with it every request to cancel.
            lock.lock();
            send_failed(s, *c);
            break;
        }
    }
    return true;
}

bool DeviceIoControl(Handle handle, Word controlCode, void*, Word inSize, void*, Word outSize,
                     Word* bytesReturned, Overlapped* request) {
    State& s = lb::state();
    Lock lock(s.mutex);
    const auto c = lb::find<Connection>(s, handle);
    if (!c) return lb::fail(err::kInvalidHandle);
    // The wire carries no data with a control request, and only synchronous
    // requests are served.
    if (request != nullptr || inSize != 0 || outSize != 0) return lb::fail(err::kInvalidParameter);
    if (c->ended) return lb::fail(err::kDeviceNotConnected);
    // The request ends this thread's grace period, or has one of its own.
    // (A period opened long ago, with nothing between, is stale.)
    const bool inGrace = t_grace.connection == c.get() && Clock::now() < t_grace.end + kDriverGrace;
    const Deadline deadline = inGrace ? t_grace.end : *grace_from_now();
    t_grace = {};

    lb::SyncOutcome outcome;
    const std::uint32_t id = next_id(*c);
    c->outstanding.emplace(id, Request{Request::Kind::kIoctl, nullptr, nullptr, outSize,
                                       std::this_thread::get_id(), nullptr, &outcome});
    const int fd = c->fd;
    lock.unlock();
    const int sendError =
        send_message(fd, {wire::kIoctl, id, controlCode, 0}, nullptr, 0, deadline);
    lock.lock();
    if (sendError == ETIMEDOUT) {
        c->outstanding.erase(id);  // never sent
        return lb::fail(err::kTimeout);
    }
    if (sendError != 0) send_failed(s, *c);

    if (!pump_until(lock, s, [&] { return outcome.done; }, pick_connection(*c), deadline)) {
        // No answer in time: the request is left to the driver, and its
        // answer, should it come, goes nowhere.
        if (const auto it = c->outstanding.find(id); it != c->outstanding.end())
            detach(*c, it->second);
        return lb::fail(err::kTimeout);
    }
    if (bytesReturned != nullptr) *bytesReturned = outcome.count;
    if (outcome.status != 0) return lb::fail(outcome.status);
    return true;
}

// ---- events ----------------------------------------------------------------

Handle CreateEventA(void*, bool manualReset, bool initialState, const char* name) {
    if (name != nullptr && name[0] != '\0') {
        lb::set_last_error(lb::kCallNotImplemented);
        return nullptr;
    }
    State& s = lb::state();
    Lock lock(s.mutex);
    const Handle handle = lb::add_object(s, std::make_shared<Event>(manualReset, initialState));
    lb::set_last_error(err::kSuccess);
    return handle;
}

Word WaitForSingleObject(Handle handle, Word milliseconds) {
    State& s = lb::state();
    Lock lock(s.mutex);
    const auto e = lb::find<Event>(s, handle);
    if (!e) {
        lb::set_last_error(err::kInvalidHandle);
        return kWaitFailed;
    }
    if (!pump_until(lock, s, [&] { return e->signaled; }, pick_event_source(*e),
                    deadline_after(milliseconds)))
        return kWaitTimeout;
    if (!e->manualReset) e->signaled = false;
    return kWaitObject0;
}

// ---- process, errors, memory, text -------------------------------------------

const Word kDetailFixedSize = 5;

Word GetCurrentProcessId() { return static_cast<Word>(::getpid()); }

Word GetLastError() { return lb::t_lastError; }

void SetLastError(Word code) { lb::set_last_error(code); }

namespace {

// A large block comes fresh from the kernel, and memory is committed only
// as a read fills it: a call costs memory for what arrives, not for what
// maxBytes allows.  Each first touch of a page faults; huge pages make those
// faults 512 times fewer where the kernel offers them (transparent huge
// pages in "madvise" mode serve only blocks that ask).
void advise_huge_pages(void* memory, std::size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
    if (size < 2 * kHugePage) return;
    const auto first = (reinterpret_cast<std::uintptr_t>(memory) + kHugePage - 1) & ~(kHugePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(memory) + size) & ~(kHugePage - 1);
    if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)memory;
    (void)size;
#endif
}

}  // namespace

void* GlobalAlloc(Word flags, std::size_t bytes) {
    if ((flags & ~kGmemZeroInit) != 0) {  // only fixed memory is served
        lb::set_last_error(err::kInvalidParameter);
        return nullptr;
    }
    const std::size_t size = bytes == 0 ? 1 : bytes;
    void* memory = (flags & kGmemZeroInit) != 0 ? std::calloc(1, size) : std::malloc(size);
    if (memory == nullptr) {
        lb::set_last_error(err::kNotEnoughMemory);
        return nullptr;
    }
    advise_huge_pages(memory, size);
    return memory;
}

void* GlobalFree(void* memory) {
    if (memory == nullptr) return nullptr;
    // A READ still running into this block must not land in freed memory.
    const auto first = reinterpret_cast<std::uintptr_t>(memory);
    const std::uintptr_t end = first + ::malloc_usable_size(memory);
    {
        State& s = lb::state();
        Lock lock(s.mutex);
        // A pumping thread may be receiving into the block right now.
        s.changed.wait(lock, [&] {
            for (const void* at : s.receiving) {
                const auto a = reinterpret_cast<std::uintptr_t>(at);
                if (a >= first && a < end) return false;
            }
            return true;
        });
        detach_requests(s, [first, end](Connection&, Request& r) {
            const auto at = reinterpret_cast<std::uintptr_t>(r.buffer);
            if (at >= first && at < end) r.buffer = nullptr;
        });
    }
    std::free(memory);
    return nullptr;
}

int lstrlenA(const char* text) {
    if (text == nullptr) return 0;
    return static_cast<int>(std::strlen(text));
}

char* lstrcpyA(char* destination, const char* source) {
    if (destination == nullptr || source == nullptr) {
        lb::set_last_error(err::kNoAccess);
        return nullptr;
    }
    std::memmove(destination, source, std::strlen(source) + 1);
    return destination;
}

char* lstrcatA(char* destination, const char* source) {
    if (destination == nullptr || source == nullptr) {
        lb::set_last_error(err::kNoAccess);
        return nullptr;
    }
    std::memmove(destination + std::strlen(destination), source, std::strlen(source) + 1);
    return destination;
}

}  // namespace tavlib::platform
