// ONC RPC (RFC 5531) over TCP and UDP: record marking, the call header, and
// the replies the gateway sends.
//
// Over TCP each message is a record of fragments, each behind a 4-byte mark
// (bit 31: last fragment; bits 0-30: its length).  RecordIntake takes the
// bytes as the connection brings them and gives out whole records, bounded
// by a maximum record size: a fragment that would make its record longer is
// refused, and the connection is to be closed.  A connection that ends in
// the middle of a record was truncated (partial()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "xdr.h"

namespace tavlib::gateway::vxi11::rpc {

inline constexpr std::uint32_t kLastFragment = 0x80000000u;
inline constexpr std::uint32_t kRpcVersion = 2;
inline constexpr std::size_t kMaxAuthBody = 400;  // the protocol's own bound

enum MessageType : std::uint32_t { kCall = 0, kReply = 1 };
enum ReplyStat : std::uint32_t { kAccepted = 0, kDenied = 1 };
enum AcceptStat : std::uint32_t {
    kSuccess = 0,
    kProgUnavail = 1,
    kProgMismatch = 2,
    kProcUnavail = 3,
    kGarbageArgs = 4,
    kSystemErr = 5,
};
enum RejectStat : std::uint32_t { kRpcMismatch = 0, kAuthError = 1 };
enum AuthStat : std::uint32_t { kAuthBadCred = 1, kAuthBadVerf = 3 };
enum AuthFlavor : std::uint32_t { kAuthNone = 0, kAuthSys = 1 };

class RecordIntake {
public:
    explicit RecordIntake(std::size_t maxRecord) : maxRecord_(maxRecord) {}

    // Takes what the connection brought.  Nothing more is taken once it
    // failed.
    void feed(ByteView bytes);
    // The next whole record, oldest first.
    std::optional<Bytes> next();

    // A fragment was refused: the connection is to be closed.
    bool failed() const { return failed_; }
    const std::string& failure() const { return failure_; }
    // Bytes of a record (or of a fragment's mark) were taken: a connection
    // that ends now was truncated.
    bool partial() const { return markTaken_ > 0 || inRecord_; }

private:
    std::size_t maxRecord_;
    std::deque<Bytes> records_;
    Bytes record_;                  // the record being assembled
    std::uint8_t mark_[4]{};        // the fragment mark being taken
    std::size_t markTaken_ = 0;
    std::uint32_t fragmentLeft_ = 0;  // bytes of the current fragment still to come
    bool inFragment_ = false;
    bool lastFragment_ = false;
    bool inRecord_ = false;  // a fragment of the record was seen
    bool failed_ = false;
    std::string failure_;
};

// One record as one fragment.
Bytes frame(ByteView message);

struct CallHeader {
    std::uint32_t xid = 0;
    std::uint32_t rpcvers = 0;
    std::uint32_t prog = 0;
    std::uint32_t vers = 0;
    std::uint32_t proc = 0;
};

enum class CallCheck {
    ok,
    ignore,        // not a call (a reply, or too short to carry an xid): dropped
    malformed,     // the header itself is bad: nothing sensible to answer
    rpc_mismatch,  // answer rpc_mismatch_reply
    bad_cred,      // a credential flavour not taken: answer auth_error_reply
    bad_verf,
};

struct Call {
    CallCheck check = CallCheck::malformed;
    CallHeader header;
    ByteView args;  // the procedure's arguments, a view into the message
};

// Reads a call's header; AUTH_NONE and AUTH_SYS credentials are taken and
// skipped (their bodies at most 400 bytes), AUTH_NONE and AUTH_SYS
// verifiers too.
Call parse_call(ByteView message);

// Replies.  `framed`: with the record mark of TCP in front (one fragment).
// A successful reply: the header written, the caller appends the results,
// then finish() sets the record mark.
class Reply {
public:
    Reply(std::uint32_t xid, bool framed);
    XdrWriter& body() { return writer_; }
    Bytes finish();

private:
    XdrWriter writer_;
    bool framed_;
};

Bytes accepted_reply(std::uint32_t xid, AcceptStat stat, bool framed);  // no body
Bytes prog_mismatch_reply(std::uint32_t xid, std::uint32_t low, std::uint32_t high, bool framed);
Bytes rpc_mismatch_reply(std::uint32_t xid, bool framed);
Bytes auth_error_reply(std::uint32_t xid, AuthStat stat, bool framed);

// The reply to a header that parse_call did not find ok (nothing for
// ignore and malformed).
std::optional<Bytes> header_reply(const Call& call, bool framed);

}  // namespace tavlib::gateway::vxi11::rpc
