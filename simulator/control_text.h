// The simulator's control text: the words of a control line, and the codec
// that carries bytes in it.  A target of its own with no dependencies, shared
// by the simulator, its test client and tavctl (which shows bytes the same
// way).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavlib::sim {

// How long the control command `wait DEV CONDITION` waits when its line names
// no time-out ("timeout=MS"): the simulator's default and its test client's.
inline constexpr std::uint32_t kDefaultWaitMs = 10000;

// Words separated by blanks or tabs.
std::vector<std::string_view> split_words(std::string_view line);
// Pieces separated by `sep`; empty pieces are kept.
std::vector<std::string_view> split(std::string_view text, char sep);
// A decimal number, or hexadecimal with 0x, that fits 32 bits.
std::optional<std::uint32_t> parse_u32(std::string_view text);

// Decodes \r \n \t \0 \s \\ \xHH.  Returns nullopt on a bad escape.
std::optional<std::string> unescape(std::string_view text);
// The text that unescape() turns back into `bytes`, on one line: printable
// bytes as they are but for the backslash, the rest as \xHH.  For bytes
// sent on a control line (the text at the end of `push`, `identity`).
std::string encode(std::string_view bytes);

// The instrument's CR LF line ends as LF, every other byte as it is.
std::string to_lf_line_ends(std::string_view message);

// Whether `text` is base64 as the definitions file and the library's trace
// carry bytes: groups of four characters of the standard alphabet, with '='
// padding in the last group only.  Checked before decoding: yaml-cpp's
// decoder reads outside its table on other bytes.
bool is_base64(std::string_view text);

enum class HexDigits { kUpper, kLower };
// Shows bytes as printable text: \r \n \t \\ \" and \xHH for the rest;
// at most `limit` input bytes, then "...".  For people, not for unescape().
std::string escape(std::string_view bytes, std::size_t limit = SIZE_MAX, HexDigits digits = HexDigits::kUpper);

}  // namespace tavlib::sim
