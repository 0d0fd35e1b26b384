// The byte pattern of sized responses ("DATA? N" and `size:` in the
// definitions file).  Header-only so that tests can rebuild the expected
// bytes.
//
// A response of N bytes (N >= 2) is N - 2 pattern bytes followed by CR LF.
// Pattern byte i is kDataPatternAlphabet[i % 61].  The period, 61, shares no
// factor with 65,536, so a chunk lost, repeated or swapped in a transfer of
// 64 KiB shows up as a mismatch.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace tavlib::sim {

inline constexpr std::string_view kDataPatternAlphabet =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxy";
static_assert(kDataPatternAlphabet.size() == 61);

inline constexpr std::size_t kMinDataSize = 2;
inline constexpr std::size_t kMaxDataSize = 64u * 1024u * 1024u;

// Copies pattern bytes [offset, offset + n) to `out`.  The bytes come from
// one block of whole periods, made once and small enough to stay in cache,
// which holds any 64 KiB run in one piece: serving a sized response costs a
// copy per transfer, not generating it nor holding it whole.
inline void copy_data_pattern(std::size_t offset, std::size_t n, char* out) {
    constexpr std::size_t kPeriod = kDataPatternAlphabet.size();
    static const std::string block = [] {
        std::string b(kPeriod * (65536 / kPeriod + 2), '\0');
        for (std::size_t i = 0; i < b.size(); ++i) b[i] = kDataPatternAlphabet[i % kPeriod];
        return b;
    }();
    while (n > 0) {
        const std::size_t start = offset % kPeriod;
        const std::size_t k = std::min(n, block.size() - start);
        std::memcpy(out, block.data() + start, k);
        out += k;
        offset += k;
        n -= k;
    }
}

inline std::string data_pattern(std::size_t size) {
    std::string out;
    if (size < kMinDataSize) return out;
    out.resize(size);
    copy_data_pattern(0, size - 2, out.data());
    out[size - 2] = '\r';
    out[size - 1] = '\n';
    return out;
}

}  // namespace tavlib::sim
