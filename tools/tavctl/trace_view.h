// tavctl's views of an I/O trace: the table of calls and the summary per
// command.  No device is touched.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "trace_reader.h"

namespace tavlib::tavctl {

struct TraceFilter {
    std::optional<std::uint32_t> slot;  // only the calls on this slot
    bool errorsOnly = false;            // only failures and time-outs

    // Whether the record belongs in the view.  Start and end records show
    // unless only errors are asked for; with a slot, only its calls.
    bool admits(const trace::Record& record) const;
};

// The column titles, then one line per record.
std::string trace_table_header();
std::string trace_table_row(const trace::Record& record);

// "83 us", "150.2 ms", "2.000 s".
std::string format_duration(double microseconds);

// Per command: how often it was sent, the results it got and its latency
// (p50, p95, max).  A Scmd_Tavril counts with its duration; a Write_Tavril
// with the end of the Read_Tavril after it on the same handle.
class TraceSummary {
public:
    void add(const trace::Entry& entry);
    void print(std::ostream& out) const;

private:
    struct Row {
        std::size_t count = 0;
        std::map<std::string, std::size_t> results;  // "0", "40", "-5 TAVRIL_SCMD_READ_TIMEOUT", "no read"
        std::vector<double> latenciesUs;
        std::size_t order = 0;
    };
    struct PendingWrite {
        std::string key;
        std::int64_t startUs = 0;
    };
    Row& row(const std::string& key);
    void settle(const std::tuple<std::int64_t, std::string>& handle, const char* result,
                std::optional<double> latencyUs);

    std::map<std::string, Row> rows_;
    std::map<std::tuple<std::int64_t, std::string>, PendingWrite> pending_;
};

}  // namespace tavlib::tavctl
