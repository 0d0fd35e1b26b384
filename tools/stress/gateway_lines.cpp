#include "gateway_lines.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <cstdio>

#include "data_pattern.h"
#include "tavlib/driver_interface.h"

namespace tavlib::stress::gateway {

namespace {

std::string pattern;  // set once before the clients start

// Maker and model, and the comma before the serial number.
const std::string kIdentityHead = std::string(driver::kIdentityPrefix) + ",";
constexpr std::string_view kUnsolicitedHead = "UNSOLICITED ";
constexpr std::string_view kBusyHead = "ERROR: tavril-gateway: slot ";
constexpr std::string_view kBusyTail = " is in use by another client; connection closed";

std::string tag_text(const Tag& tag) {
    return std::to_string(tag.port) + "." + std::to_string(tag.client) + "." + std::to_string(tag.seq);
}

// The payload of an echo line: letters that depend on the sequence number,
// so that an echo cut short or joined with another does not pass.
std::string echo_payload(std::uint64_t seq, std::size_t size) {
    std::string payload(size, 'a');
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<char>('a' + (seq + i * 7) % 26);
    return payload;
}

// Takes a decimal number off the front of `text`.
template <typename Number>
bool take_number(std::string_view& text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) return false;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return true;
}

bool take(std::string_view& text, char c) {
    if (text.empty() || text.front() != c) return false;
    text.remove_prefix(1);
    return true;
}

bool take_tag(std::string_view& text, Tag& tag) {
    return take_number(text, tag.port) && take(text, '.') && take_number(text, tag.client) &&
           take(text, '.') && take_number(text, tag.seq);
}

}  // namespace

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::query: return "query";
        case Kind::setting: return "setting";
        case Kind::echo: return "long echo";
        case Kind::reset: return "*RST";
        case Kind::pair: return "PAIR?";
        case Kind::slow: return "SLOW?";
        case Kind::identity: return driver::kIdentityQuery;
        case Kind::mirror: return "the identity as a line";
        case Kind::data: return "DATA?";
    }
    return "?";
}

bool Line::next_is(std::string_view message) const {
    if (complete()) return false;
    if (dataSize != 0)
        return message.size() == dataSize - 2 && message == std::string_view(pattern).substr(0, dataSize - 2);
    return message == want[got];
}

bool Line::next_ends(std::string_view message) const {
    if (complete()) return false;
    // A message that is whole as it stands (unsolicited output, a tagged
    // answer, an identity) is what it is, though a short answer ("0" of
    // DATA? 3) ends it.  An empty answer (DATA? 2) ends every message, and
    // so is never taken to follow the rest of another.
    const Stray::Is is = read_stray(message).is;
    if (is != Stray::Is::data && is != Stray::Is::not_a_message) return false;
    if (dataSize != 0)
        return dataSize > 2 && message.size() > dataSize - 2 &&
               message.ends_with(std::string_view(pattern).substr(0, dataSize - 2));
    return !want[got].empty() && message.size() > want[got].size() && message.ends_with(want[got]);
}

bool Line::holds_piece(std::string_view message) const {
    if (message.empty() || text.find(message) != std::string::npos) return true;
    if (dataSize != 0) return std::string_view(pattern).substr(0, dataSize - 2).find(message) != std::string_view::npos;
    return std::any_of(want.begin(), want.end(),
                       [&](const std::string& one) { return one.find(message) != std::string::npos; });
}

std::string Line::shown() const { return gateway::shown(text); }

Line make_line(Kind kind, const Tag& tag, const std::string& identity, std::size_t dataSize,
               std::size_t echoSize) {
    Line line;
    line.kind = kind;
    line.seq = tag.seq;
    switch (kind) {
        case Kind::query: line.text = "Q" + tag_text(tag) + "?"; break;
        case Kind::setting: line.text = "S" + tag_text(tag); break;
        case Kind::echo:
            line.text = "E" + tag_text(tag) + "." + std::to_string(echoSize) + ":" +
                        echo_payload(tag.seq, echoSize);
            break;
        case Kind::reset: line.text = "*RST"; break;
        case Kind::pair: line.text = "PAIR?"; break;
        case Kind::slow: line.text = "SLOW?"; break;
        case Kind::identity: line.text = driver::kIdentityQuery; break;
        case Kind::mirror: line.text = identity; break;
        case Kind::data: line.text = "DATA? " + std::to_string(dataSize); break;
    }
    switch (kind) {
        case Kind::query:
        case Kind::setting:
        case Kind::echo: line.want = {line.text}; break;  // the instrument echoes them
        case Kind::reset: break;                            // silent
        case Kind::pair: line.want = {"PAIR ONE", "PAIR TWO"}; break;
        case Kind::slow: line.want = {"SLOW DONE"}; break;
        case Kind::identity:
        case Kind::mirror: line.want = {identity}; break;
        case Kind::data: line.dataSize = dataSize; break;
    }
    return line;
}

