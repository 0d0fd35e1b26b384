// Faults that a device can be told to show, switched on and off while the
// simulator runs.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavlib::sim {

enum class FaultKind {
    kDelay,         // hold WRITE/READ (or as `on` says) for value ms before acting on it
    kPartialWrite,  // a WRITE takes at most value bytes
    kZeroRead,      // a READ completes at once with status 0 and count 0
    kError,         // WRITE/READ (or as `on` says) completes with status value
    kRecoverFail,   // the recovery IOCTL completes with status value and drops nothing
    kCancelIgnore,  // a CANCEL is honoured only value ms after it arrived
    kDrop,          // the next request closes its connection
    kNoIdentity,    // the identity query gets no answer
    kMalformed,     // the completion breaks the interface in the way value names (1-5)
};

// The kinds of traffic a fault can apply to.
enum FaultTarget : unsigned {
    kOnWrite = 1,
    kOnRead = 2,
    kOnIoctl = 4,
    kOnRecover = 8,   // the recovery IOCTL
    kOnCancel = 16,
    kOnIdentity = 32, // the identity query, as a command line
};

// The ways of the `malformed` fault, its value.
enum MalformedWay : std::uint32_t {
    kMalformedFirst = 1,
    kCountAboveRequest = 1,  // count above the WRITE's n or the READ's capacity
    kPayloadBeyondCount = 2, // one byte more payload than count says
    kUnknownType = 3,        // a message type that is not COMPLETE
    kShortHeader = 4,        // the message cut to 12 bytes
    kStrayFirst = 5,         // first a completion for an id not outstanding, then the right one
    kMalformedLast = 5,
};

struct Fault {
    FaultKind kind = FaultKind::kDelay;
    std::uint32_t value = 0;
    std::uint32_t skip = 0;   // matching events let through before the fault applies
    std::uint32_t times = 0;  // applications left; 0 = until cleared
    unsigned on = 0;          // FaultTarget bits
};

std::string_view fault_name(FaultKind kind);
std::optional<FaultKind> fault_kind(std::string_view name);
// Whether the kind takes a value, and which targets it has and may be given.
bool fault_takes_value(FaultKind kind);
unsigned fault_default_targets(FaultKind kind);
unsigned fault_allowed_targets(FaultKind kind);
std::string format_targets(unsigned on);
std::string format_fault(const Fault& fault);

// Parses the words after the device number of `fault DEV ...`:
//   KIND [VALUE] [skip=N] [times=N] [on=write,read,ioctl]
// On error returns nullopt and sets *error.
std::optional<Fault> parse_fault(const std::vector<std::string_view>& words, std::string* error);

class FaultSet {
public:
    void set(const Fault& fault) { faults_[fault.kind] = fault; }
    bool clear(FaultKind kind) { return faults_.erase(kind) != 0; }
    void clear_all() { faults_.clear(); }
    std::vector<Fault> list() const;

    // Called once per event of the given target.  If a fault of this kind
    // applies to it, counts it and returns the fault's value when the fault
    // fires now (its skip count used up); a fault whose `times` runs out is
    // removed.
    std::optional<std::uint32_t> trigger(FaultKind kind, unsigned target);

private:
    std::map<FaultKind, Fault> faults_;
};

}  // namespace tavlib::sim
