// One record of the library's I/O trace (docs/TRACE.md), parsed and
// checked: the reader of `tavctl trace` and `tavctl twin`.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "result_codes.h"

namespace tavlib::trace {

// The record version this reader knows.
inline constexpr std::uint64_t kRecordVersion = 1;

// A line that is not a record this reader accepts; what() says why, without
// the place (the reader adds it).
class RecordError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Call { Start, Open, Close, Write, Read, Scmd, Conf, End };

// "start", "Open_Tavril", ..., "end": the record's own spelling.
std::string_view call_name(Call call);
// The function of a call record; nullopt for start and end.
std::optional<tools::Function> function_of(Call call);

// A block of bytes written or read.  `bytes` holds what the trace kept: all
// `length` bytes, or only the first ones when the block was longer than the
// trace's data limit (then `restSha256` names the rest).
struct Block {
    std::uint64_t length = 0;
    std::string bytes;
    std::optional<std::string> restSha256;

    bool whole() const { return bytes.size() == length; }
};

struct Identity {
    std::string model;
    std::string serialNumber;
    std::string firmwareVersion;
    bool operator==(const Identity&) const = default;
};

struct Record {
    std::uint64_t seq = 0;
    std::string time;           // as written, "2026-12-09T20:38:15.123456Z"
    std::int64_t timeUs = 0;    // the same, microseconds since 1970 (UTC)
    std::uint64_t monoUs = 0;
    std::int64_t pid = 0;
    std::int64_t tid = 0;
    Call call = Call::Start;

    // start
    std::string library;
    std::string platform;
    std::uint64_t dataLimit = 0;
    std::uint64_t maxBytesLimit = 0;  // start and end: the trace's bound
    // end
    std::string reason;

    // the calls
    std::uint64_t durUs = 0;
    std::optional<std::uint32_t> slot;
    std::optional<std::string> handle;
    std::int32_t result = 0;
    std::uint32_t error = 0;           // 0 also when the record says null
    std::optional<Identity> identity;  // Open, Conf
    std::optional<std::string> idn;    // Open, Conf
    std::uint32_t timeout = 0;         // Write, Read
    std::uint32_t writeTimeout = 0;    // Scmd
    std::uint32_t readTimeout = 0;     // Scmd
    std::uint32_t maxBytes = 0;        // Read, Scmd
    std::int32_t mode = 0;             // Read, Scmd
    std::uint32_t bytesWritten = 0;    // Write
    std::uint32_t bytesRead = 0;       // Read
    std::optional<Block> text;         // Write: the text given
    std::optional<Block> data;         // Read: what it delivered
    std::optional<Block> command;      // Scmd
    std::optional<Block> response;     // Scmd

    std::int64_t end_us() const { return timeUs + static_cast<std::int64_t>(durUs); }
    bool is_call() const { return call != Call::Start && call != Call::End; }
};

// Parses one line (without its line end).  Throws RecordError for a line
// that is not JSON, not an object, lacks a member its call needs, holds one
// of the wrong type or range, or has a version other than kRecordVersion.
// Members this reader does not know are ignored.
Record parse_record(std::string_view line);

// "2026-12-09T20:38:15.123456Z" as microseconds since 1970; nullopt when it
// is not that form.
std::optional<std::int64_t> parse_time(std::string_view text);

}  // namespace tavlib::trace
