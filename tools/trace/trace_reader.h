// Trace files read line by line: each record with the file and line it came
// from, and every fault of the input reported at its place.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "trace_record.h"

namespace tavlib::trace {

struct Place {
    std::string file;
    std::uint64_t line = 0;

    std::string text() const { return file + ":" + std::to_string(line); }  // "run.trace:12"
};

// Input that cannot be used; what() is "FILE:LINE: why" (or "FILE: why"
// when no line is to blame).
class TraceError : public std::runtime_error {
public:
    TraceError(const Place& place, const std::string& why);
    TraceError(const std::string& file, const std::string& why);
};

struct Entry {
    Record record;
    Place place;
};

// Cuts bytes into lines as they arrive: LF ends a line, and a CR before it
// belongs to the line end.
class LineSplitter {
public:
    void feed(std::string_view bytes);
    // The next complete line, without its line end.
    std::optional<std::string> next_line();
    // The number of the line next_line() gave last (1 for the first).
    std::uint64_t line_number() const { return line_; }
    // Bytes of a line whose end has not arrived.
    std::size_t partial_bytes() const { return buffer_.size() - start_; }

private:
    std::string buffer_;
    std::size_t start_ = 0;  // where the first line not given out begins
    std::size_t scan_ = 0;   // buffer_ before this holds no LF after start_
    std::uint64_t line_ = 0;
};

// The records of one trace as its bytes arrive.
class TraceParser {
public:
    explicit TraceParser(std::string file) : file_(std::move(file)) {}

    void feed(std::string_view bytes) { lines_.feed(bytes); }
    // The next record; nullopt when no complete line is waiting.  A line
    // that is not a record throws TraceError at its place.
    std::optional<Entry> next();
    // The input has ended: throws TraceError when it ended inside a line.
    void finish() const;
    const std::string& file() const { return file_; }
    // The place of the line being waited for.
    Place next_place() const { return Place{file_, lines_.line_number() + 1}; }
    bool waiting_inside_a_line() const { return lines_.partial_bytes() > 0; }

private:
    std::string file_;
    LineSplitter lines_;
};

// Calls `each` for every record of the file, in order.  Throws TraceError
// for a file that cannot be read and for the first bad line.
void read_trace_file(const std::string& path, const std::function<void(Entry&&)>& each);

// Every record of the file.
std::vector<Entry> read_trace_file(const std::string& path);

// The instrument of a set of traces: the identity that Open_Tavril and
// Conf_Tavril records report.  see() throws TraceError at a record that
// names another instrument than the records seen before.
class InstrumentCheck {
public:
    void see(const Entry& entry);
    // "VESPARO,ZQ907,SN000001,2.4.1": the identity line, when a record held
    // one.
    const std::optional<std::string>& idn() const { return idn_; }
    const std::optional<Identity>& identity() const { return identity_; }
    const std::optional<Place>& first_place() const { return first_; }

private:
    std::optional<std::string> idn_;
    std::optional<Identity> identity_;
    std::optional<Place> first_;
};

// "model "ZQ907", serial "SN000001", firmware "2.4.1"".
std::string describe(const Identity& identity);

}  // namespace tavlib::trace
