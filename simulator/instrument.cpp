#include "instrument.h"

#include "data_pattern.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace tavlib::sim {

const Dialogue* InstrumentDef::find(std::string_view command) const {
    for (const Dialogue& d : dialogues)
        if (d.command == command) return &d;
    return nullptr;
}

InstrumentDef default_instrument() {
    InstrumentDef def;
    def.name = "default";
    return def;
}

Message Message::data(std::size_t length) {
    Message m("\r\n");
    m.pattern = length - 2;
    return m;
}

void Message::copy(std::size_t offset, std::size_t n, char* out) const {
    if (offset < pattern) {
        const std::size_t k = std::min(n, pattern - offset);
        copy_data_pattern(offset, k, out);
        out += k;
        offset += k;
        n -= k;
    }
    if (n > 0) std::memcpy(out, text.data() + (offset - pattern), n);
}

std::string Message::bytes() const {
    std::string out(size(), '\0');
    copy(0, out.size(), out.data());
    return out;
}

std::string response_message(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    std::string out;
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n' && (i == 0 || text[i - 1] != '\r')) {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    out += "\r\n";
    return out;
}

std::string expand_identity(std::string_view pattern, std::uint32_t deviceNumber) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%06u", static_cast<unsigned>(deviceNumber));
    std::string out;
    for (std::size_t i = 0; i < pattern.size();) {
        if (pattern.substr(i, 3) == "{n}") {
            out += digits;
            i += 3;
        } else {
            out += pattern[i++];
        }
    }
    return out;
}

Instrument::Instrument(std::shared_ptr<const InstrumentDef> def, std::uint32_t deviceNumber)
    : def_(std::move(def)),
      identity_(expand_identity(def_->identity, deviceNumber)),
      turns_(def_->dialogues.size(), 0) {
    for (const std::string& message : def_->initialOutput) queue(message);
}

bool Instrument::receive(std::string_view bytes) {
    // A CR at the end of the previous piece may pair with an LF in this one.
    std::size_t scanFrom = partial_.empty() ? 0 : partial_.size() - 1;
    partial_.append(bytes);
    std::size_t lineStart = 0;
    for (;;) {
        const std::size_t end = partial_.find("\r\n", scanFrom);
        if (end == std::string::npos) break;
        commands_.push_back(Command{partial_.substr(lineStart, end - lineStart), 0});
        lineStart = end + 2;
        scanFrom = lineStart;
    }
    partial_.erase(0, lineStart);
    if (partial_.size() > kMaxCommandLine) {
        partial_.clear();
        return false;
    }
    return true;
}

void Instrument::submit(std::string line, std::uint64_t source) {
    commands_.push_back(Command{std::move(line), source});
}

Command Instrument::take_command() {
    Command command = std::move(commands_.front());
    commands_.pop_front();
    return command;
}

Reply Instrument::answer(std::string_view command, bool suppressIdentity) {
    if (suppressIdentity && command == kIdentityQuery) return {};
    if (const Dialogue* d = def_->find(command)) {
        if (d->replies.empty()) return {};
        const auto index = static_cast<std::size_t>(d - def_->dialogues.data());
        std::size_t& turn = turns_[index];
        const Reply& reply = d->replies[std::min(turn, d->replies.size() - 1)];
        if (turn < d->replies.size()) ++turn;
        return reply;
    }
    if (command == kIdentityQuery) return Reply{{response_message(identity_)}, 0};
    if (def_->dataCommand && command.substr(0, kDataCommand.size()) == kDataCommand) {
        const std::string_view digits = command.substr(kDataCommand.size());
        std::size_t size = 0;
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), size);
        if (ec == std::errc{} && end == digits.data() + digits.size() && size >= kMinDataSize &&
            size <= kMaxDataSize) {
            return Reply{{Message::data(size)}, 0};
        }
        return Reply{{response_message("ERROR DATA? needs a size from 2 to " +
                                       std::to_string(kMaxDataSize))},
                     0};
    }
    switch (def_->unknown) {
        case UnknownPolicy::kEcho:
            return Reply{{std::string(command) + "\r\n"}, 0};
        case UnknownPolicy::kSilent:
            return {};
        case UnknownPolicy::kRespond:
            return def_->unknownReply;
    }
    return {};
}

void Instrument::queue(Message message) {
    if (message.size() == 0) return;
    outputBytes_ += message.size();
    output_.push_back(std::move(message));
}

std::string Instrument::take(std::size_t capacity) {
    if (output_.empty()) return {};
    std::string out(std::min(capacity, output_.front().size() - frontOffset_), '\0');
    take_into(out.data(), out.size());
    return out;
}

std::size_t Instrument::take_into(char* out, std::size_t capacity) {
    if (output_.empty() || capacity == 0) return 0;
    const Message& front = output_.front();
    const std::size_t n = std::min(capacity, front.size() - frontOffset_);
    front.copy(frontOffset_, n, out);
    frontOffset_ += n;
    outputBytes_ -= n;
    if (frontOffset_ == front.size()) {
        output_.pop_front();
        frontOffset_ = 0;
    }
    return n;
}

void Instrument::clear() {
    partial_.clear();
    commands_.clear();
    output_.clear();
    frontOffset_ = 0;
    outputBytes_ = 0;
}

}  // namespace tavlib::sim
