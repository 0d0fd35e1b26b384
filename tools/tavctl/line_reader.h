// Where the lines of `tavctl shell` come from: a terminal, with GNU readline
// for editing and history, or any other input read line by line without a
// prompt (a pipe, a file).
#pragma once

#include <istream>
#include <memory>
#include <optional>
#include <string>

namespace tavlib::tavctl {

class LineReader {
public:
    virtual ~LineReader() = default;
    // The next line without its line end; nothing at the end of the input.
    virtual std::optional<std::string> next_line() = 0;
    // Called for a line that was taken, to keep it in the history.
    virtual void remember(const std::string& line) = 0;
};

// Lines of a stream, no prompt, no history.
std::unique_ptr<LineReader> stream_line_reader(std::istream& in);

// Lines typed on the terminal of stdin, with `prompt`.  The history is kept in
// memory and, when `historyFile` is given, loaded from and saved to it.
// Ctrl-C drops the line being typed; during a library call it waits for the
// call to end, so the slot is always closed on the way out.
std::unique_ptr<LineReader> terminal_line_reader(std::string prompt,
                                                 std::optional<std::string> historyFile);

}  // namespace tavlib::tavctl
