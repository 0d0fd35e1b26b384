// The lines that the clients of `tavlib-stress gateway` send, the answers
// the instrument of gateway-instrument.yaml gives them, and what a message
// that answers none of a client's lines is: whose it is, or no message of
// the instrument at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavlib::stress::gateway {

// Who sent a line: its port, the client on it, and the client's sequence
// number (counted over all the client's connections).
struct Tag {
    int port = 0;
    int client = 0;
    std::uint64_t seq = 0;
};

// mirror: the port's identity as a line, which the echo sends back as the
// identity itself.
enum class Kind { query, setting, echo, reset, pair, slow, identity, mirror, data };
const char* kind_name(Kind kind);

// One line sent, and the messages of its answer as the client gets them
// (each without its LF).
struct Line {
    Kind kind = Kind::query;
    std::uint64_t seq = 0;
    std::string text;               // without its LF
    std::vector<std::string> want;  // literal messages
    std::size_t dataSize = 0;       // DATA? N: N; its one message is N - 2 pattern bytes
    std::size_t got = 0;            // messages received so far
    std::int64_t sentNs = 0;
    std::int64_t laterSentNs = 0;   // when the client sent a line after it while it waited
    bool late = false;              // reported as answered late
    bool excused = false;           // its answer may be lost (an abort, a refused write), or have
                                    // gone to an earlier line that lost its own

    std::size_t expected() const { return dataSize != 0 ? 1 : want.size(); }
    bool complete() const { return got == expected(); }
    // Whether `message` is the next message of this line's answer.
    bool next_is(std::string_view message) const;
    // Whether `message` ends with the next message of this line's answer,
    // after other bytes: what is left of an answer cut short, then this one.
    bool next_ends(std::string_view message) const;
    // Whether `message` is a piece (or nothing) of this line's text or of
    // one of its answer's messages: what is left of either after a loss.
    bool holds_piece(std::string_view message) const;
    // "Q0.1.5?" or "DATA? 123456", as a violation shows it.
    std::string shown() const;
};

// A message that names no line (PAIR ONE, SLOW DONE, an identity) goes to
// the first outstanding line it may answer, `match`.  When that line's own
// answer may have been lost (`mayHaveLost`: it was sent in a fault or a
// removal), the message may be a later line's instead: the later lines it
// may answer are excused from counting as lost.
void excuse_later_candidates(std::deque<Line>& outstanding, std::deque<Line>::iterator match,
                             std::string_view message, bool mayHaveLost);

// The line of kind `kind` with this tag; `identity` is what the port's
// instrument answers to *IDN?, `dataSize` the N of a DATA? line, `echoSize`
// the payload length of an echo line.
Line make_line(Kind kind, const Tag& tag, const std::string& identity, std::size_t dataSize,
               std::size_t echoSize);

// The message the gateway sends a client it turns away.
std::string busy_line(int slot);
// The unsolicited message the simulator is told to push for a port.
std::string unsolicited_text(int port, std::uint64_t number);
// The identity of the instrument of device number `device`.
std::string identity_text(std::uint32_t device);
std::string serial_of(std::string_view identity);

// A message that answers none of the client's outstanding lines, read.
struct Stray {
    enum class Is {
        unsolicited,    // output the instrument sent unasked: allowed
        busy,           // the busy line
        tagged,         // a tagged answer; `tag` tells whose
        identity,       // an identity; `serial` tells whose
        fixed,          // the answer of PAIR? or SLOW?
        data,           // pattern bytes of a DATA? answer
        not_a_message,  // none of the instrument's messages, whole
    };
    Is is = Is::not_a_message;
    Tag tag;
    std::string serial;
    int slot = -1;  // busy: the slot it names; unsolicited: the port
    std::uint64_t number = 0;  // unsolicited: its number
};
Stray read_stray(std::string_view message);
// The front of an unsolicited message (or all of it).
bool unsolicited_front(std::string_view piece);

// The pattern bytes of DATA? answers up to `maxSize`.
void prepare_pattern(std::size_t maxSize);

// A message shortened for a report.
std::string shown(std::string_view message);

}  // namespace tavlib::stress::gateway
