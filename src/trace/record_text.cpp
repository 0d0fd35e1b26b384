#include "trace/record_text.h"

#include "trace/sha256.h"

namespace tavlib::trace {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Days since 1970-01-01 to the civil date (proleptic Gregorian calendar),
// after H. Hinnant's days-to-civil algorithm: eras of 400 years from
// 0000-03-01.
void civil_from_days(std::int64_t days, std::int64_t* year, unsigned* month, unsigned* day) noexcept {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;  // from March
    *day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    *month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    *year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0);
}

void append_digits(std::string& out, std::uint64_t value, int width) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 || n < width);
    while (n > 0) out += digits[--n];
}

}  // namespace

bool is_text(const unsigned char* bytes, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char c = bytes[i];
        if ((c < 0x20 || c > 0x7E) && c != '\t' && c != '\r' && c != '\n') return false;
    }
    return true;
}

void append_string(std::string& out, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    out += '"';
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char c = bytes[i];
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c >= 0x20 && c <= 0x7E) {
                    out += static_cast<char>(c);
                } else {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                }
        }
    }
    out += '"';
}

void append_base64(std::string& out, const unsigned char* bytes, std::size_t size) {
    constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t group = std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 |
                                    bytes[i + 2];
        out += kAlphabet[group >> 18];
        out += kAlphabet[(group >> 12) & 0x3F];
        out += kAlphabet[(group >> 6) & 0x3F];
        out += kAlphabet[group & 0x3F];
    }
    if (i + 1 == size) {
        const std::uint32_t group = std::uint32_t{bytes[i]} << 16;
        out += kAlphabet[group >> 18];
        out += kAlphabet[(group >> 12) & 0x3F];
        out += "==";
    } else if (i + 2 == size) {
        const std::uint32_t group = std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8;
        out += kAlphabet[group >> 18];
        out += kAlphabet[(group >> 12) & 0x3F];
        out += kAlphabet[(group >> 6) & 0x3F];
        out += '=';
    }
}

void append_data(std::string& out, const void* data, std::size_t size, std::uint64_t limit) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    const std::size_t kept = size < limit ? size : static_cast<std::size_t>(limit);
    out += "{\"len\":";
    append_digits(out, size, 1);
    if (is_text(bytes, kept)) {
        out += ",\"text\":";
        append_string(out, bytes, kept);
    } else {
        out += ",\"base64\":\"";
        append_base64(out, bytes, kept);
        out += '"';
    }
    if (kept < size) {
        out += ",\"kept\":";
        append_digits(out, kept, 1);
        out += ",\"rest_sha256\":\"";
        out += sha256_hex(bytes + kept, size - kept);
        out += '"';
    }
    out += '}';
}

void append_number(std::string& out, std::uint64_t value) { append_digits(out, value, 1); }

void append_utc_time(std::string& out, std::int64_t microseconds) {
    if (microseconds < 0) microseconds = 0;
    constexpr std::int64_t kPerDay = std::int64_t{86400} * 1000000;
    const std::int64_t days = microseconds / kPerDay;
    std::int64_t ofDay = microseconds % kPerDay;
    std::int64_t year = 0;
    unsigned month = 0, day = 0;
    civil_from_days(days, &year, &month, &day);
    out += '"';
    append_digits(out, static_cast<std::uint64_t>(year), 4);
    out += '-';
    append_digits(out, month, 2);
    out += '-';
    append_digits(out, day, 2);
    out += 'T';
    append_digits(out, static_cast<std::uint64_t>(ofDay / 3600000000), 2);
    ofDay %= 3600000000;
    out += ':';
    append_digits(out, static_cast<std::uint64_t>(ofDay / 60000000), 2);
    ofDay %= 60000000;
    out += ':';
    append_digits(out, static_cast<std::uint64_t>(ofDay / 1000000), 2);
    out += '.';
    append_digits(out, static_cast<std::uint64_t>(ofDay % 1000000), 6);
    out += "Z\"";
}

bool parse_count(std::string_view text, std::uint64_t* value) noexcept {
    if (text.empty()) return false;
    std::uint64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (result > (UINT64_MAX - digit) / 10) return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

std::string expand_process_id(std::string_view pattern, std::uint32_t processId) {
    // Not std::to_string: its digit table is a unique global symbol, which
    // the shared library would export.
    std::string pid;
    append_digits(pid, processId, 1);
    std::string path;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 'p') {
            path += pid;
            ++i;
        } else {
            path += pattern[i];
        }
    }
    return path;
}

}  // namespace tavlib::trace
