// A twin of the instrument that traces spoke to: every command with the
// answers it got, in the order they came, as a simulator definitions file
// (simulator/README.md) that tavril-sim replays.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "instrument.h"
#include "trace_reader.h"

namespace tavlib::trace {

struct TwinOptions {
    std::string name = "twin";            // the instrument's name in the file
    std::optional<std::uint32_t> slot;    // only the calls on this slot
};

// One command line and what the instrument did with it.
struct TwinCommand {
    std::string line;
    // The answers in the order given, repeats at the end folded into one:
    // one answer for a command that always answered alike.
    std::vector<sim::Reply> replies;
    std::size_t times = 0;         // answers seen
    std::size_t delays = 0;        // of them, answers whose delay was measured
    double medianMs = 0;           // their median delay, before rounding
    bool firstLineOnly = false;    // every answer was read in line mode: its first line only
    Place first;                   // where it was first sent
};

struct Twin {
    std::string name;
    std::string identity;        // the answer to "*IDN?", without CR LF
    Place identityPlace;
    std::vector<std::string> sources;  // "run.trace (120 records)"
    std::vector<TwinCommand> commands;  // in the order first sent
    // The instrument's answer to a command it does not know, when one was
    // seen, and the commands that got it.
    std::optional<sim::Reply> unknown;
    std::vector<std::string> unknownFor;
    // What the traces held that the twin leaves out, with its place.
    std::vector<std::string> notes;
};

// Reads the traces and pairs each command with its answers.  Throws
// TraceError for input that cannot make a twin: a bad trace, traces of two
// instruments, no identity, a block the trace kept only in part.
Twin make_twin(const std::vector<std::string>& files, const TwinOptions& options);

// The same from traces read already: the records of each and its name.
struct TraceInput {
    std::string name;
    std::vector<Entry> entries;
};
Twin make_twin(const std::vector<TraceInput>& traces, const TwinOptions& options);

// The definitions file of the twin.
std::string twin_definitions(const Twin& twin);

// Loads `text` with the simulator's own parser and compares what it means
// with the twin; empty when they agree, else what differs.
std::string check_definitions(const Twin& twin, const std::string& text);

// Writes `text` to `path` whole or not at all: into a new file beside it,
// renamed over `path` at the end.  Throws std::runtime_error naming the
// path and the system's reason.
void write_whole_file(const std::string& path, const std::string& text);

}  // namespace tavlib::trace
