#include "tavlib/driver_wire.h"

#include <cstring>

namespace tavlib::wire {

namespace {

std::string type_name(std::uint32_t type) {
    switch (type) {
        case kWrite: return "WRITE";
        case kRead: return "READ";
        case kCancel: return "CANCEL";
        case kIoctl: return "IOCTL";
        case kComplete: return "COMPLETE";
        default: return std::to_string(type);
    }
}

// The header and payload of `size` bytes at `data`, not yet checked beyond
// their lengths.
Message split(const void* data, std::size_t size) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(data);
    Message m;
    m.header = decode_header(bytes, size);
    m.size = size;
    if (size < kHeaderSize) {
        m.fault = Fault::kShort;
    } else {
        m.payload =
            std::string_view(static_cast<const char*>(data) + kHeaderSize, size - kHeaderSize);
        if (size > kMaxMessage) m.fault = Fault::kLong;
    }
    return m;
}

Fault request_fault(const Header& h, std::size_t payloadSize) noexcept {
    switch (h.type) {
        case kWrite:
            if (h.arg == 0 || h.arg > kMaxTransfer) return Fault::kWriteSize;
            if (payloadSize != h.arg) return Fault::kWritePayload;
            break;
        case kRead:
            if (h.arg > kMaxTransfer) return Fault::kReadCapacity;
            if (payloadSize != 0) return Fault::kPayload;
            break;
        case kCancel:
            if (h.arg != 0) return Fault::kCancelArg;
            if (payloadSize != 0) return Fault::kPayload;
            break;
        case kIoctl:
            if (payloadSize != 0) return Fault::kPayload;
            break;
        default:
            return Fault::kUnknownType;
    }
    if (h.count != 0) return Fault::kCount;
    if (h.id == 0) return Fault::kIdZero;
    return Fault::kNone;
}

}  // namespace

std::string message(const Header& h, std::string_view payload) {
    std::string datagram(kHeaderSize + payload.size(), '\0');
    encode(h, reinterpret_cast<unsigned char*>(datagram.data()));
    if (!payload.empty())
        std::memcpy(datagram.data() + kHeaderSize, payload.data(), payload.size());
    return datagram;
}

Message decode_request(const void* data, std::size_t size) noexcept {
    Message m = split(data, size);
    if (m.fault == Fault::kNone) m.fault = request_fault(m.header, m.payload.size());
    return m;
}

Message decode_completion(const void* data, std::size_t size) noexcept {
    Message m = split(data, size);
    if (m.fault == Fault::kNone && m.header.type != kComplete) m.fault = Fault::kUnknownType;
    return m;
}

std::string describe(const Message& m) {
    if (m.fault == Fault::kNone) return {};
    const Header& h = m.header;
    const std::string n = std::to_string(h.arg);
    const std::string carried = std::to_string(m.payload.size());
    const std::string largest = std::to_string(kMaxTransfer);
    switch (m.fault) {
        case Fault::kNone: return {};
        case Fault::kShort:
            return "message of " + std::to_string(m.size) + " bytes is shorter than the " +
                   std::to_string(kHeaderSize) + "-byte header";
        case Fault::kLong: return "message longer than " + std::to_string(kMaxMessage) + " bytes";
        case Fault::kUnknownType: return "unknown message type " + std::to_string(h.type);
        case Fault::kWriteSize: return "WRITE with n=" + n + ", outside 1.." + largest;
        case Fault::kWritePayload: return "WRITE with n=" + n + " carries " + carried + " bytes";
        case Fault::kReadCapacity: return "READ with capacity " + n + ", above " + largest;
        case Fault::kPayload: return type_name(h.type) + " carries " + carried + " payload bytes";
        case Fault::kCancelArg: return "CANCEL with arg=" + n + ", not 0";
        case Fault::kCount: return "count field is " + std::to_string(h.count) + ", not 0";
        case Fault::kIdZero: return "request id 0";
        case Fault::kCountAboveLimit:
            return "COMPLETE with count=" + std::to_string(h.count) + ", above its request's limit";
        case Fault::kCompletePayload:
            return "COMPLETE with status " + n + " and count=" + std::to_string(h.count) +
                   " carries " + carried + " bytes";
    }
    return {};
}

}  // namespace tavlib::wire
