// Small text helpers of the control channel and the trace.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavlib::sim {

// Words separated by blanks or tabs.
std::vector<std::string_view> split_words(std::string_view line);
// Pieces separated by `sep`; empty pieces are kept.
std::vector<std::string_view> split(std::string_view text, char sep);
// A decimal number, or hexadecimal with 0x, that fits 32 bits.
std::optional<std::uint32_t> parse_u32(std::string_view text);

// Decodes \r \n \t \0 \\ \xHH.  Returns nullopt on a bad escape.
std::optional<std::string> unescape(std::string_view text);
// Shows bytes as printable text: \r \n \t \\ \" and \xHH for the rest;
// at most `limit` input bytes, then "...".
std::string escape(std::string_view bytes, std::size_t limit = SIZE_MAX);

}  // namespace tavlib::sim
