#include "xdr.h"

namespace tavlib::gateway::vxi11 {

bool XdrReader::fail() {
    failed_ = true;
    return false;
}

bool XdrReader::take(std::size_t size, ByteView& out) {
    if (failed_ || size > remaining()) return fail();
    out = bytes_.subspan(at_, size);
    at_ += size;
    return true;
}

bool XdrReader::u32(std::uint32_t& value) {
    value = 0;
    ByteView four;
    if (!take(4, four)) return false;
    value = std::uint32_t{four[0]} << 24 | std::uint32_t{four[1]} << 16 |
            std::uint32_t{four[2]} << 8 | std::uint32_t{four[3]};
    return true;
}

bool XdrReader::i32(std::int32_t& value) {
    std::uint32_t raw = 0;
    const bool read = u32(raw);
    value = static_cast<std::int32_t>(raw);
    return read;
}

bool XdrReader::boolean(bool& value) {
    std::uint32_t raw = 0;
    value = false;
    if (!u32(raw)) return false;
    if (raw > 1) return fail();
    value = raw == 1;
    return true;
}

bool XdrReader::opaque(ByteView& value, std::size_t maxSize) {
    value = {};
    std::uint32_t size = 0;
    if (!u32(size)) return false;
    // The size is compared before it is rounded up, which could wrap.
    if (size > maxSize || size > remaining() || xdr_padded(size) > remaining()) return fail();
    ByteView padded;
    take(xdr_padded(size), padded);
    // The padding's content is not checked, as other XDR decoders do not.
    value = padded.first(size);
    return true;
}

bool XdrReader::string(std::string& value, std::size_t maxSize) {
    value.clear();
    ByteView bytes;
    if (!opaque(bytes, maxSize)) return false;
    value.assign(bytes.begin(), bytes.end());
    return true;
}

bool XdrReader::skip_opaque(std::size_t maxSize) {
    ByteView ignored;
    return opaque(ignored, maxSize);
}

void XdrWriter::u32(std::uint32_t value) {
    bytes_.push_back(static_cast<std::uint8_t>(value >> 24));
    bytes_.push_back(static_cast<std::uint8_t>(value >> 16));
    bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes_.push_back(static_cast<std::uint8_t>(value));
}

void XdrWriter::opaque(ByteView value) {
    u32(static_cast<std::uint32_t>(value.size()));
    bytes_.insert(bytes_.end(), value.begin(), value.end());
    bytes_.resize(bytes_.size() + (xdr_padded(value.size()) - value.size()), 0);
}

void XdrWriter::string(std::string_view value) {
    opaque(ByteView(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
}

void XdrWriter::put_u32_at(std::size_t offset, std::uint32_t value) {
    if (offset + 4 > bytes_.size()) return;
    bytes_[offset] = static_cast<std::uint8_t>(value >> 24);
    bytes_[offset + 1] = static_cast<std::uint8_t>(value >> 16);
    bytes_[offset + 2] = static_cast<std::uint8_t>(value >> 8);
    bytes_[offset + 3] = static_cast<std::uint8_t>(value);
}

}  // namespace tavlib::gateway::vxi11
