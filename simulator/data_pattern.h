// The byte pattern of sized responses ("DATA? N" and `size:` in the
// definitions file).  Header-only so that tests can rebuild the expected
// bytes.
//
// A response of N bytes (N >= 2) is N - 2 pattern bytes followed by CR LF.
// Pattern byte i is kDataPatternAlphabet[i % 61].  The period, 61, shares no
// factor with 65,536, so a chunk lost, repeated or swapped in a transfer of
// 64 KiB shows up as a mismatch.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavlib::sim {

inline constexpr std::string_view kDataPatternAlphabet =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxy";
static_assert(kDataPatternAlphabet.size() == 61);

inline constexpr std::size_t kMinDataSize = 2;
inline constexpr std::size_t kMaxDataSize = 64u * 1024u * 1024u;

inline std::string data_pattern(std::size_t size) {
    std::string out;
    if (size < kMinDataSize) return out;
    out.resize(size);
    for (std::size_t i = 0; i + 2 < size; ++i)
        out[i] = kDataPatternAlphabet[i % kDataPatternAlphabet.size()];
    out[size - 2] = '\r';
    out[size - 1] = '\n';
    return out;
}

}  // namespace tavlib::sim
