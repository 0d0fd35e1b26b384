// SHA-256 (FIPS 180-4), for the trace's digest of the bytes beyond its data
// limit.  The library carries its own: the DLL and the 32-bit Linux build
// link no cryptographic library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tavlib::trace {

class Sha256 {
public:
    Sha256() noexcept;
    void update(const void* data, std::size_t size) noexcept;
    // The digest of everything given; the object is spent afterwards.
    std::array<std::uint8_t, 32> finish() noexcept;

private:
    void compress(const std::uint8_t* block) noexcept;

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> block_{};
    std::size_t filled_ = 0;
    std::uint64_t total_ = 0;  // bytes given
};

// The digest of `size` bytes as 64 lower-case hex digits.
std::string sha256_hex(const void* data, std::size_t size);

}  // namespace tavlib::trace
