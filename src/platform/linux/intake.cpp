#include "intake.h"

#include <algorithm>
#include <cstring>

#include "platform/win32_errors.h"
#include "tavlib/driver_wire.h"

namespace tavlib::platform::linux_backend {

namespace {

namespace err = win32_error;

// A COMPLETE's status becomes the request's Win32 result as it is.
static_assert(wire::kStatusSuccess == err::kSuccess);
static_assert(wire::kStatusInvalidFunction == err::kInvalidFunction);
static_assert(wire::kStatusCancelled == err::kOperationAborted);

std::uint32_t wire_type(Request::Kind kind) {
    switch (kind) {
        case Request::Kind::kWrite: return wire::kWrite;
        case Request::Kind::kRead: return wire::kRead;
        case Request::Kind::kIoctl: return wire::kIoctl;
    }
    return 0;
}

void fail_with_fault(Connection& c, std::map<std::uint32_t, Request>::iterator it) {
    finish_request(c, it->second, err::kIoDevice, 0);
    erase_request(c, it);
}

constexpr std::size_t kSpareRequests = 2;

}  // namespace

void enter_request(Connection& c, std::uint32_t id, Request r) {
    if (c.spareRequests.empty()) {
        c.outstanding.emplace(id, std::move(r));
        return;
    }
    auto node = std::move(c.spareRequests.back());
    c.spareRequests.pop_back();
    node.key() = id;
    node.mapped() = std::move(r);
    c.outstanding.insert(std::move(node));
}

void erase_request(Connection& c, std::map<std::uint32_t, Request>::iterator it) {
    auto node = c.outstanding.extract(it);
    if (c.spareRequests.size() >= kSpareRequests) return;
    node.mapped().event.reset();  // the event is not the spare's to keep
    c.spareRequests.push_back(std::move(node));
}

void add_source(Event& event, Connection& c) {
    for (auto& [source, n] : event.sources)
        if (source == &c) {
            ++n;
            return;
        }
    event.sources.emplace_back(&c, 1);
}

void release_source(Event& event, Connection& c) {
    const auto it = std::find_if(event.sources.begin(), event.sources.end(),
                                 [&c](const auto& source) { return source.first == &c; });
    if (it != event.sources.end() && --it->second == 0) event.sources.erase(it);
}

bool take_completed(Connection& c, const Overlapped* record) {
    const auto it = std::find(c.completed.begin(), c.completed.end(), record);
    if (it == c.completed.end()) return false;
    *it = c.completed.back();
    c.completed.pop_back();
    return true;
}

void finish_request(Connection& c, Request& r, Word status, Word count) {
    if (r.record != nullptr) {
        r.record->InternalHigh = count;
        r.record->Internal = status;
        // Bounded: the logic asks for every outcome; a record nobody asks
        // about only loses the exact report of a status of 259.
        constexpr std::size_t kCompletedRecords = 64;
        if (c.completed.size() >= kCompletedRecords) c.completed.clear();
        take_completed(c, r.record);
        c.completed.push_back(r.record);
    }
    if (r.event) {
        r.event->signaled = true;
        release_source(*r.event, c);
    }
    if (r.sync != nullptr) {
        r.sync->status = status;
        r.sync->count = count;
        r.sync->done = true;
    }
}

void fail_all(Connection& c, Word status) {
    for (auto& [id, r] : c.outstanding) finish_request(c, r, status, 0);
    c.outstanding.clear();
}

void connection_ended(Connection& c) {
    if (c.closed || c.ended) return;
    c.ended = true;
    fail_all(c, err::kDeviceNotConnected);
}

void detach(Connection& c, Request& r) {
    if (r.event) {
        release_source(*r.event, c);
        r.event.reset();
    }
    r.record = nullptr;
    r.buffer = nullptr;
    r.sync = nullptr;
}

std::map<std::uint32_t, Request>::iterator find_request(Connection& c, const Overlapped* record) {
    for (auto it = c.outstanding.begin(); it != c.outstanding.end(); ++it)
        if (it->second.record == record) return it;
    return c.outstanding.end();
}

Landing landing_for(const Connection& c, const unsigned char* header, std::size_t size) {
    if (size <= wire::kHeaderSize) return {};  // no payload to land
    const wire::Header h = wire::decode_header(header);
    if (h.type != wire::kComplete) return {};
    const auto it = c.outstanding.find(h.id);
    if (it == c.outstanding.end()) return {};
    const Request& r = it->second;
    if (r.kind != Request::Kind::kRead || r.buffer == nullptr) return {};
    const std::size_t payload = size - wire::kHeaderSize;
    if (wire::completion_fault(h, payload, wire::kRead, r.limit) != wire::Fault::kNone) return {};
    return {r.buffer, h.count};
}

void take_in(Connection& c, const unsigned char* header, std::size_t size, const Landing& landing,
             const unsigned char* spill) {
    // A message too short to hold an id names no request.
    const wire::Header h = wire::decode_header(header, size);
    const auto it = c.outstanding.find(h.id);
    if (it == c.outstanding.end()) return;
    if (size < wire::kHeaderSize || h.type != wire::kComplete) return fail_with_fault(c, it);

    Request& r = it->second;
    const std::size_t payload = size - wire::kHeaderSize;
    if (wire::completion_fault(h, payload, wire_type(r.kind), r.limit) != wire::Fault::kNone)
        return fail_with_fault(c, it);
    // Only a READ that succeeded carries bytes; a failed one carries none,
    // whatever count it reports, and its status is passed on as it is.
    const bool isRead = r.kind == Request::Kind::kRead;
    const bool carriesBytes = isRead && h.arg == 0;
    // Received in place, the bytes went where the landing said when the
    // header was read, which was the request's buffer then; received into
    // the spill, they are copied now (the count is within the READ's
    // capacity, which is within the spill's).  A request detached since then
    // keeps nothing; one whose bytes went nowhere fails.
    if (carriesBytes && payload > 0 && r.buffer != nullptr && landing.destination != r.buffer) {
        if (spill == nullptr || payload > wire::kMaxTransfer) return fail_with_fault(c, it);
        std::memcpy(r.buffer, spill, payload);
    }
    finish_request(c, r, h.arg, isRead && !carriesBytes ? 0 : h.count);
    erase_request(c, it);
}

}  // namespace tavlib::platform::linux_backend
