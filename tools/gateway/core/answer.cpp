#include "answer.h"

#include <cctype>

#include "log.h"

namespace tavlib::gateway {
namespace {

bool contains_folded(std::string_view text, std::string_view upper) {
    for (std::size_t at = 0; at + upper.size() <= text.size(); ++at) {
        std::size_t i = 0;
        while (i < upper.size() && std::toupper(static_cast<unsigned char>(text[at + i])) == upper[i])
            ++i;
        if (i == upper.size()) return true;
    }
    return false;
}

}  // namespace

bool may_name_instrument(std::string_view line) {
    return contains_folded(line, "IDN") || contains_folded(line, kIdentityPrefix);
}

std::string as_sent(std::string message) {
    if (message.ends_with("\r\n"))
        message.resize(message.size() - 2);
    else if (message.ends_with('\n'))
        message.pop_back();
    message += '\n';
    return message;
}

Answer::Answer(ServedInstrument& instrument, const AnswerRules& rules, std::string line)
    : instrument_(instrument),
      rules_(rules),
      line_(std::move(line)),
      hold_(std::in_place, instrument),
      identityQuery_(line_ == kIdentityQuery) {
    // Such a line ends its answer after a second of quiet instead.
    if (rules_.quietSeconds == 0 && !identityQuery_ && may_name_instrument(line_))
        rules_.quietSeconds = 1;
}

bool Answer::send() {
    std::string text = line_;
    // Write_Tavril appends CR LF to a text that holds none.
    if (rules_.quietSeconds == 0 && !identityQuery_) {
        text += "\r\n";
        text += kIdentityQuery;
        text += "\r\n";
    }
    const std::int32_t result = instrument_.write(text, line_, errorCode_);
    if (result == TAVRIL_WRITE_OK) return true;
    // What the instrument took of a line cut short may still be answered.
    failure_ = call_text(tools::Function::Write, result, errorCode_);
    ended_ = true;
    hold_.reset();
    return false;
}

std::optional<std::string> Answer::next() {
    if (ended_) return std::nullopt;
    std::string message;
    const Piece piece = read_piece(message);
    if (piece == Piece::message) {
        answered_ = true;
        return message;
    }
    ended_ = true;
    inStep_ = piece == Piece::end;
    hold_.reset();
    return std::nullopt;
}

bool Answer::is_mark(std::string_view chunk) const { return instrument_.is_own_identity(chunk); }

std::uint32_t Answer::next_timeout() const {
    // A query waits for its answer as long as a read may; after that, or for
    // a line that need not be answered, quiet for quietSeconds ends it.
    if (rules_.quietSeconds == 0 || (!answered_ && line_.find('?') != std::string::npos))
        return instrument_.read_timeout();
    return rules_.quietSeconds;
}

Answer::Piece Answer::read_piece(std::string& message) {
    if (markSeen_) {
        // The identity query's own answer is its mark: given out, then the end.
        if (!identityQuery_ || answered_markAnswer_) return Piece::end;
        answered_markAnswer_ = true;
        message = std::move(mark_);
        return Piece::message;
    }
    // Transfers of a full kChunk belong to a message that goes on, until a
    // shorter one ends it; a message of a whole number of chunks is ended by
    // the mark that follows it.
    std::string pending;
    bool tooLong = false;
    bool spans = false;  // pending holds a full transfer
    const auto drop_too_long = [&] {
        log(instrument_.log_prefix() + shown(line_) + ": response longer than " +
            std::to_string(rules_.maxResponse) + " bytes; dropped");
        tooLong = false;
    };
    const auto over_limit = [&](std::uint32_t count) {
        taken_ += count;
        if (limit_ == 0 || taken_ <= limit_) return false;
        log(instrument_.log_prefix() + shown(line_) + ": more than " + std::to_string(limit_) +
            " bytes of output read and dropped; stopped there");
        errorCode_ = 0;
        failure_ = "too much output";
        return true;
    };
    for (;;) {
        std::string carried;
        std::string_view chunk;
        if (carry_) {
            carried = std::move(*carry_);
            carry_.reset();
            chunk = carried;
        } else {
            const std::uint32_t timeout = next_timeout();
            const ServedInstrument::Read read = instrument_.read(timeout);
            if (!read.ok()) {
                if (rules_.quietSeconds != 0 && read.quiet()) {
                    if (timeout != rules_.quietSeconds)
                        instrument_.log_failure(tools::Function::Read, read.result, read.errorCode, line_,
                                                "no answer sent");
                    if (tooLong) drop_too_long();
                    markSeen_ = true;
                    if (pending.empty()) return Piece::end;
                    message = std::move(pending);
                    return Piece::message;
                }
                failed(tools::Function::Read, read.result, read.errorCode);
                return Piece::failed;
            }
            chunk = std::string_view(instrument_.chunk(), read.count);
            if (over_limit(read.count)) return Piece::failed;
        }
        const bool last = chunk.size() < kChunk;
        if (last && rules_.quietSeconds == 0 && is_mark(chunk)) {
            markSeen_ = true;
            if (identityQuery_) mark_ = chunk;
            if (tooLong) drop_too_long();
            if (pending.empty()) return read_piece(message);
            message = std::move(pending);
            return Piece::message;
        }
        if (!tooLong && pending.size() + chunk.size() > rules_.maxResponse) {
            tooLong = true;
            std::string().swap(pending);
        }
        if (!tooLong) pending.append(chunk);
        if (!last) {
            spans = true;
            continue;
        }
        if (tooLong) {
            drop_too_long();
            continue;
        }
        if (spans && rules_.quietSeconds == 0 && !identityQuery_) {
            // Full transfers and a shorter one are one message, or one that
            // filled its transfers exactly and another after it (output
            // nobody asked for, say): the transfers cannot tell.  When the
            // mark or more output follows, it goes as one message, as the
            // transfers have it; when nothing follows, the answer has failed
            // (the mark did not come), and this message, which may join two,
            // is dropped with the rest rather than passed on.
            const ServedInstrument::Read ahead = instrument_.read(next_timeout());
            if (!ahead.ok()) {
                failed(tools::Function::Read, ahead.result, ahead.errorCode);
                return Piece::failed;
            }
            carry_.emplace(instrument_.chunk(), ahead.count);
            if (over_limit(ahead.count)) return Piece::failed;
        }
        message = std::move(pending);
        return Piece::message;
    }
}

void Answer::failed(tools::Function function, std::int32_t result, std::uint32_t errorCode) {
    errorCode_ = errorCode;
    failure_ = call_text(function, result, errorCode);
    instrument_.log_failure(function, result, errorCode, line_,
                            answered_ ? "the rest of its answer is dropped" : "no answer sent");
}

namespace {

// One identity exchange: the messages before the identity that answers it
// are dropped and counted.  False when it failed; `stranger` then tells
// whether another instrument answered.
bool exchange_identity(ServedInstrument& instrument, const AnswerRules& rules, std::uint64_t& bytes,
                       std::uint64_t& messages, std::optional<Identity>& stranger,
                       std::uint32_t& errorCode, std::string& failure) {
    Answer answer(instrument, rules, std::string(kIdentityQuery));
    answer.limit_output(kDropLimitFactor * rules.maxResponse);
    std::uint64_t taken = 0;
    std::uint64_t count = 0;
    std::size_t lastSize = 0;
    if (answer.send()) {
        while (const std::optional<std::string> message = answer.next()) {
            ++count;
            taken += message->size();
            lastSize = message->size();
            const std::optional<Identity> identity = Identity::parse(*message);
            if (identity && instrument.identity() &&
                !identity->same_instrument(*instrument.identity()))
                stranger = identity;
        }
    }
    errorCode = answer.error_code();
    failure = answer.failure();
    if (!answer.in_step()) return false;
    // The last message is the identity that answered the query.
    bytes += taken - lastSize;
    messages += count - 1;
    return true;
}

}  // namespace

bool resync(ServedInstrument& instrument, const AnswerRules& rules, std::string_view why) {
    if (!instrument.is_open()) return false;
    // One hold over both exchanges and the recovery between them: an open
    // of another slot meets none of it.
    const ServedInstrument::Hold hold(instrument);
    AnswerRules marked = rules;
    marked.quietSeconds = 0;
    std::uint64_t bytes = 0;
    std::uint64_t messages = 0;
    std::optional<Identity> stranger;
    std::uint32_t errorCode = 0;
    std::string failure;
    // The first exchange drops what waits; but what waited may itself have
    // held this instrument's identity (a client's *IDN? never read), taken
    // for the answer then, and the real answer would be left.  So the
    // library's recovery drops whatever is left after it, and a second
    // exchange shows the output in step.
    bool inStep = exchange_identity(instrument, marked, bytes, messages, stranger, errorCode,
                                    failure);
    if (inStep) {
        instrument.flush();
        inStep = exchange_identity(instrument, marked, bytes, messages, stranger, errorCode,
                                   failure);
    }
    if (messages > 0)
        log(instrument.log_prefix() + "dropped " + std::to_string(bytes) + " bytes in " +
            std::to_string(messages) + " messages nobody asked for (" + std::string(why) + ")");
    if (inStep) return true;
    if (stranger)
        instrument.lose("another instrument answers at the slot (" + stranger->text() + ")");
    else if (errorCode != 0)
        instrument.lose("instrument gone (" + failure + ")");
    return false;
}

bool take_rest(ServedInstrument& instrument, const AnswerRules& rules, bool mayName, std::uint64_t limit,
               const std::function<void(std::string)>& sink) {
    if (!instrument.is_open()) return false;
    AnswerRules ending = rules;
    if (mayName && ending.quietSeconds == 0) ending.quietSeconds = 1;
    if (ending.quietSeconds != 0) {
        // Nothing is written: quiet ends it.
        Answer answer(instrument, ending, std::string());
        answer.limit_output(limit);
        while (std::optional<std::string> message = answer.next()) sink(std::move(*message));
        return answer.in_step();
    }
    Answer answer(instrument, ending, std::string(kIdentityQuery));
    answer.limit_output(limit);
    if (!answer.send()) return false;
    // The last message is the identity that answered the query.
    std::optional<std::string> previous;
    while (std::optional<std::string> message = answer.next()) {
        if (previous) sink(std::move(*previous));
        previous = std::move(message);
    }
    return answer.in_step();
}

}  // namespace tavlib::gateway