std::string busy_line(int slot) {
    return std::string(kBusyHead) + std::to_string(slot) + std::string(kBusyTail);
}

std::string unsolicited_text(int port, std::uint64_t number) {
    return std::string(kUnsolicitedHead) + std::to_string(port) + "." + std::to_string(number);
}

std::string identity_text(std::uint32_t device) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "SN%06u", static_cast<unsigned>(device));
    return kIdentityHead + serial + ",1.0.0";
}

std::string serial_of(std::string_view identity) {
    identity.remove_prefix(kIdentityHead.size());
    return std::string(identity.substr(0, identity.find(',')));
}

Stray read_stray(std::string_view message) {
    Stray stray;
    std::string_view rest = message;
    if (message.starts_with(kUnsolicitedHead)) {
        rest.remove_prefix(kUnsolicitedHead.size());
        if (take_number(rest, stray.slot) && take(rest, '.') && take_number(rest, stray.number) && rest.empty())
            stray.is = Stray::Is::unsolicited;
        return stray;
    }
    if (message.starts_with(kBusyHead)) {
        rest.remove_prefix(kBusyHead.size());
        if (take_number(rest, stray.slot) && rest == kBusyTail) stray.is = Stray::Is::busy;
        return stray;
    }
    if (message.starts_with(kIdentityHead)) {
        // Maker, model, serial number, firmware.
        const std::string serial = serial_of(message);
        const std::size_t commas = static_cast<std::size_t>(std::count(message.begin(), message.end(), ','));
        if (commas == 3 && !serial.empty()) {
            stray.is = Stray::Is::identity;
            stray.serial = serial;
        }
        return stray;
    }
    if (message == "PAIR ONE" || message == "PAIR TWO" || message == "SLOW DONE") {
        stray.is = Stray::Is::fixed;
        return stray;
    }
    if (!message.empty() && (message[0] == 'Q' || message[0] == 'S' || message[0] == 'E')) {
        const char kind = message[0];
        rest.remove_prefix(1);
        if (!take_tag(rest, stray.tag)) return stray;
        std::size_t size = 0;
        const bool whole = kind == 'Q'   ? rest == "?"
                           : kind == 'S' ? rest.empty()
                                         : take(rest, '.') && take_number(rest, size) && take(rest, ':') &&
                                               rest == echo_payload(stray.tag.seq, size);
        if (whole) stray.is = Stray::Is::tagged;
        return stray;
    }
    if (!message.empty() && message.size() <= pattern.size() &&
        message == std::string_view(pattern).substr(0, message.size()))
        stray.is = Stray::Is::data;
    return stray;
}

void excuse_later_candidates(std::deque<Line>& outstanding, std::deque<Line>::iterator match,
                             std::string_view message, bool mayHaveLost) {
    if (!mayHaveLost || read_stray(message).is == Stray::Is::tagged) return;
    for (auto later = std::next(match); later != outstanding.end(); ++later)
        if (later->next_is(message)) later->excused = true;
}

bool unsolicited_front(std::string_view piece) {
    if (kUnsolicitedHead.starts_with(piece)) return true;
    if (!piece.starts_with(kUnsolicitedHead)) return false;
    piece.remove_prefix(kUnsolicitedHead.size());
    return std::all_of(piece.begin(), piece.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

void prepare_pattern(std::size_t maxSize) {
    pattern = sim::data_pattern(maxSize);
    pattern.resize(maxSize - 2);
}

std::string shown(std::string_view message) {
    constexpr std::size_t kShown = 48;
    std::string text = "\"";
    for (const char c : message.substr(0, kShown))
        text += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '.' : c;
    text += "\"";
    if (message.size() > kShown) text += "... (" + std::to_string(message.size()) + " bytes)";
    return text;
}

}  // namespace tavlib::stress::gateway
