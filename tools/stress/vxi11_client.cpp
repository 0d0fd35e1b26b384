#include "vxi11_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "common.h"

namespace tavlib::stress::vxi11 {

namespace {

constexpr std::uint32_t kLastFragment = 0x80000000u;
constexpr std::size_t kMaxReply = 64 * 1024 * 1024;

std::uint32_t be32(const char* p) {
    const auto b = [p](int i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(p[i])); };
    return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

ErrorReply error_only(RpcConnection& c, Wire wire) {
    ErrorReply reply;
    reply.wire = wire;
    if (wire != Wire::ok) return reply;
    XdrIn in(c.results());
    reply.error = in.i32();
    if (!in.ok()) reply.wire = Wire::rejected;
    return reply;
}

}  // namespace

XdrOut& XdrOut::u32(std::uint32_t value) {
    const char b[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
                       static_cast<char>(value)};
    bytes_.append(b, 4);
    return *this;
}

XdrOut& XdrOut::opaque(std::string_view data) {
    u32(static_cast<std::uint32_t>(data.size()));
    bytes_.append(data);
    bytes_.append((4 - data.size() % 4) % 4, '\0');
    return *this;
}

std::uint32_t XdrIn::u32() {
    if (!ok_ || bytes_.size() < 4) {
        ok_ = false;
        return 0;
    }
    const std::uint32_t value = be32(bytes_.data());
    bytes_.remove_prefix(4);
    return value;
}

std::string XdrIn::opaque(std::size_t maxSize) {
    const std::uint32_t size = u32();
    const std::size_t padded = (static_cast<std::size_t>(size) + 3) & ~std::size_t{3};
    if (!ok_ || size > maxSize || padded > bytes_.size()) {
        ok_ = false;
        return {};
    }
    std::string value(bytes_.substr(0, size));
    bytes_.remove_prefix(padded);
    return value;
}

const char* wire_name(Wire wire) {
    switch (wire) {
        case Wire::ok: return "answered";
        case Wire::rejected: return "rejected by RPC";
        case Wire::closed: return "connection closed";
        case Wire::timeout: return "no reply in time";
    }
    return "?";
}

bool RpcConnection::open(std::uint16_t port) {
    fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fd_.reset();
        return false;
    }
    const int one = 1;
    ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

bool RpcConnection::readable(int waitMs) {
    pollfd p{fd_.get(), POLLIN, 0};
    return ::poll(&p, 1, waitMs) != 0;
}

bool RpcConnection::send_all(const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(fd_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool RpcConnection::send_only(std::uint32_t program, std::uint32_t procedure, const std::string& args) {
    if (!fd_) return false;
    XdrOut call;
    // Mark (set below), xid, CALL, RPC version 2, program, version 1,
    // procedure, AUTH_NONE credential and verifier.
    call.u32(0).u32(++xid_).u32(0).u32(2).u32(program).u32(1).u32(procedure).u32(0).u32(0).u32(0).u32(0);
    std::string bytes = call.bytes() + args;
    const std::uint32_t mark = kLastFragment | static_cast<std::uint32_t>(bytes.size() - 4);
    for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>(mark >> (24 - 8 * i));
    return send_all(bytes);
}

bool RpcConnection::read_exact(char* into, std::size_t size, std::int64_t deadlineNs, bool& timedOut) {
    for (std::size_t got = 0; got < size;) {
        const std::int64_t wait = (deadlineNs - now_ns()) / 1000000;
        if (wait <= 0) {
            timedOut = true;
            return false;
        }
        pollfd p{fd_.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(wait, INT_MAX)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return false;
        if (ready == 0) continue;
        const ssize_t n = ::recv(fd_.get(), into + got, size - got, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

Wire RpcConnection::call(std::uint32_t program, std::uint32_t procedure, const std::string& args,
                         std::int64_t deadlineNs) {
    results_.clear();
    if (!send_only(program, procedure, args)) {
        fd_.reset();
        return Wire::closed;
    }
    const std::uint32_t xid = xid_;
    for (;;) {
        // One record: fragments until the last.
        std::string record;
        bool timedOut = false;
        for (bool last = false; !last;) {
            char mark[4];
            if (!read_exact(mark, 4, deadlineNs, timedOut)) {
                fd_.reset();
                return timedOut ? Wire::timeout : Wire::closed;
            }
            const std::uint32_t m = be32(mark);
            last = (m & kLastFragment) != 0;
            const std::size_t size = m & ~kLastFragment;
            if (record.size() + size > kMaxReply) {
                fd_.reset();
                return Wire::rejected;
            }
            const std::size_t at = record.size();
            record.resize(at + size);
            if (!read_exact(record.data() + at, size, deadlineNs, timedOut)) {
                fd_.reset();
                return timedOut ? Wire::timeout : Wire::closed;
            }
        }
        XdrIn in(record);
        const std::uint32_t replyXid = in.u32();
        const std::uint32_t type = in.u32();
        if (!in.ok() || type != 1 || replyXid != xid) continue;  // not the reply to this call
        if (in.u32() != 0) return Wire::rejected;                // MSG_DENIED
        in.u32();                                                // verifier flavour
        in.opaque(400);                                          // verifier body
        if (in.u32() != 0 || !in.ok()) return Wire::rejected;    // accept status
        const std::size_t headerSize = 24 + ((be32(record.data() + 16) + 3) & ~3u);
        results_ = record.substr(std::min(headerSize, record.size()));
        return Wire::ok;
    }
}

LinkReply create_link(RpcConnection& c, std::int32_t clientId, bool lockDevice, std::uint32_t lockTimeoutMs,
                      const std::string& device, std::int64_t deadlineNs) {
    XdrOut args;
    args.i32(clientId).u32(lockDevice ? 1 : 0).u32(lockTimeoutMs).opaque(device);
    LinkReply reply;
    reply.wire = c.call(kCoreProgram, kCreateLink, args.bytes(), deadlineNs);
    if (reply.wire != Wire::ok) return reply;
    XdrIn in(c.results());
    reply.error = in.i32();
    reply.lid = in.i32();
    reply.abortPort = in.u32();
    reply.maxRecvSize = in.u32();
    if (!in.ok()) reply.wire = Wire::rejected;
    return reply;
}

WriteReply device_write(RpcConnection& c, std::int32_t lid, std::uint32_t ioTimeoutMs, std::uint32_t lockTimeoutMs,
                        std::int32_t flags, std::string_view data, std::int64_t deadlineNs) {
    XdrOut args;
    args.i32(lid).u32(ioTimeoutMs).u32(lockTimeoutMs).i32(flags).opaque(data);
    WriteReply reply;
    reply.wire = c.call(kCoreProgram, kDeviceWrite, args.bytes(), deadlineNs);
    if (reply.wire != Wire::ok) return reply;
    XdrIn in(c.results());
    reply.error = in.i32();
    reply.size = in.u32();
    if (!in.ok()) reply.wire = Wire::rejected;
    return reply;
}

std::string read_args(std::int32_t lid, std::uint32_t requestSize, std::uint32_t ioTimeoutMs,
                      std::uint32_t lockTimeoutMs, std::int32_t flags, char termChar) {
    XdrOut args;
    args.i32(lid).u32(requestSize).u32(ioTimeoutMs).u32(lockTimeoutMs).i32(flags).u32(
        static_cast<unsigned char>(termChar));
    return args.bytes();
}

ReadReply device_read(RpcConnection& c, const std::string& args, std::int64_t deadlineNs) {
    ReadReply reply;
    reply.wire = c.call(kCoreProgram, kDeviceRead, args, deadlineNs);
    if (reply.wire != Wire::ok) return reply;
    XdrIn in(c.results());
    reply.error = in.i32();
    reply.reason = in.i32();
    reply.data = in.opaque(kMaxReply);
    if (!in.ok()) reply.wire = Wire::rejected;
    return reply;
}

ErrorReply device_generic(RpcConnection& c, Procedure procedure, std::int32_t lid, std::int32_t flags,
                          std::uint32_t lockTimeoutMs, std::uint32_t ioTimeoutMs, std::int64_t deadlineNs) {
    XdrOut args;
    args.i32(lid).i32(flags).u32(lockTimeoutMs).u32(ioTimeoutMs);
    return error_only(c, c.call(kCoreProgram, procedure, args.bytes(), deadlineNs));
}

ErrorReply device_lock(RpcConnection& c, std::int32_t lid, std::int32_t flags, std::uint32_t lockTimeoutMs,
                       std::int64_t deadlineNs) {
    XdrOut args;
    args.i32(lid).i32(flags).u32(lockTimeoutMs);
    return error_only(c, c.call(kCoreProgram, kDeviceLock, args.bytes(), deadlineNs));
}

ErrorReply link_call(RpcConnection& c, std::uint32_t program, Procedure procedure, std::int32_t lid,
                     std::int64_t deadlineNs) {
    XdrOut args;
    args.i32(lid);
    return error_only(c, c.call(program, procedure, args.bytes(), deadlineNs));
}

}  // namespace tavlib::stress::vxi11
