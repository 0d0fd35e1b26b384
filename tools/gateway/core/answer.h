// The instrument's answer to one line, and where it ends.
//
// The instrument answers queries, but also settings and unknown commands
// (answer codes, "ERROR ..."), sometimes with several messages, and some
// commands not at all.  Nothing in its output says which line a message
// answers.  So after each line the gateway sends the identity query in the
// same write, and the instrument, which runs commands in the order they
// came, answers it after everything it had to say about the line: the
// messages before that identity are the line's answer, whole, and nothing of
// it is left to be taken for the answer to a later line.  The identity that
// ends an answer is this instrument's own (model and serial number).  The
// identity query itself is not sent twice: its own answer ends it.
//
// Where the identity query after every line is not wanted, an answer can
// instead end once the instrument has been quiet for some seconds: the read
// that waited that long ends with the library's recovery request, which drops
// whatever comes later.  Every line then costs that wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "served_instrument.h"

namespace tavlib::gateway {

struct AnswerRules {
    // 0: an answer ends at the identity sent after the line; otherwise after
    // this many seconds without output.
    std::uint32_t quietSeconds = 0;
    // The longest message passed on; a longer one is read and dropped.
    std::size_t maxResponse = 64 * 1024 * 1024;
};

// Output read only to be dropped (a departed client's answer, what waits
// before the identity exchange) stops after this many times --max-response
// bytes: an instrument that never stops sending does not hold a port for
// ever.
inline constexpr std::size_t kDropLimitFactor = 4;

// A line that might make the instrument name itself (the identity query in
// another spelling, a compound query with it, a text an echo sends back as
// the identity): its answer could hold a second identity, which would end
// it early and be taken for the mark of the next line.
bool may_name_instrument(std::string_view line);

// A message as the client gets it: its final line end (CR LF or LF) made
// one LF, or an LF added where it had none.
std::string as_sent(std::string message);

class Answer {
public:
    // Holds the open guard shared (open_guard.h) from the write until the
    // answer has ended.
    Answer(ServedInstrument& instrument, const AnswerRules& rules, std::string line);

    // Writes the line; false when that failed (logged).
    bool send();
    // From now on, the answer fails (logged) once more than `bytes` of
    // output have been read for it in all.
    void limit_output(std::uint64_t bytes) { limit_ = bytes; }
    // The next message of the answer, as the instrument sent it; nothing
    // once the answer has ended.
    std::optional<std::string> next();
    // After the end: true when the answer ended where it should, so that
    // nothing of it can still come; false when a call failed (logged).
    bool in_step() const { return inStep_; }
    // After a failure: the Win32 code it came with (0 for a time-out).
    std::uint32_t error_code() const { return errorCode_; }
    // After a failure: the call that failed, its result and code.
    const std::string& failure() const { return failure_; }
    std::string_view line() const { return line_; }

private:
    enum class Piece { message, end, failed };
    Piece read_piece(std::string& message);
    bool is_mark(std::string_view chunk) const;
    std::uint32_t next_timeout() const;
    void failed(tools::Function function, std::int32_t result, std::uint32_t errorCode);

    ServedInstrument& instrument_;
    AnswerRules rules_;
    std::string line_;
    std::optional<ServedInstrument::Hold> hold_;
    bool identityQuery_;   // the line is the identity query: its answer is the mark
    bool markSeen_ = false;
    std::string mark_;  // the identity query's answer, given out last
    bool answered_markAnswer_ = false;
    bool ended_ = false;
    bool inStep_ = false;
    bool answered_ = false;  // a message was given out
    std::uint32_t errorCode_ = 0;
    std::string failure_;
    std::uint64_t taken_ = 0;  // bytes read for this answer
    std::uint64_t limit_ = 0;  // 0: none
    // A transfer read ahead to see how the message before it ends: the next
    // piece starts with it.
    std::optional<std::string> carry_;
};

// Drops whatever output waits (unsolicited messages, what is left after a
// failure), by the identity exchange: true once the instrument's output is in
// step again.  Logs what it dropped and why the exchange failed.  When it
// failed with an error code, or another instrument answers, the instrument
// is lost (ServedInstrument::lose).
bool resync(ServedInstrument& instrument, const AnswerRules& rules, std::string_view why);

// The rest of the output asked for by what was written before, to its end:
// each message goes to `sink`.  The end is found by the identity exchange
// (the messages before the instrument's own identity), or, in quiet mode or
// when what was written may make the instrument name itself (`mayName`),
// by a time of quiet.  At most `limit` bytes are read.  True when it ended
// where it should; false when a call failed (logged).
bool take_rest(ServedInstrument& instrument, const AnswerRules& rules, bool mayName, std::uint64_t limit,
               const std::function<void(std::string)>& sink);

}  // namespace tavlib::gateway
