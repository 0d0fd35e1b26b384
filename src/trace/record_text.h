// The pieces of a trace record's text (docs/TRACE.md): JSON strings, data
// blocks (text, base64, the digest of what lies beyond the data limit), UTC
// times, and the settings' numbers and file name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavlib::trace {

// Whether a block is shown as text: every byte printable ASCII, a tab, CR
// or LF.
bool is_text(const unsigned char* bytes, std::size_t size) noexcept;

// `size` bytes as a JSON string, quotes included: \" \\ \r \n \t, and \u00XX
// for every other byte outside printable ASCII (a byte above 0x7F stands
// for the code point of its value).
void append_string(std::string& out, const void* bytes, std::size_t size);

void append_base64(std::string& out, const unsigned char* bytes, std::size_t size);

// A data block: {"len":N,"text":"..."} or {"len":N,"base64":"..."}; beyond
// `limit` bytes only the first `limit` are shown, and "kept" and
// "rest_sha256" (the digest of the bytes after them) follow.
void append_data(std::string& out, const void* bytes, std::size_t size, std::uint64_t limit);

// A number in decimal digits.
void append_number(std::string& out, std::uint64_t value);

// "2026-12-09T20:38:15.123456Z" for microseconds since 1970-01-01 UTC.
void append_utc_time(std::string& out, std::int64_t microseconds);

// The decimal number of a setting; false for anything else (empty, a sign,
// other characters, a value beyond 64 bits).
bool parse_count(std::string_view text, std::uint64_t* value) noexcept;

// The file name with every "%p" replaced by the process id.
std::string expand_process_id(std::string_view pattern, std::uint32_t processId);

}  // namespace tavlib::trace
