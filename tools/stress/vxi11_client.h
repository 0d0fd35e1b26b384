// A small VXI-11 client for tavlib-stress: ONC RPC over TCP (record
// marking, XDR) and the core and abort channels' calls, on blocking sockets
// with a deadline per call.  One call at a time per connection, as a
// VISA library makes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "unique_fd.h"

namespace tavlib::stress::vxi11 {

inline constexpr std::uint32_t kCoreProgram = 0x0607AF;
inline constexpr std::uint32_t kAbortProgram = 0x0607B0;

// Procedures of the core channel, and the abort channel's one.
enum Procedure : std::uint32_t {
    kDeviceAbort = 1,
    kCreateLink = 10,
    kDeviceWrite = 11,
    kDeviceRead = 12,
    kDeviceReadStb = 13,
    kDeviceTrigger = 14,
    kDeviceClear = 15,
    kDeviceLock = 18,
    kDeviceUnlock = 19,
    kDestroyLink = 23,
};

// Device_ErrorCode values the run meets.
enum Error : std::int32_t {
    kOk = 0,
    kNoDevice = 3,
    kInvalidLink = 4,
    kParameter = 5,
    kNotSupported = 8,
    kNoResources = 9,
    kLocked = 11,
    kNoLock = 12,
    kIoTimeout = 15,
    kIoError = 17,
    kAborted = 23,
};
enum Flags : std::int32_t { kWaitLock = 1, kEnd = 8, kTermChar = 128 };
enum Reasons : std::int32_t { kReqCnt = 1, kChr = 2, kEndReason = 4 };

// The XDR encoding of call arguments.
class XdrOut {
public:
    XdrOut& u32(std::uint32_t value);
    XdrOut& i32(std::int32_t value) { return u32(static_cast<std::uint32_t>(value)); }
    XdrOut& opaque(std::string_view bytes);  // variable length, padded
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

// Reads results; a short input makes it fail (ok() false) for good.
class XdrIn {
public:
    explicit XdrIn(std::string_view bytes) : bytes_(bytes) {}
    std::uint32_t u32();
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::string opaque(std::size_t maxSize);
    bool ok() const { return ok_; }

private:
    std::string_view bytes_;
    bool ok_ = true;
};

// How a call ended on the wire.
enum class Wire {
    ok,        // a reply with accept status SUCCESS; results() holds the results
    rejected,  // a reply, but not SUCCESS (or denied)
    closed,    // the connection closed or broke before the reply
    timeout,   // no reply before the deadline
};
const char* wire_name(Wire wire);

class RpcConnection {
public:
    // A connection to 127.0.0.1:port; false when it cannot be made.
    bool open(std::uint16_t port);
    bool is_open() const { return static_cast<bool>(fd_); }
    void close() { fd_.reset(); }

    // Sends a call and waits for its reply until `deadlineNs` (now_ns()).
    Wire call(std::uint32_t program, std::uint32_t procedure, const std::string& args, std::int64_t deadlineNs);
    // Sends a call and does not wait (a client that vanishes mid-call).
    bool send_only(std::uint32_t program, std::uint32_t procedure, const std::string& args);
    const std::string& results() const { return results_; }
    // Whether a reply (or the connection's end) arrives within `waitMs`.
    bool readable(int waitMs);

private:
    bool send_all(const std::string& bytes);
    // Reads `size` bytes, or false on close, error or the deadline (then
    // `timedOut` says so).
    bool read_exact(char* into, std::size_t size, std::int64_t deadlineNs, bool& timedOut);

    sim::UniqueFd fd_;
    std::uint32_t xid_ = 0x5A000000;
    std::string results_;
};

// The results the run reads; `wire` other than ok leaves the rest zero.
struct LinkReply {
    Wire wire = Wire::closed;
    std::int32_t error = 0;
    std::int32_t lid = 0;
    std::uint32_t abortPort = 0;
    std::uint32_t maxRecvSize = 0;
};
struct WriteReply {
    Wire wire = Wire::closed;
    std::int32_t error = 0;
    std::uint32_t size = 0;
};
struct ReadReply {
    Wire wire = Wire::closed;
    std::int32_t error = 0;
    std::int32_t reason = 0;
    std::string data;
};
struct ErrorReply {
    Wire wire = Wire::closed;
    std::int32_t error = 0;
};

// The calls, each with its deadline.
LinkReply create_link(RpcConnection& c, std::int32_t clientId, bool lockDevice, std::uint32_t lockTimeoutMs,
                      const std::string& device, std::int64_t deadlineNs);
WriteReply device_write(RpcConnection& c, std::int32_t lid, std::uint32_t ioTimeoutMs, std::uint32_t lockTimeoutMs,
                        std::int32_t flags, std::string_view data, std::int64_t deadlineNs);
std::string read_args(std::int32_t lid, std::uint32_t requestSize, std::uint32_t ioTimeoutMs,
                      std::uint32_t lockTimeoutMs, std::int32_t flags, char termChar);
ReadReply device_read(RpcConnection& c, const std::string& args, std::int64_t deadlineNs);
// readstb, trigger, clear: Device_GenericParms; the answer's error only.
ErrorReply device_generic(RpcConnection& c, Procedure procedure, std::int32_t lid, std::int32_t flags,
                          std::uint32_t lockTimeoutMs, std::uint32_t ioTimeoutMs, std::int64_t deadlineNs);
ErrorReply device_lock(RpcConnection& c, std::int32_t lid, std::int32_t flags, std::uint32_t lockTimeoutMs,
                       std::int64_t deadlineNs);
// unlock, destroy_link, and device_abort on an abort channel connection.
ErrorReply link_call(RpcConnection& c, std::uint32_t program, Procedure procedure, std::int32_t lid,
                     std::int64_t deadlineNs);

}  // namespace tavlib::stress::vxi11
