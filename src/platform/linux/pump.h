// Talking to the driver on one connection: sending a message, and pumping,
// that is reading the driver's messages while a caller waits.
//
// There is no kernel to finish requests in the background and the library
// starts no threads, so completions are read by whichever caller waits: a
// wait on an event whose request belongs to a connection reads that
// connection until the wait is satisfied or runs out of time.  One thread
// pumps a connection at a time; the others wait on State::changed and are
// handed their completions as the pumping thread takes them in (intake.h).
// What that costs a thread whose completion another thread takes in: the
// receiver's notify and the waiter's return from the condition variable (a
// futex wake and a switch to the waiting thread), plus, when the receive
// went through the spill (below), a copy of that READ's payload.
//
// The wait is the receive itself: a blocking recvmsg, bounded by the
// socket's receive time-out (SO_RCVTIMEO, kReceiveSlice, set when the
// connection is made), repeated until a message comes or the deadline is
// near; the last stretch (less than kBlockingWaitAtLeast) is waited with
// ppoll, whose time-out is exact where the socket's counts in clock ticks.
// A transfer thus costs its send and one receive in the steady state.
//
// How a message's payload is received, chosen per receive:
//   - into the connection's spill buffer, whole, in the one receive that also
//     waits; take_in then copies a READ's payload into the READ's buffer once
//     the header has shown it to be that READ's well-formed completion.  The
//     way for short answers: the copy costs less than a second system call.
//   - straight into the READ's buffer, when a READ of more than kCopyLimit
//     bytes is outstanding and the connection's last payload was that large
//     too (a bulk read): the receive that waits only peeks at the header, the
//     landing is chosen from it (landing_for) and listed in State::receiving,
//     and a second receive takes the message into header, landing and a
//     one-byte trap.  Whoever gives the buffer up (a caller abandoning a
//     cancelled READ, GlobalFree) first waits for a receive into it to end
//     (wait_for_landings, forget_destination), so that no byte lands in
//     memory the caller no longer owns.
// Either way a READ's buffer receives bytes only from its own well-formed
// completion, and only while the READ is attached.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "backend.h"
#include "tavlib/driver_wire.h"

namespace tavlib::platform::linux_backend {

using Deadline = std::optional<Clock::time_point>;  // empty: no limit
using Lock = std::unique_lock<std::mutex>;

inline Deadline deadline_after(Word milliseconds) {
    if (milliseconds == kInfinite) return std::nullopt;
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

inline bool passed(const Deadline& deadline) { return deadline && Clock::now() >= *deadline; }

// The longest one blocking receive waits before the deadline is looked at
// again, and the least time left for which a receive may block at all: the
// socket's time-out is rounded to clock ticks and may fire late by a part of
// itself.  The logic's shortest wait (1 s) starts with a blocking receive.
inline constexpr std::chrono::milliseconds kReceiveSlice{250};
inline constexpr std::chrono::milliseconds kBlockingWaitAtLeast{400};

// READs of at most this many bytes are received through the spill buffer.
inline constexpr std::size_t kCopyLimit = 4096;

// Bounds each blocking receive on `fd` by kReceiveSlice.  0 or the errno.
int limit_receive_wait(int fd);

// Sends one message: `header`, then `size` bytes of payload.  0 or the errno
// of the failure, ETIMEDOUT when the socket's send buffer stayed full until
// the deadline (a driver that does not read).  A message goes out whole or
// not at all.  Called without the mutex.
int send_message(int fd, const wire::Header& header, const void* payload, std::size_t size,
                 const Deadline& deadline);

// Reads at most one message from `c` within the deadline, with the mutex
// dropped while receiving, and takes it in.  Answers whether anything was
// taken in (a message or the end of the connection).
bool pump_once(Lock& lock, State& s, Connection& c, const Deadline& deadline);

inline bool can_pump(const Connection& c) { return !c.pumping && !c.closed && !c.ended; }

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

// pick() for pump_until: the connection itself, while it can be pumped.
inline auto pick_connection(Connection& c) {
    return [&c]() -> std::shared_ptr<Connection> {
        return can_pump(c) ? c.shared_from_this() : nullptr;
    };
}

// pick() for pump_until: a connection whose requests will set `e`.
inline auto pick_event_source(Event& e) {
    return [&e]() -> std::shared_ptr<Connection> {
        for (auto& [c, n] : e.sources)
            if (can_pump(*c)) return c->shared_from_this();
        return nullptr;
    };
}

// Waits until no pumping thread receives into [first, first + size).  Caller
// holds the mutex.  A null `first` names no memory.
void wait_for_landings(Lock& lock, State& s, const void* first, std::size_t size);

// Makes sure that no READ lands in [first, first + size) any more: waits for
// receives into it to end and detaches it from the requests whose buffer lies
// there.  For memory about to be freed.  Takes the mutex itself.
void forget_destination(const void* first, std::size_t size);

}  // namespace tavlib::platform::linux_backend
