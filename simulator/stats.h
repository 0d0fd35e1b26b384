// What a device has seen: the ordered log of connections, requests and
// completions, and running counters.  Reported by the control command
// `stats`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace tavlib::sim {

struct StatEvent {
    enum class Kind { kOpen, kClose, kRequest, kComplete };
    Kind kind = Kind::kRequest;
    std::uint64_t conn = 0;
    std::uint32_t type = 0;    // message type of the request (also for kComplete)
    std::uint32_t id = 0;
    std::uint32_t arg = 0;     // kRequest: n, capacity or control code
    std::uint32_t status = 0;  // kComplete
    std::uint32_t count = 0;   // kComplete
    std::string reason;        // kClose
};

// "WRITE", "READ", "CANCEL", "IOCTL" or the number.
std::string request_type_name(std::uint32_t type);

// One line of the `stats` reply, e.g.
//   req conn=3 id=7 type=WRITE arg=65536
//   done conn=3 id=7 type=WRITE status=0 count=65536
//   open conn=3
//   close conn=3 reason=peer
std::string format_event(const StatEvent& event);

class DeviceStats {
public:
    explicit DeviceStats(std::size_t limit) : limit_(limit) {}

    void add(StatEvent event);
    void count_request() { ++requests_; }
    void count_recovery() { ++recoveries_; }
    void count_written(std::size_t n) { bytesWritten_ += n; }
    void count_read(std::size_t n) { bytesRead_ += n; }
    void reset();

    const std::deque<StatEvent>& events() const { return events_; }
    std::uint64_t dropped_events() const { return dropped_; }
    std::uint64_t requests() const { return requests_; }
    std::uint64_t recoveries() const { return recoveries_; }
    std::uint64_t bytes_written() const { return bytesWritten_; }
    std::uint64_t bytes_read() const { return bytesRead_; }

private:
    std::size_t limit_;  // events kept; the oldest go first
    std::deque<StatEvent> events_;
    std::uint64_t dropped_ = 0;
    std::uint64_t requests_ = 0;
    std::uint64_t recoveries_ = 0;
    std::uint64_t bytesWritten_ = 0;
    std::uint64_t bytesRead_ = 0;
};

}  // namespace tavlib::sim
