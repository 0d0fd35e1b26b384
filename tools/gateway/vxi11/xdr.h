// XDR (RFC 4506) over byte spans: the encoding of every ONC RPC message.
//
// The reader never throws and never reads past its span: a short or bad
// input (a length over its limit, a boolean that is neither 0 nor 1) makes
// it fail, and once failed every later read fails too, so a decoder may
// read a whole structure and test ok() once at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavlib::gateway::vxi11 {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Items are whole multiples of 4 bytes; opaque data and strings are padded.
constexpr std::size_t xdr_padded(std::size_t size) { return (size + 3) & ~std::size_t{3}; }

class XdrReader {
public:
    explicit XdrReader(ByteView bytes) : bytes_(bytes) {}

    bool u32(std::uint32_t& value);
    bool i32(std::int32_t& value);
    bool boolean(bool& value);  // 0 or 1; anything else fails
    // Variable-length opaque data of at most `maxSize` bytes: `value` views
    // the input (valid while the input is).
    bool opaque(ByteView& value, std::size_t maxSize);
    bool string(std::string& value, std::size_t maxSize);
    // Skips variable-length opaque data of at most `maxSize` bytes.
    bool skip_opaque(std::size_t maxSize);

    bool ok() const { return !failed_; }
    std::size_t remaining() const { return bytes_.size() - at_; }
    // What has not been read yet (empty once failed).
    ByteView rest() const { return failed_ ? ByteView{} : bytes_.subspan(at_); }

private:
    bool take(std::size_t size, ByteView& out);
    bool fail();

    ByteView bytes_;
    std::size_t at_ = 0;
    bool failed_ = false;
};

class XdrWriter {
public:
    void u32(std::uint32_t value);
    void i32(std::int32_t value) { u32(static_cast<std::uint32_t>(value)); }
    void boolean(bool value) { u32(value ? 1 : 0); }
    void opaque(ByteView value);
    void string(std::string_view value);
    // Overwrites 4 bytes written earlier (a length or a record mark).
    void put_u32_at(std::size_t offset, std::uint32_t value);

    std::size_t size() const { return bytes_.size(); }
    const Bytes& bytes() const { return bytes_; }
    Bytes take() { return std::move(bytes_); }

private:
    Bytes bytes_;
};

}  // namespace tavlib::gateway::vxi11
