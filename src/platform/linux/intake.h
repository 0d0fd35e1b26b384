// Taking in the driver's messages on one connection: where a message's
// payload is received, and what the message does to the request it names;
// and the other changes to a connection's request table.  Works on the
// request tables only; the pumping thread does the I/O (pump.h), and the
// fuzz target drives these functions with arbitrary messages.  Callers hold
// State::mutex.
#pragma once

#include <cstddef>
#include <map>

#include "backend.h"

namespace tavlib::platform::linux_backend {

// Where a message's payload is received in place (pump.h): straight into a
// READ's buffer when the message is that READ's well-formed successful
// completion (its count within the READ's capacity and exactly its
// payload's length); otherwise nowhere, and whatever payload there is is
// discarded.  A malformed message thus writes nothing.  The messages' layout
// and rules are those of tavlib/driver_wire.h.
struct Landing {
    void* destination = nullptr;
    std::size_t capacity = 0;
};

// The landing for a message of `size` bytes whose first min(size, 16)
// bytes are `header` (16 bytes).
Landing landing_for(const Connection& c, const unsigned char* header, std::size_t size);

// Takes in one message: `header` holds its first min(size, 16) bytes, `size`
// is its full length, and its payload went to `landing` (the most that
// landed there is landing.capacity bytes) or, when `spill` is not null, to
// `spill`, which then holds its first min(size - 16, wire::kMaxTransfer)
// payload bytes.  Completes the request it names, once: a malformed message
// about a known request (not a COMPLETE, shorter than a header, a count
// above the request's limit, a payload whose length differs from what the
// status and count announce) fails that request with ERROR_IO_DEVICE; a
// message naming no outstanding request is dropped.  A READ's well-formed
// successful completion that went to the spill is copied into the READ's
// buffer here, before the READ completes; nothing else is written there.
void take_in(Connection& c, const unsigned char* header, std::size_t size, const Landing& landing,
             const unsigned char* spill = nullptr);

// Enters request `r` under `id`, and erases one, keeping its node for the
// next (a transfer each way per call then allocates nothing here).
void enter_request(Connection& c, std::uint32_t id, Request r);
void erase_request(Connection& c, std::map<std::uint32_t, Request>::iterator it);

// Records the outcome in the request's record, signals its event or its
// synchronous waiter.  The caller erases the request afterwards.
void finish_request(Connection& c, Request& r, Word status, Word count);

// Finishes and erases every outstanding request with `status`.
void fail_all(Connection& c, Word status);

// The driver closed the connection or died: what is outstanding fails with
// ERROR_DEVICE_NOT_CONNECTED, and so does everything started later.
void connection_ended(Connection& c);

// The caller gives up on `r`: nothing of it is written or signalled any
// more.  It stays outstanding until its completion comes (see Request).
void detach(Connection& c, Request& r);

// The outstanding request that reports into `record`, or end().
std::map<std::uint32_t, Request>::iterator find_request(Connection& c, const Overlapped* record);

// Counts one more request on `c` that will set `event`, or drops one.
void add_source(Event& event, Connection& c);
void release_source(Event& event, Connection& c);

// Forgets that `record`'s request completed here; whether it had.
bool take_completed(Connection& c, const Overlapped* record);

// Calls matches(connection, request) for every outstanding request of every
// connection, so that it can forget what a late completion must not touch.
template <class Matches>
void detach_requests(State& s, Matches matches) {
    for (auto& [value, object] : s.objects) {
        const auto* c = std::get_if<std::shared_ptr<Connection>>(&object);
        if (c == nullptr) continue;
        for (auto& [id, r] : (*c)->outstanding) matches(**c, r);
    }
}

}  // namespace tavlib::platform::linux_backend
