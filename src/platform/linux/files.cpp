// Device files and their transfers: CreateFileA opens a connection to a
// driver, WriteFile and ReadFile start requests on it, GetOverlappedResult,
// CancelIo and DeviceIoControl follow them up, CloseHandle ends them.  The
// messages go out through pump.h, whose waits also bring the completions in.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "backend.h"
#include "intake.h"
#include "platform/win32_errors.h"
#include "pump.h"
#include "tavlib/driver_wire.h"

namespace tavlib::platform {

namespace lb = linux_backend;
namespace err = win32_error;

// Every transfer the logic starts fits in one message.
static_assert(wire::kMaxTransfer == TAVRIL_MAX_TRANSFER);

namespace {

using lb::Clock;
using lb::Connection;
using lb::Deadline;
using lb::Event;
using lb::Lock;
using lb::Request;
using lb::State;
using lb::send_message;

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

Deadline grace_from_now() { return Clock::now() + kDriverGrace; }

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

// Detaches a request the driver did not end in time, which it may still
// carry out: the next transfer waits for it (wait_for_abandoned).
void abandon(Connection& c, Request& r) {
    detach(c, r);
    r.abandoned = true;
}

bool has_abandoned(const Connection& c) {
    return std::any_of(c.outstanding.begin(), c.outstanding.end(),
                       [](const auto& entry) { return entry.second.abandoned; });
}

// A request this handle abandoned (its cancel ignored past the grace
// period, its recovery unanswered) still runs at the driver: a READ would
// take the output meant for the next transfer, a WRITE or a recovery would
// reach the instrument after it.  So a new transfer first waits for them to
// end, asking once more that they be cancelled, within a grace period; a
// driver that keeps them longer fails the start with ERROR_TIMEOUT, and the
// recovery request that follows shares that period.
bool wait_for_abandoned(Lock& lock, State& s, Connection& c) {
    if (!has_abandoned(c)) return true;
    const auto over = [&] { return c.closed || c.ended || !has_abandoned(c); };
    // Their completions may have come already.
    bool ended = lb::pump_until(lock, s, over, lb::pick_connection(c), Clock::now());
    if (!ended) {
        const Deadline deadline = grace_from_now();
        std::vector<std::uint32_t> ids;
        for (const auto& [id, r] : c.outstanding)
            if (r.abandoned && r.kind != Request::Kind::kIoctl) ids.push_back(id);
        const int fd = c.fd;
        lock.unlock();
        for (const std::uint32_t id : ids)
            if (send_message(fd, {wire::kCancel, id, 0, 0}, nullptr, 0, deadline) != 0) break;
        lock.lock();
        ended = lb::pump_until(lock, s, over, lb::pick_connection(c), deadline);
        if (!ended) t_grace = {&c, *deadline};
    }
    if (c.closed) return lb::fail(err::kInvalidHandle);
    if (c.ended) return lb::fail(err::kDeviceNotConnected);
    return ended || lb::fail(err::kTimeout);
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
    if (!wait_for_abandoned(lock, s, *c)) return false;

    take_completed(*c, record);
    const std::uint32_t id = next_id(*c);
    enter_request(*c, id, Request{kind, record, isWrite ? nullptr : destination, count,
                                  std::this_thread::get_id(), event, nullptr});
    record->Internal = kStatusPending;
    record->InternalHigh = 0;
    if (event) {
        event->signaled = false;
        add_source(*event, *c);
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
            erase_request(*c, it);
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

}  // namespace

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
    // Waits for the driver's messages are receives that block (pump.h): each
    // one is bounded here, once.
    if (const int error = lb::limit_receive_wait(fd); error != 0) {
        lb::set_last_error(lb::win32_from_errno(error));
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
    State::ObjectNode node = s.objects.extract(it);
    const lb::Object& object = node.mapped();

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
        const Event* closing = e->get();
        lb::detach_requests(s, [closing](Connection& owner, Request& r) {
            if (r.event.get() == closing) detach(owner, r);
        });
    }
    lb::keep_for_reuse(s, std::move(node));
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
    if (!lb::pump_until(lock, s, finished, lb::pick_connection(*c), deadline)) {
        const auto it = find_request(*c, request);
        if (!wait || it == c->outstanding.end()) return lb::fail(err::kIoIncomplete);
        // The driver did not end the cancelled request in time.  It is
        // detached: its completion, whenever it comes, writes nothing into
        // the record or the buffer.  It counts as aborted.  A receive into
        // its buffer that already runs is let finish first, so that no byte
        // lands there once this call returns.
        const void* buffer = it->second.buffer;
        const Word limit = it->second.limit;
        abandon(*c, it->second);
        lb::wait_for_landings(lock, s, buffer, limit);
        request->InternalHigh = 0;
        request->Internal = err::kOperationAborted;
        return lb::fail(err::kOperationAborted);
    }

    // A record the backend does not track (never started, or detached when
    // its event was closed) cannot finish any more.  One whose request
    // completed here reports its status, whatever the value.
    const bool completedHere = take_completed(*c, request);
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
    enter_request(*c, id, Request{Request::Kind::kIoctl, nullptr, nullptr, outSize,
                                  std::this_thread::get_id(), nullptr, &outcome});
    const int fd = c->fd;
    lock.unlock();
    const int sendError =
        send_message(fd, {wire::kIoctl, id, controlCode, 0}, nullptr, 0, deadline);
    lock.lock();
    if (sendError == ETIMEDOUT) {
        // Never sent (unless the close that failed it has erased it already).
        if (const auto it = c->outstanding.find(id); it != c->outstanding.end()) erase_request(*c, it);
        return lb::fail(err::kTimeout);
    }
    if (sendError != 0) send_failed(s, *c);

    if (!lb::pump_until(lock, s, [&] { return outcome.done; }, lb::pick_connection(*c), deadline)) {
        // No answer in time: the request is left to the driver, and its
        // answer, should it come, goes nowhere.
        if (const auto it = c->outstanding.find(id); it != c->outstanding.end()) abandon(*c, it->second);
        return lb::fail(err::kTimeout);
    }
    if (bytesReturned != nullptr) *bytesReturned = outcome.count;
    if (outcome.status != 0) return lb::fail(outcome.status);
    return true;
}

}  // namespace tavlib::platform
