#include "control_text.h"

#include <charconv>

namespace tavlib::sim {

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t pos = text.find(sep, start);
        out.push_back(text.substr(start, pos == std::string_view::npos ? std::string_view::npos : pos - start));
        if (pos == std::string_view::npos) break;
        start = pos + 1;
    }
    return out;
}

std::optional<std::uint32_t> parse_u32(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty()) return std::nullopt;
    std::uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";
constexpr char kLowerHex[] = "0123456789abcdef";

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::string> unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        switch (text[i]) {
            case 'r': out += '\r'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case '0': out += '\0'; break;
            case '\\': out += '\\'; break;
            case 's': out += ' '; break;
            case 'x': {
                if (i + 2 >= text.size()) return std::nullopt;
                const int hi = hex_digit(text[i + 1]);
                const int lo = hex_digit(text[i + 2]);
                if (hi < 0 || lo < 0) return std::nullopt;
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return out;
}

std::string encode(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += ch;
        } else {
            out += "\\x";
            out += kUpperHex[c >> 4];
            out += kUpperHex[c & 15];
        }
    }
    return out;
}

bool is_base64(std::string_view text) {
    if (text.size() % 4 != 0) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                              c == '+' || c == '/';
        // '=' only as the last one or two characters.
        const bool padding = c == '=' && i + 2 >= text.size() && (i + 1 == text.size() || text[i + 1] == '=');
        if (!alphabet && !padding) return false;
    }
    return true;
}

std::string to_lf_line_ends(std::string_view message) {
    std::string out;
    out.reserve(message.size());
    for (std::size_t i = 0; i < message.size(); ++i) {
        if (message[i] == '\r' && i + 1 < message.size() && message[i + 1] == '\n') continue;
        out += message[i];
    }
    return out;
}

std::string escape(std::string_view bytes, std::size_t limit, HexDigits digits) {
    const char* const kHex = digits == HexDigits::kUpper ? kUpperHex : kLowerHex;
    std::string out;
    const std::size_t n = bytes.size() < limit ? bytes.size() : limit;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    out += static_cast<char>(c);
                } else {
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                }
        }
    }
    if (n < bytes.size()) out += "...";
    return out;
}

}  // namespace tavlib::sim
