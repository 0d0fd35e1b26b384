// The instrument behind one simulated device: what it answers (its
// definition) and its running state (command assembly and output queue).
#pragma once

#include "data_pattern.h"
#include "faults.h"
#include "tavlib/driver_interface.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavlib::sim {

// One response message: the first `pattern` bytes of the data pattern
// (data_pattern.h), then `text`.  A sized response is held as its length,
// not as its bytes, so that one of 64 MiB costs no memory and no time until
// READs take it, and then only a copy from a small block per transfer.
struct Message {
    std::size_t pattern = 0;
    std::string text;

    // A plain text converts, so that replies and queues are written as texts.
    Message() = default;
    Message(std::string t) : text(std::move(t)) {}
    Message(const char* t) : text(t) {}
    // The response to "DATA? length" (length >= 2).
    static Message data(std::size_t length);

    std::size_t size() const { return pattern + text.size(); }
    // Copies bytes [offset, offset + n) of the message to `out`.
    void copy(std::size_t offset, std::size_t n, char* out) const;
    std::string bytes() const;
    bool operator==(const Message&) const = default;
};

// What the instrument does with one command line: the response messages it
// queues, in order, after waiting delayMs.  No messages: it stays silent.
struct Reply {
    std::vector<Message> messages;
    std::uint32_t delayMs = 0;
};

enum class UnknownPolicy { kEcho, kSilent, kRespond };

struct Dialogue {
    std::string command;  // the exact command line, without CR LF
    // The answers in turn: the first time the command comes the first, then
    // the next, and after the last the last again.  Most commands have one.
    std::vector<Reply> replies;
};

// The description of one kind of instrument.  Loaded from the definitions
// file, or the built-in default.
struct InstrumentDef {
    std::string name;
    unsigned count = 1;  // devices created at start
    // "{n}" stands for the device number, six digits, zero-padded.
    std::string identity = std::string(driver::kIdentityPrefix) + ",SN{n},1.0.0";
    bool dataCommand = true;  // built-in "DATA? N"
    UnknownPolicy unknown = UnknownPolicy::kEcho;
    Reply unknownReply;  // for UnknownPolicy::kRespond
    std::vector<std::string> initialOutput;
    std::vector<Dialogue> dialogues;
    std::vector<Fault> faults;  // switched on when a device of this kind is created

    const Dialogue* find(std::string_view command) const;
};

// The built-in instrument, named "default".
InstrumentDef default_instrument();

inline constexpr std::string_view kIdentityQuery = driver::kIdentityQuery;
inline constexpr std::string_view kDataCommand = "DATA? ";
// Longest command line kept while it is being received; a longer one is
// dropped.  Lines from TCP clients are held to the same bound.  As long as
// the longest response the simulator makes ("DATA? n", 64 MiB), so that a
// client that echoes a response back as a command is served alike.
inline constexpr std::size_t kMaxCommandLine = kMaxDataSize;

// Turns response text into one message: every line break becomes CR LF,
// line breaks at the end are dropped, and CR LF is appended.
std::string response_message(std::string_view text);

// A complete command line and where it came from: source 0 is the byte
// stream of the device's driver connections, any other value the
// connection number of the line client (a TCP client) that sent it whole.
struct Command {
    std::string line;
    std::uint64_t source = 0;
};

class Instrument {
public:
    Instrument(std::shared_ptr<const InstrumentDef> def, std::uint32_t deviceNumber);

    const InstrumentDef& definition() const { return *def_; }
    const std::string& identity() const { return identity_; }
    void set_identity(std::string identity) { identity_ = std::move(identity); }

    // Input side.  Bytes are assembled into command lines ended by CR LF;
    // complete lines wait in the command queue.  Returns false if a partial
    // line grew beyond kMaxCommandLine and was dropped.
    bool receive(std::string_view bytes);
    // Queues a command line that arrived whole (without its line end), behind
    // the lines already complete; a partial line being received is left alone.
    void submit(std::string line, std::uint64_t source);
    bool has_command() const { return !commands_.empty(); }
    Command take_command();
    std::string next_command() { return take_command().line; }
    std::size_t partial_bytes() const { return partial_.size(); }
    std::size_t pending_commands() const { return commands_.size(); }

    // The reply to one command line; a dialogue of several answers moves on
    // to its next one.  With suppressIdentity the identity query gets no
    // answer (and moves nothing on).
    Reply answer(std::string_view command, bool suppressIdentity);

    // Output side: a queue of response messages, taken by READs.
    void queue(Message message);
    bool has_output() const { return !output_.empty(); }
    // Up to `capacity` bytes of the front message; never crosses into the
    // next message.  take_into copies them to `out` and returns the count.
    std::string take(std::size_t capacity);
    std::size_t take_into(char* out, std::size_t capacity);
    std::size_t output_messages() const { return output_.size(); }
    std::size_t output_bytes() const { return outputBytes_; }

    // Recovery: drops untaken output, the partial line and unanswered
    // commands.  Where each dialogue stands in its answers stays: the
    // instrument has given those answers.
    void clear();

private:
    std::shared_ptr<const InstrumentDef> def_;
    std::string identity_;
    std::string partial_;
    std::deque<Command> commands_;
    std::deque<Message> output_;
    std::size_t frontOffset_ = 0;  // bytes of output_.front() already taken
    std::size_t outputBytes_ = 0;  // untaken bytes in output_
    std::vector<std::size_t> turns_;  // per dialogue: the answers given so far
};

// Replaces "{n}" in an identity template by the six-digit device number.
std::string expand_identity(std::string_view pattern, std::uint32_t deviceNumber);

}  // namespace tavlib::sim
