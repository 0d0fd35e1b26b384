// Cuts what a client sends into command lines.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tavlib::gateway {

// A line ends at LF; one CR right before the LF belongs to the line end.
// Empty lines are skipped.  A line longer than the limit (its line end not
// counted) ends the intake: nothing after it is taken.
class LineIntake {
public:
    explicit LineIntake(std::size_t maxLine) : maxLine_(maxLine) {}

    struct Line {
        std::string text;
        bool holdsNul = false;  // a NUL byte inside: not to be sent
    };

    void feed(std::string_view bytes);
    // The next whole line, if one has come.
    std::optional<Line> next();
    // True once a line went over the limit.
    bool overlong() const { return overlong_; }
    // Bytes taken that belong to no whole line yet.
    std::size_t pending() const { return buffer_.size() - start_; }

private:
    std::size_t maxLine_;
    std::string buffer_;
    std::size_t start_ = 0;    // where the first line not yet given starts
    std::size_t scanned_ = 0;  // bytes from start_ on known to hold no LF
    bool overlong_ = false;
};

}  // namespace tavlib::gateway
