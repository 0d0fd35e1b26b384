#include "twin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <tuple>

#include <yaml-cpp/binary.h>

#include "data_pattern.h"
#include "control_text.h"
#include "definitions.h"
#include "protocol/answer_codes.h"
#include "tavlib.h"
#include "tavlib/driver_interface.h"
#include "tavlib/unique_fd.h"

namespace tavlib::trace {
namespace {

constexpr std::string_view kIdentityQuery = driver::kIdentityQuery;
constexpr std::string_view kIdentityPrefix = driver::kIdentityPrefix;
// The exchange itself, which a delay does not include: the fastest answer
// of the process, but never more than this.
constexpr std::int64_t kLargestNominalExchangeUs = 1000;
// The instrument's answer code for a command it does not know.
constexpr std::int32_t kUnknownCommandCode = 90;
constexpr std::size_t kNotesShown = 20;

// One READ's worth of an answer as the call delivered it.
struct Piece {
    std::string bytes;
    std::int64_t endUs = 0;
    bool full = false;           // it filled the caller's buffer: its message may go on
    bool firstLineOnly = false;  // line mode: the line, its CR LF restored
};

struct SentLine {
    std::string line;
    std::int64_t sentUs = 0;  // when the write that carried it ended
    Place place;
};

// The lines of one write (and of the identity queries that follow it) and
// the pieces read after them, until the next write.
struct Exchange {
    std::vector<SentLine> lines;
    std::vector<Piece> pieces;
    std::size_t process = 0;
};

// One answer to one command line.
struct Heard {
    std::string line;
    std::vector<std::string> messages;
    std::optional<std::int64_t> latencyUs;
    std::int64_t atUs = 0;
    Place place;
    std::size_t process = 0;
    bool firstLineOnly = false;
};

struct Stream {
    std::optional<Exchange> open;
    std::string partial;  // a line written without its end yet
    std::size_t process = 0;
    bool strayNoted = false;
};

// The bytes as the inside of a YAML double-quoted scalar: escape() writes
// only escapes that YAML reads back as the same ASCII bytes (the callers keep
// anything else out, as base64 or a comment's "(not ASCII)").
std::string escaped(std::string_view bytes) { return sim::escape(bytes); }

std::string quoted(std::string_view bytes) { return "\"" + escaped(bytes) + "\""; }

bool ascii(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Text for a comment: one line, no control bytes.
std::string comment_text(std::string_view text) { return ascii(text) ? escaped(text) : "(not ASCII)"; }

bool is_pattern(const std::string& bytes) {
    // A sized answer of the simulator's pattern; short ones read better as text.
    if (bytes.size() <= 64 || bytes.size() > sim::kMaxDataSize) return false;
    return bytes == sim::data_pattern(bytes.size());
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// How one message is written: the key and its YAML value.
std::pair<std::string, std::string> message_form(const std::string& bytes) {
    if (is_pattern(bytes)) return {"size", std::to_string(bytes.size())};
    if (ascii(bytes)) {
        if (bytes.ends_with("\r\n")) {
            const std::string text = replace_all(bytes.substr(0, bytes.size() - 2), "\r\n", "\n");
            if (sim::response_message(text) == bytes) return {"response", quoted(text)};
        }
        return {"raw", quoted(bytes)};
    }
    return {"base64", quoted(YAML::EncodeBase64(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                bytes.size()))};
}

// The YAML lines of one answer at `indent`; `first` starts the first line
// (the "- " of a list item).
void write_reply(std::ostringstream& out, const sim::Reply& reply, const std::string& indent, bool withDelay,
                 std::string first) {
    const auto line = [&](const std::string& text) {
        out << (first.empty() ? indent : first) << text << '\n';
        first.clear();
    };
    if (reply.messages.empty()) {
        line("silent: true");
    } else if (reply.messages.size() == 1) {
        const auto [key, value] = message_form(reply.messages[0].bytes());
        line(key + ": " + value);
    } else {
        line("responses:");
        for (const sim::Message& message : reply.messages) {
            const auto [key, value] = message_form(message.bytes());
            out << indent << "  - " << (key == "response" ? value : "{" + key + ": " + value + "}") << '\n';
        }
    }
    if (withDelay && reply.delayMs > 0) line("delay_ms: " + std::to_string(reply.delayMs));
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string bytes_of(const std::vector<sim::Message>& messages) {
    std::string all;
    for (const sim::Message& m : messages) all += m.bytes() + '\x1f';
    return all;
}

class Builder {
public:
    explicit Builder(const TwinOptions& options) : options_(options) {}

    void add_file(const std::string& path) {
        std::size_t records = 0;
        read_trace_file(path, [&](Entry&& entry) {
            ++records;
            take(fileIndex_, entry);
        });
        end_file(path, records);
    }

    void add_entries(const TraceInput& input) {
        for (const Entry& entry : input.entries) take(fileIndex_, entry);
        end_file(input.name, input.entries.size());
    }

    void end_file(const std::string& path, std::size_t records) {
        for (auto& [key, stream] : streams_)
            if (std::get<0>(key) == fileIndex_) close_exchange(stream);
        sources_.push_back(path + " (" + std::to_string(records) + " records)");
        files_.push_back(path);
        ++fileIndex_;
    }

    Twin finish() {
        if (!cut_.empty()) {
            std::string why = "the trace kept only part of " + std::to_string(cut_.size()) +
                              (cut_.size() == 1 ? " block" : " blocks") + " of data, which the twin cannot replay: " +
                              cut_.front().second;
            if (cut_.size() > 1) why += " (and " + std::to_string(cut_.size() - 1) + " more)";
            why += "; record again with TAVRIL_TRACE_DATA=" + std::to_string(largestCut_) +
                   " (or more) to keep every block whole";
            throw TraceError(cut_.front().first, why);
        }
        Twin twin;
        twin.name = options_.name;
        twin.sources = sources_;
        if (!identity_)
            throw TraceError(files_.empty() ? std::string("tavctl twin") : files_.front(),
                             "no record names the instrument (an Open_Tavril that identified it, or an "
                             "answer to *IDN?): the twin needs its identity");
        // The simulator's identity is one line of text, in which "{n}"
        // would stand for the device number.
        const bool usable = std::all_of(identity_->begin(), identity_->end(), [](char c) {
            return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
        });
        if (!usable || identity_->find("{n}") != std::string::npos)
            throw TraceError(identityPlace_, "the instrument's identity \"" + comment_text(*identity_) +
                                                 "\" cannot be the twin's (control bytes, bytes beyond ASCII or "
                                                 "\"{n}\")");
        twin.identity = *identity_;
        twin.identityPlace = identityPlace_;
        make_commands(twin);
        twin.notes = notes_;
        return twin;
    }

private:
    using StreamKey = std::tuple<std::size_t, std::int64_t, std::string>;

    std::size_t process_of(std::int64_t pid) {
        const auto key = std::pair{fileIndex_, pid};
        const auto [it, added] = processes_.try_emplace(key, fastest_.size());
        if (added) fastest_.push_back(kLargestNominalExchangeUs);
        return it->second;
    }

    // The block, or nullopt after noting that it was kept only in part.
    const std::string* whole(const std::optional<Block>& block, const Entry& entry, const char* member) {
        if (!block) return nullptr;
        if (block->whole()) return &block->bytes;
        cut_.emplace_back(entry.place, std::string(call_name(entry.record.call)) + " '" + member + "' of " +
                                           std::to_string(block->length) + " bytes kept " +
                                           std::to_string(block->bytes.size()));
        largestCut_ = std::max(largestCut_, block->length);
        return nullptr;
    }

    void learn_identity(const std::string& idn, const Place& place) {
        if (!identity_ && idn.find(kIdentityPrefix) != std::string::npos) {
            identity_ = idn;
            identityPlace_ = place;
        }
    }

    std::optional<std::string> identity_message() const {
        if (!identity_) return std::nullopt;
        return *identity_ + "\r\n";
    }

    void take(std::size_t file, const Entry& entry) {
        const Record& r = entry.record;
        if (!r.is_call()) return;
        if (options_.slot && r.slot != options_.slot) return;
        check_.see(entry);
        if ((r.call == Call::Open || r.call == Call::Conf) && r.result == 0 && r.idn) learn_identity(*r.idn, entry.place);
        if (!r.handle) return;
        const StreamKey key{file, r.pid, *r.handle};
        if (r.call == Call::Open) {
            if (r.result != TAVRIL_OPEN_OK && r.result != TAVRIL_OPEN_NOT_IDENTIFIED) return;
            Stream& stream = streams_[key];
            close_exchange(stream);
            stream = Stream{};
            stream.process = process_of(r.pid);
            return;
        }
        auto found = streams_.find(key);
        if (found == streams_.end()) {
            // A handle whose open the trace does not hold (another slot's,
            // or a trace begun later): its calls still pair.
            found = streams_.emplace(key, Stream{}).first;
            found->second.process = process_of(r.pid);
        }
        Stream& stream = found->second;
        switch (r.call) {
            case Call::Close:
                close_exchange(stream);
                streams_.erase(found);
                break;
            case Call::Write: {
                const std::string* text = whole(r.text, entry, "text");
                if (r.result != TAVRIL_WRITE_OK || text == nullptr) {
                    // The recovery request dropped what the instrument had.
                    if (r.result != TAVRIL_WRITE_BAD_ARGUMENT) drop(stream);
                    break;
                }
                send(stream, *text, r.end_us(), entry.place);
                break;
            }
            case Call::Read: {
                if (r.result == TAVRIL_READ_OK) {
                    const std::string* data = whole(r.data, entry, "data");
                    if (data != nullptr)
                        deliver(stream, *data, r.mode, r.bytesRead, r.maxBytes, r.end_us(), entry.place);
                } else if (r.result != TAVRIL_READ_BAD_ARGUMENT) {
                    close_exchange(stream);
                }
                break;
            }
            case Call::Scmd: {
                if (r.result == TAVRIL_SCMD_BAD_ARGUMENT) break;
                const std::string* command = whole(r.command, entry, "command");
                if (r.result == TAVRIL_SCMD_WRITE_FAILED || r.result == TAVRIL_SCMD_WRITE_TIMEOUT ||
                    command == nullptr) {
                    drop(stream);
                    break;
                }
                // The write's end is not in the record: the call's start
                // stands for it, so that the delay is the call's duration.
                send(stream, *command, r.timeUs, entry.place);
                if (r.result >= 0) {
                    const std::string* response = whole(r.response, entry, "response");
                    if (response != nullptr)
                        deliver(stream, *response, r.mode, static_cast<std::uint32_t>(response->size()), r.maxBytes,
                                r.end_us(), entry.place);
                } else {
                    close_exchange(stream);
                }
                break;
            }
            case Call::Conf:
                send(stream, std::string(kIdentityQuery), r.timeUs, entry.place);
                if (r.result == TAVRIL_CONF_OK && r.idn) {
                    deliver(stream, *r.idn, TAVRIL_MODE_LINE, static_cast<std::uint32_t>(r.idn->size()), 50,
                            r.end_us(), entry.place);
                } else {
                    close_exchange(stream);
                }
                break;
            case Call::Open:
            case Call::Start:
            case Call::End:
                break;
        }
    }

    // A failed write: what it sent is unknown, and recovery dropped the
    // rest.  The answers read so far stand.
    void drop(Stream& stream) {
        close_exchange(stream);
        stream.partial.clear();
    }

    // Whether every identity query of the exchange has had its answer.
    bool marks_complete(const Exchange& exchange) const {
        const auto idnLines = static_cast<std::size_t>(std::count_if(
            exchange.lines.begin(), exchange.lines.end(), [](const SentLine& s) { return s.line == kIdentityQuery; }));
        if (idnLines == 0) return false;
        const std::optional<std::string> mark = identity_message();
        if (!mark) return true;
        std::size_t marks = 0;
        for (const Piece& piece : exchange.pieces) marks += piece.bytes == *mark;
        return marks >= idnLines;
    }

    void send(Stream& stream, const std::string& text, std::int64_t sentUs, const Place& place) {
        // Write_Tavril appends CR LF to a text that holds none.
        std::string bytes = stream.partial + text;
        if (text.find("\r\n") == std::string::npos) bytes += "\r\n";
        stream.partial.clear();
        std::vector<SentLine> lines;
        std::size_t start = 0;
        for (std::size_t end = bytes.find("\r\n"); end != std::string::npos; end = bytes.find("\r\n", start)) {
            lines.push_back(SentLine{bytes.substr(start, end - start), sentUs, place});
            start = end + 2;
        }
        stream.partial = bytes.substr(start);
        if (lines.empty()) return;
        // Identity queries alone (how the gateway finds where an answer
        // ends) follow the answer still being read: the messages before the
        // identity belong to the command before them.
        const bool onlyIdentity = std::all_of(lines.begin(), lines.end(), [](const SentLine& s) {
            return s.line == kIdentityQuery;
        });
        if (onlyIdentity && stream.open && !marks_complete(*stream.open)) {
            for (SentLine& line : lines) stream.open->lines.push_back(std::move(line));
            return;
        }
        close_exchange(stream);
        stream.open = Exchange{std::move(lines), {}, stream.process};
    }

    void deliver(Stream& stream, const std::string& data, std::int32_t mode, std::uint32_t bytesRead,
                 std::uint32_t maxBytes, std::int64_t endUs, const Place& place) {
        if (!stream.open) {
            if (!stream.strayNoted)
                notes_.push_back(place.text() + ": output read before any command on its handle is left out");
            stream.strayNoted = true;
            return;
        }
        // A read that delivered nothing adds nothing to the answer.
        if (data.empty() && mode != TAVRIL_MODE_LINE) return;
        Piece piece{data, endUs, bytesRead >= maxBytes, false};
        if (mode == TAVRIL_MODE_TEXT && data.size() < bytesRead)
            notes_.push_back(place.text() + ": a text-mode read ended its text at a NUL byte; the " +
                             std::to_string(bytesRead - data.size()) +
                             " bytes after it are not known (raw mode keeps them)");
        if (mode == TAVRIL_MODE_LINE && !piece.full) {
            // The first line: its CR LF, and whatever followed it in the
            // message, were not delivered.  The CR LF is restored.
            piece.bytes += "\r\n";
            piece.firstLineOnly = true;
        }
        stream.open->pieces.push_back(std::move(piece));
    }

    void close_exchange(Stream& stream) {
        if (!stream.open) return;
        Exchange exchange = std::move(*stream.open);
        stream.open.reset();
        const std::optional<std::string> mark = identity_message();

        // Pieces into messages: a piece that filled its buffer goes on in
        // the next, unless that one is the identity.
        struct Msg {
            std::string bytes;
            std::int64_t endUs;
            bool firstLineOnly;
        };
        std::vector<Msg> messages;
        bool goesOn = false;
        for (Piece& piece : exchange.pieces) {
            const bool isMark = mark && piece.bytes == *mark;
            if (goesOn && !isMark && !messages.empty()) {
                messages.back().bytes += piece.bytes;
                messages.back().firstLineOnly |= piece.firstLineOnly;
            } else {
                messages.push_back(Msg{std::move(piece.bytes), piece.endUs, piece.firstLineOnly});
            }
            goesOn = piece.full;
        }

        // Groups of command lines, each ended by an identity query, take the
        // messages up to the identity that answers that query.
        std::vector<std::vector<const SentLine*>> groups(1);
        std::vector<std::vector<const Msg*>> segments(1);
        for (const SentLine& line : exchange.lines) {
            if (line.line == kIdentityQuery)
                groups.emplace_back();
            else
                groups.back().push_back(&line);
        }
        const std::size_t queries = groups.size() - 1;
        for (const Msg& message : messages) {
            if (mark && message.bytes == *mark && segments.size() <= queries)
                segments.emplace_back();
            else
                segments.back().push_back(&message);
        }
        // Queries whose identity never came: their lines share the last
        // segment.
        while (groups.size() > segments.size()) {
            std::vector<const SentLine*> last = std::move(groups.back());
            groups.pop_back();
            groups.back().insert(groups.back().end(), last.begin(), last.end());
        }
        for (std::size_t g = 0; g < groups.size(); ++g) {
            const std::vector<const SentLine*>& lines = groups[g];
            const std::vector<const Msg*>& segment = segments[g];
            if (lines.empty()) {
                if (!segment.empty())
                    notes_.push_back(exchange.lines.front().place.text() + ": " + std::to_string(segment.size()) +
                                     " message(s) that no command asked for are left out");
                continue;
            }
            if (lines.size() > 1 && !segment.empty() && segment.size() != lines.size()) {
                notes_.push_back(lines.front()->place.text() + ": " + std::to_string(lines.size()) +
                                 " commands written together got " + std::to_string(segment.size()) +
                                 " messages, which cannot be told apart; their answers are left out");
                continue;
            }
            for (std::size_t i = 0; i < lines.size(); ++i) {
                Heard heard;
                heard.line = lines[i]->line;
                heard.atUs = lines[i]->sentUs;
                heard.place = lines[i]->place;
                heard.process = exchange.process;
                std::vector<const Msg*> own;
                if (lines.size() == 1)
                    own = segment;
                else if (!segment.empty())
                    own = {segment[i]};
                for (const Msg* m : own) {
                    heard.messages.push_back(m->bytes);
                    heard.firstLineOnly |= m->firstLineOnly;
                }
                if (!own.empty()) {
                    heard.latencyUs = std::max<std::int64_t>(0, own.front()->endUs - lines[i]->sentUs);
                    fastest_[exchange.process] = std::min(fastest_[exchange.process], *heard.latencyUs);
                }
                heard_.push_back(std::move(heard));
            }
        }
    }

    void make_commands(Twin& twin) {
        std::map<std::string, std::vector<const Heard*>> byLine;
        for (const Heard& heard : heard_) {
            if (heard.line == kIdentityQuery) continue;
            if (!ascii(heard.line)) {
                notes_.push_back(heard.place.text() + ": a command with bytes beyond ASCII cannot be named in the "
                                 "definitions file; left out");
                continue;
            }
            byLine[heard.line].push_back(&heard);
        }
        for (auto& [line, answers] : byLine) {
            std::stable_sort(answers.begin(), answers.end(),
                             [](const Heard* a, const Heard* b) { return a->atUs < b->atUs; });
            TwinCommand command;
            command.line = line;
            command.first = answers.front()->place;
            command.times = answers.size();
            std::vector<double> delays;
            bool lineOnly = true;
            for (const Heard* heard : answers) {
                sim::Reply reply;
                for (const std::string& m : heard->messages) reply.messages.emplace_back(m);
                if (command.replies.empty() || bytes_of(command.replies.back().messages) != bytes_of(reply.messages))
                    command.replies.push_back(std::move(reply));
                lineOnly = lineOnly && heard->firstLineOnly && !heard->messages.empty();
                if (heard->latencyUs)
                    delays.push_back(static_cast<double>(*heard->latencyUs - fastest_[heard->process]));
            }
            command.firstLineOnly = lineOnly;
            // Repeats at the end fold into one: after the last answer, the
            // simulator gives it again.
            while (command.replies.size() > 1 &&
                   bytes_of(command.replies.back().messages) ==
                       bytes_of(command.replies[command.replies.size() - 2].messages))
                command.replies.pop_back();
            command.delays = delays.size();
            if (!delays.empty()) {
                command.medianMs = median(delays) / 1000.0;
                const auto ms = static_cast<std::uint32_t>(
                    std::min<double>(std::llround(command.medianMs), sim::kMaxDelayMs));
                for (sim::Reply& reply : command.replies) reply.delayMs = ms;
            }
            twin.commands.push_back(std::move(command));
        }
        std::stable_sort(twin.commands.begin(), twin.commands.end(), [&](const TwinCommand& a, const TwinCommand& b) {
            return byLine[a.line].front()->atUs < byLine[b.line].front()->atUs;
        });

        // The answer to unknown commands: the most common single answer that
        // carries the instrument's code for them.  The commands that got
        // only that answer need no dialogue of their own.
        std::map<std::string, std::vector<std::size_t>> candidates;
        for (std::size_t i = 0; i < twin.commands.size(); ++i) {
            const TwinCommand& c = twin.commands[i];
            if (c.replies.size() != 1 || c.replies[0].messages.size() != 1) continue;
            const std::string bytes = c.replies[0].messages[0].bytes();
            if (protocol::answer_code(bytes.c_str()) == kUnknownCommandCode) candidates[bytes].push_back(i);
        }
        const auto best = std::max_element(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
            return a.second.size() < b.second.size();
        });
        if (best == candidates.end()) return;
        std::vector<double> delays;
        std::set<std::size_t> drop(best->second.begin(), best->second.end());
        for (const std::size_t i : best->second) {
            twin.unknownFor.push_back(twin.commands[i].line);
            if (twin.commands[i].delays > 0) delays.push_back(twin.commands[i].medianMs);
        }
        twin.unknown = twin.commands[best->second.front()].replies[0];
        twin.unknown->delayMs = delays.empty() ? 0 : static_cast<std::uint32_t>(std::llround(median(delays)));
        std::vector<TwinCommand> kept;
        for (std::size_t i = 0; i < twin.commands.size(); ++i)
            if (drop.count(i) == 0) kept.push_back(std::move(twin.commands[i]));
        twin.commands = std::move(kept);
    }

    const TwinOptions& options_;
    std::size_t fileIndex_ = 0;
    InstrumentCheck check_;
    std::optional<std::string> identity_;
    Place identityPlace_;
    std::map<StreamKey, Stream> streams_;
    std::map<std::pair<std::size_t, std::int64_t>, std::size_t> processes_;
    std::vector<std::int64_t> fastest_;  // per process: its fastest answer (the nominal exchange)
    std::vector<Heard> heard_;
    std::vector<std::string> notes_;
    std::vector<std::string> sources_;
    std::vector<std::string> files_;
    std::vector<std::pair<Place, std::string>> cut_;
    std::uint64_t largestCut_ = 0;
};

}  // namespace

Twin make_twin(const std::vector<std::string>& files, const TwinOptions& options) {
    Builder builder(options);
    for (const std::string& file : files) builder.add_file(file);
    return builder.finish();
}

Twin make_twin(const std::vector<TraceInput>& traces, const TwinOptions& options) {
    Builder builder(options);
    for (const TraceInput& trace : traces) builder.add_entries(trace);
    return builder.finish();
}

std::string twin_definitions(const Twin& twin) {
    std::ostringstream out;
    out << "# A twin of the instrument \"" << comment_text(twin.identity) << "\", made by `tavctl twin` from\n";
    for (const std::string& source : twin.sources) out << "#   " << comment_text(source) << '\n';
    out << "# Replay it with: tavril-sim --definitions FILE (the format: simulator/README.md).\n";
    if (!twin.notes.empty()) {
        out << "# Left out:\n";
        for (std::size_t i = 0; i < twin.notes.size() && i < kNotesShown; ++i)
            out << "#   " << comment_text(twin.notes[i]) << '\n';
        if (twin.notes.size() > kNotesShown) out << "#   and " << twin.notes.size() - kNotesShown << " more\n";
    }
    out << "instruments:\n";
    out << "  - name: " << quoted(twin.name) << '\n';
    out << "    count: 1\n";
    out << "    # as the instrument named itself (" << comment_text(twin.identityPlace.text()) << ")\n";
    out << "    identity: " << quoted(twin.identity) << '\n';
    out << "    data_command: false\n";
    if (twin.unknown) {
        out << "    # the answer to a command it does not know, as seen for";
        for (std::size_t i = 0; i < twin.unknownFor.size() && i < 5; ++i)
            out << (i == 0 ? " \"" : ", \"") << comment_text(twin.unknownFor[i]) << '"';
        if (twin.unknownFor.size() > 5) out << " and " << twin.unknownFor.size() - 5 << " more";
        out << "\n    unknown:\n";
        write_reply(out, *twin.unknown, "      ", true, "");
    } else {
        out << "    unknown: silent  # no answer to a command it does not know was seen\n";
    }
    out << "    dialogues:" << (twin.commands.empty() ? " []" : "") << '\n';
    for (const TwinCommand& command : twin.commands) {
        out << "      - command: " << quoted(command.line) << '\n';
        const std::string indent = "        ";
        std::string about = "sent " + std::to_string(command.times) + (command.times == 1 ? " time" : " times") +
                            ", first at " + command.first.text();
        if (command.replies[0].delayMs > 0) {
            char ms[32];
            std::snprintf(ms, sizeof ms, "%.1f", command.medianMs);
            about += "; answered after " + std::string(ms) + " ms (the median of " + std::to_string(command.delays) +
                     ")";
        }
        if (command.firstLineOnly) about += "; read in line mode: its first line only";
        out << indent << "# " << comment_text(about) << '\n';
        if (command.replies.size() == 1) {
            if (command.replies[0].messages.empty())
                out << indent << "# no answer: no read after it delivered, or a read timed out\n";
            write_reply(out, command.replies[0], indent, true, "");
            continue;
        }
        out << indent << "# answered differently each time: these " << command.replies.size()
            << " answers in turn, then the last one again\n";
        if (command.replies[0].delayMs > 0) out << indent << "delay_ms: " << command.replies[0].delayMs << '\n';
        out << indent << "sequence:\n";
        for (const sim::Reply& reply : command.replies) write_reply(out, reply, indent + "    ", false, indent + "  - ");
    }
    return out.str();
}

std::string check_definitions(const Twin& twin, const std::string& text) {
    std::vector<sim::InstrumentDef> defs;
    try {
        defs = sim::parse_definitions(text, "the twin");
    } catch (const sim::DefinitionError& e) {
        return e.what();
    }
    if (defs.size() != 1) return "not one instrument";
    const sim::InstrumentDef& def = defs[0];
    if (def.identity != twin.identity || sim::expand_identity(def.identity, 1) != twin.identity)
        return "the identity reads back as " + def.identity;
    const auto same = [](const sim::Reply& a, const sim::Reply& b) {
        return a.delayMs == b.delayMs && bytes_of(a.messages) == bytes_of(b.messages);
    };
    if (twin.unknown) {
        if (def.unknown != sim::UnknownPolicy::kRespond || !same(def.unknownReply, *twin.unknown))
            return "the answer to unknown commands reads back otherwise";
    } else if (def.unknown != sim::UnknownPolicy::kSilent) {
        return "unknown commands are not silent";
    }
    if (def.dialogues.size() != twin.commands.size()) return "the number of dialogues reads back otherwise";
    for (std::size_t i = 0; i < twin.commands.size(); ++i) {
        const sim::Dialogue& d = def.dialogues[i];
        const TwinCommand& c = twin.commands[i];
        if (d.command != c.line) return "command " + std::to_string(i + 1) + " reads back as " + d.command;
        if (d.replies.size() != c.replies.size()) return "the answers of " + c.line + " read back otherwise";
        for (std::size_t k = 0; k < c.replies.size(); ++k)
            if (!same(d.replies[k], c.replies[k]))
                return "answer " + std::to_string(k + 1) + " of " + c.line + " reads back otherwise";
    }
    return {};
}

void write_whole_file(const std::string& path, const std::string& text) {
    const auto failed = [&](const std::string& what) {
        return std::runtime_error(path + ": " + what + ": " + std::strerror(errno));
    };
    std::string temporary = path + ".XXXXXX";
    UniqueFd fd(::mkstemp(temporary.data()));
    if (!fd) throw failed("cannot create a file beside it");
    // Removes the new file unless it took the path's place.
    struct Remove {
        const std::string* path;
        ~Remove() {
            if (path != nullptr) ::unlink(path->c_str());
        }
    } remove{&temporary};
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw failed("cannot write");
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) throw failed("cannot write");
    if (::close(fd.release()) != 0) throw failed("cannot write");
    if (::rename(temporary.c_str(), path.c_str()) != 0) throw failed("cannot replace");
    remove.path = nullptr;
}

}  // namespace tavlib::trace
