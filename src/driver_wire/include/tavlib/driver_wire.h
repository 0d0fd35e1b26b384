// The messages between the library's Linux platform layer and a user-space
// driver (the simulator is one), for both ends and for every test, fuzz
// target and benchmark that speaks them.
//
// One message is one SOCK_SEQPACKET datagram: a header of four
// little-endian unsigned 32-bit words (type, id, arg, count), then the
// payload, if any.  This header encodes, decodes and checks messages in that
// layout whatever the host's byte order.  It does no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavlib::wire {

inline constexpr std::size_t kHeaderSize = 16;
// The most bytes one WRITE carries and one READ asks for.
inline constexpr std::uint32_t kMaxTransfer = 65536;
// The longest message either side sends.
inline constexpr std::size_t kMaxMessage = kHeaderSize + kMaxTransfer;

enum MessageType : std::uint32_t {
    kWrite = 1,       // id, arg = n (1..65536), payload = the n bytes
    kRead = 2,        // id, arg = capacity (0..65536)
    kCancel = 3,      // id of the request to cancel, arg 0; no reply
    kIoctl = 4,       // id, arg = control code
    kComplete = 0x81  // id, arg = Win32 status, count = bytes moved; a READ's payload
};

// A COMPLETE's status is a Win32 code, which the library passes on as the
// request's result.  The codes the driver contract itself uses:
inline constexpr std::uint32_t kStatusSuccess = 0;           // done; count bytes moved
inline constexpr std::uint32_t kStatusInvalidFunction = 1;   // an IOCTL of an unknown code
inline constexpr std::uint32_t kStatusCancelled = 995;       // ended by CANCEL or a recovery
// Any other status (a fault, a failed recovery) is the driver's own Win32
// code, passed on as it is.

struct Header {
    std::uint32_t type = 0;
    std::uint32_t id = 0;
    std::uint32_t arg = 0;
    std::uint32_t count = 0;
};

using HeaderBytes = std::array<unsigned char, kHeaderSize>;

// One word in its four bytes, least significant first.  Written out byte by
// byte, which the compiler turns into a single store or load on a
// little-endian host.
constexpr void put_word(std::uint32_t v, unsigned char* out) noexcept {
    out[0] = static_cast<unsigned char>(v);
    out[1] = static_cast<unsigned char>(v >> 8);
    out[2] = static_cast<unsigned char>(v >> 16);
    out[3] = static_cast<unsigned char>(v >> 24);
}

constexpr std::uint32_t get_word(const unsigned char* in) noexcept {
    return std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 |
           std::uint32_t{in[3]} << 24;
}

constexpr void encode(const Header& h, unsigned char* out) noexcept {
    put_word(h.type, out);
    put_word(h.id, out + 4);
    put_word(h.arg, out + 8);
    put_word(h.count, out + 12);
}

constexpr HeaderBytes encode(const Header& h) noexcept {
    HeaderBytes bytes{};
    encode(h, bytes.data());
    return bytes;
}

// The header of a message of `size` bytes that starts at `bytes`: the words
// it holds whole, 0 for those it lacks.  Reads at most min(size, 16) bytes.
// A message too short to hold an id decodes with id 0, which never names a
// request.
constexpr Header decode_header(const unsigned char* bytes,
                               std::size_t size = kHeaderSize) noexcept {
    if (size >= kHeaderSize)
        return {get_word(bytes), get_word(bytes + 4), get_word(bytes + 8), get_word(bytes + 12)};
    Header h;
    if (size >= 4) h.type = get_word(bytes);
    if (size >= 8) h.id = get_word(bytes + 4);
    if (size >= 12) h.arg = get_word(bytes + 8);
    return h;
}

// Header and payload as one datagram.
std::string message(const Header& h, std::string_view payload = {});

// Why a message breaks the driver interface.
enum class Fault {
    kNone,
    kShort,            // shorter than the header
    kLong,             // longer than kMaxMessage
    kUnknownType,      // a type the receiving side does not take
    kWriteSize,        // WRITE with n outside 1..65536
    kWritePayload,     // WRITE whose payload is not n bytes
    kReadCapacity,     // READ with a capacity above 65536
    kPayload,          // READ, CANCEL or IOCTL with a payload
    kCancelArg,        // CANCEL with an arg other than 0
    kCount,            // a request whose count is not 0
    kIdZero,           // a request with id 0
    kCountAboveLimit,  // COMPLETE reporting more bytes than its request allows
    kCompletePayload,  // COMPLETE whose payload is not what status and count say
};

// A message taken apart.  The payload refers to the bytes decoded.
struct Message {
    Header header;
    std::string_view payload;
    std::size_t size = 0;  // the whole message's length
    Fault fault = Fault::kNone;
};

// A message from the library to a driver (WRITE, READ, CANCEL, IOCTL), with
// the first rule it breaks, checked in this order: shorter than the header,
// longer than kMaxMessage, the rules of its type, count not 0, id 0.
Message decode_request(const void* data, std::size_t size) noexcept;

// A message from a driver to the library, with what can be checked before
// its request is known: shorter than the header, longer than kMaxMessage, not
// a COMPLETE.
Message decode_completion(const void* data, std::size_t size) noexcept;

// The checks of a COMPLETE against the request it names: `requestType`
// (kWrite, kRead or kIoctl) and `limit`, the most bytes the request may
// report (a WRITE's n, a READ's capacity).  The count must be within the
// limit; only a READ that succeeded (status 0) carries bytes, exactly
// `count` of them, and any other completion none, whatever its count.
constexpr Fault completion_fault(const Header& h, std::size_t payloadSize,
                                 std::uint32_t requestType, std::uint32_t limit) noexcept {
    if (h.count > limit) return Fault::kCountAboveLimit;
    const bool carriesBytes = requestType == kRead && h.arg == 0;
    if (payloadSize != (carriesBytes ? h.count : 0)) return Fault::kCompletePayload;
    return Fault::kNone;
}

// What is wrong with `m`, in words (empty for Fault::kNone), e.g. "WRITE
// with n=0, outside 1..65536".
std::string describe(const Message& m);

}  // namespace tavlib::wire
