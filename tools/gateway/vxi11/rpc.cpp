#include "rpc.h"

#include <algorithm>

namespace tavlib::gateway::vxi11::rpc {

void RecordIntake::feed(ByteView bytes) {
    while (!failed_ && !bytes.empty()) {
        if (!inFragment_) {
            const std::size_t take = std::min(bytes.size(), 4 - markTaken_);
            std::copy_n(bytes.begin(), take, mark_ + markTaken_);
            markTaken_ += take;
            bytes = bytes.subspan(take);
            if (markTaken_ < 4) return;
            markTaken_ = 0;
            const std::uint32_t mark = std::uint32_t{mark_[0]} << 24 |
                                       std::uint32_t{mark_[1]} << 16 |
                                       std::uint32_t{mark_[2]} << 8 | std::uint32_t{mark_[3]};
            const std::uint32_t length = mark & ~kLastFragment;
            if (length > maxRecord_ - std::min(maxRecord_, record_.size())) {
                failed_ = true;
                failure_ = "a record longer than " + std::to_string(maxRecord_) +
                           " bytes (a fragment of " + std::to_string(length) + " after " +
                           std::to_string(record_.size()) + ")";
                record_.clear();
                return;
            }
            fragmentLeft_ = length;
            lastFragment_ = (mark & kLastFragment) != 0;
            inFragment_ = true;
            inRecord_ = true;
        }
        const std::size_t take = std::min<std::size_t>(bytes.size(), fragmentLeft_);
        record_.insert(record_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
        bytes = bytes.subspan(take);
        fragmentLeft_ -= static_cast<std::uint32_t>(take);
        if (fragmentLeft_ > 0) return;
        inFragment_ = false;
        if (lastFragment_) {
            records_.push_back(std::move(record_));
            record_ = Bytes{};
            inRecord_ = false;
        }
    }
}

std::optional<Bytes> RecordIntake::next() {
    if (records_.empty()) return std::nullopt;
    Bytes record = std::move(records_.front());
    records_.pop_front();
    return record;
}

Bytes frame(ByteView message) {
    Bytes framed;
    framed.reserve(4 + message.size());
    const auto mark = static_cast<std::uint32_t>(message.size()) | kLastFragment;
    for (int shift = 24; shift >= 0; shift -= 8) framed.push_back(static_cast<std::uint8_t>(mark >> shift));
    framed.insert(framed.end(), message.begin(), message.end());
    return framed;
}

namespace {

bool read_auth(XdrReader& reader, bool& known) {
    std::uint32_t flavor = 0;
    if (!reader.u32(flavor) || !reader.skip_opaque(kMaxAuthBody)) return false;
    known = flavor == kAuthNone || flavor == kAuthSys;
    return true;
}

}  // namespace

Call parse_call(ByteView message) {
    Call call;
    XdrReader reader(message);
    std::uint32_t type = 0;
    if (!reader.u32(call.header.xid) || !reader.u32(type) || type != kCall) {
        call.check = CallCheck::ignore;
        return call;
    }
    if (!reader.u32(call.header.rpcvers)) {
        call.check = CallCheck::malformed;
        return call;
    }
    if (call.header.rpcvers != kRpcVersion) {
        call.check = CallCheck::rpc_mismatch;
        return call;
    }
    bool credKnown = false;
    bool verfKnown = false;
    if (!reader.u32(call.header.prog) || !reader.u32(call.header.vers) ||
        !reader.u32(call.header.proc) || !read_auth(reader, credKnown) ||
        !read_auth(reader, verfKnown)) {
        call.check = CallCheck::malformed;
        return call;
    }
    call.check = !credKnown ? CallCheck::bad_cred : !verfKnown ? CallCheck::bad_verf : CallCheck::ok;
    call.args = reader.rest();
    return call;
}

namespace {

// The header every reply starts with, up to its reply_stat.
XdrWriter reply_start(std::uint32_t xid, bool framed, ReplyStat stat) {
    XdrWriter writer;
    if (framed) writer.u32(0);  // the record mark, set by finish
    writer.u32(xid);
    writer.u32(kReply);
    writer.u32(stat);
    return writer;
}

void accepted_start(XdrWriter& writer, AcceptStat stat) {
    writer.u32(kAuthNone);  // the verifier: none
    writer.u32(0);
    writer.u32(stat);
}

Bytes finish_writer(XdrWriter& writer, bool framed) {
    if (framed)
        writer.put_u32_at(0, static_cast<std::uint32_t>(writer.size() - 4) | kLastFragment);
    return writer.take();
}

}  // namespace

Reply::Reply(std::uint32_t xid, bool framed)
    : writer_(reply_start(xid, framed, kAccepted)), framed_(framed) {
    accepted_start(writer_, kSuccess);
}

Bytes Reply::finish() { return finish_writer(writer_, framed_); }

Bytes accepted_reply(std::uint32_t xid, AcceptStat stat, bool framed) {
    XdrWriter writer = reply_start(xid, framed, kAccepted);
    accepted_start(writer, stat);
    return finish_writer(writer, framed);
}

Bytes prog_mismatch_reply(std::uint32_t xid, std::uint32_t low, std::uint32_t high, bool framed) {
    XdrWriter writer = reply_start(xid, framed, kAccepted);
    accepted_start(writer, kProgMismatch);
    writer.u32(low);
    writer.u32(high);
    return finish_writer(writer, framed);
}

Bytes rpc_mismatch_reply(std::uint32_t xid, bool framed) {
    XdrWriter writer = reply_start(xid, framed, kDenied);
    writer.u32(kRpcMismatch);
    writer.u32(kRpcVersion);
    writer.u32(kRpcVersion);
    return finish_writer(writer, framed);
}

Bytes auth_error_reply(std::uint32_t xid, AuthStat stat, bool framed) {
    XdrWriter writer = reply_start(xid, framed, kDenied);
    writer.u32(kAuthError);
    writer.u32(stat);
    return finish_writer(writer, framed);
}

std::optional<Bytes> header_reply(const Call& call, bool framed) {
    switch (call.check) {
    case CallCheck::rpc_mismatch: return rpc_mismatch_reply(call.header.xid, framed);
    case CallCheck::bad_cred: return auth_error_reply(call.header.xid, kAuthBadCred, framed);
    case CallCheck::bad_verf: return auth_error_reply(call.header.xid, kAuthBadVerf, framed);
    case CallCheck::ok:
    case CallCheck::ignore:
    case CallCheck::malformed: break;
    }
    return std::nullopt;
}

}  // namespace tavlib::gateway::vxi11::rpc
