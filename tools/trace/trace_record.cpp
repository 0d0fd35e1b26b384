#include "trace_record.h"

#include <array>
#include <ctime>
#include <limits>

#include <nlohmann/json.hpp>

#include "control_text.h"
#include <yaml-cpp/binary.h>

namespace tavlib::trace {
namespace {

using Json = nlohmann::json;

constexpr std::array kCallNames{
    std::pair{Call::Start, std::string_view("start")},
    std::pair{Call::Open, std::string_view("Open_Tavril")},
    std::pair{Call::Close, std::string_view("Close_Tavril")},
    std::pair{Call::Write, std::string_view("Write_Tavril")},
    std::pair{Call::Read, std::string_view("Read_Tavril")},
    std::pair{Call::Scmd, std::string_view("Scmd_Tavril")},
    std::pair{Call::Conf, std::string_view("Conf_Tavril")},
    std::pair{Call::End, std::string_view("end")},
};

[[noreturn]] void refuse(const std::string& why) { throw RecordError(why); }

const Json& member(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) refuse(std::string("no member '") + key + "'");
    return *it;
}

// A member that may be absent or null.
const Json* optional_member(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

std::int64_t integer(const Json& value, const char* key, std::int64_t min, std::int64_t max) {
    std::int64_t n = 0;
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            refuse(std::string("'") + key + "' is out of range");
        n = static_cast<std::int64_t>(u);
    } else if (value.is_number_integer()) {
        n = value.get<std::int64_t>();
    } else {
        refuse(std::string("'") + key + "' must be a whole number");
    }
    if (n < min || n > max) refuse(std::string("'") + key + "' is out of range: " + std::to_string(n));
    return n;
}

std::int64_t integer_member(const Json& object, const char* key, std::int64_t min, std::int64_t max) {
    return integer(member(object, key), key, min, max);
}

std::uint64_t unsigned_member(const Json& object, const char* key) {
    const Json& value = member(object, key);
    if (!value.is_number_unsigned() && !(value.is_number_integer() && value.get<std::int64_t>() >= 0))
        refuse(std::string("'") + key + "' must be a whole number, 0 or more");
    return value.get<std::uint64_t>();
}

std::uint32_t u32_member(const Json& object, const char* key) {
    return static_cast<std::uint32_t>(integer_member(object, key, 0, 0xFFFF'FFFF));
}

std::int32_t i32_member(const Json& object, const char* key) {
    return static_cast<std::int32_t>(
        integer_member(object, key, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

std::string string_member(const Json& object, const char* key) {
    const Json& value = member(object, key);
    if (!value.is_string()) refuse(std::string("'") + key + "' must be a string");
    return value.get<std::string>();
}

bool is_lower_hex(std::string_view text) {
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

Block block(const Json& value, const char* key) {
    const std::string what = std::string("'") + key + "'";
    if (!value.is_object()) refuse(what + " must be a data object");
    Block out;
    out.length = unsigned_member(value, "len");
    const Json* text = optional_member(value, "text");
    const Json* base64 = optional_member(value, "base64");
    if ((text != nullptr) == (base64 != nullptr)) refuse(what + " needs one of 'text' and 'base64'");
    if (text != nullptr) {
        if (!text->is_string()) refuse(what + ": 'text' must be a string");
        out.bytes = text->get<std::string>();
        for (const char c : out.bytes)
            if (static_cast<unsigned char>(c) >= 0x80) refuse(what + ": 'text' holds a byte beyond ASCII");
    } else {
        if (!base64->is_string()) refuse(what + ": 'base64' must be a string");
        const std::string& encoded = base64->get_ref<const std::string&>();
        if (!sim::is_base64(encoded)) refuse(what + ": 'base64' is not base64");
        const std::vector<unsigned char> decoded = YAML::DecodeBase64(encoded);
        // Padding bits that are not zero: not the encoding of any bytes.
        if (YAML::EncodeBase64(decoded.data(), decoded.size()) != encoded)
            refuse(what + ": 'base64' is not base64");
        out.bytes.assign(decoded.begin(), decoded.end());
    }
    const Json* kept = optional_member(value, "kept");
    const Json* rest = optional_member(value, "rest_sha256");
    if ((kept != nullptr) != (rest != nullptr)) refuse(what + " needs both 'kept' and 'rest_sha256' or neither");
    if (kept != nullptr) {
        const auto keptBytes = static_cast<std::uint64_t>(integer(*kept, "kept", 0, std::numeric_limits<std::int64_t>::max()));
        if (keptBytes >= out.length) refuse(what + ": 'kept' must be less than 'len'");
        if (out.bytes.size() != keptBytes)
            refuse(what + " holds " + std::to_string(out.bytes.size()) + " bytes, not the " +
                   std::to_string(keptBytes) + " of 'kept'");
        if (!rest->is_string() || rest->get_ref<const std::string&>().size() != 64 ||
            !is_lower_hex(rest->get_ref<const std::string&>()))
            refuse(what + ": 'rest_sha256' must be 64 hex digits");
        out.restSha256 = rest->get<std::string>();
    } else if (out.bytes.size() != out.length) {
        refuse(what + " holds " + std::to_string(out.bytes.size()) + " bytes, not the " +
               std::to_string(out.length) + " of 'len'");
    }
    return out;
}

std::optional<Block> optional_block(const Json& object, const char* key) {
    const Json* value = optional_member(object, key);
    if (value == nullptr) return std::nullopt;
    return block(*value, key);
}

Identity identity(const Json& value) {
    if (!value.is_object()) refuse("'identity' must be an object");
    return Identity{string_member(value, "model"), string_member(value, "serialNumber"),
                    string_member(value, "firmwareVersion")};
}

// The identity line: a data object, or plain text.
std::optional<std::string> idn(const Json& object) {
    const Json* value = optional_member(object, "idn");
    if (value == nullptr) return std::nullopt;
    if (value->is_string()) return value->get<std::string>();
    return block(*value, "idn").bytes;
}

void call_members(const Json& object, Record& record) {
    record.durUs = unsigned_member(object, "dur_us");
    if (const Json* slot = optional_member(object, "slot"))
        record.slot = static_cast<std::uint32_t>(integer(*slot, "slot", 0, 0xFFFF'FFFF));
    if (const Json* handle = optional_member(object, "handle")) {
        if (!handle->is_string()) refuse("'handle' must be a string or null");
        record.handle = handle->get<std::string>();
    }
    record.result = i32_member(object, "result");
    // null when the caller passed no errorCode word.
    if (const Json* error = optional_member(object, "error"))
        record.error = static_cast<std::uint32_t>(integer(*error, "error", 0, 0xFFFF'FFFF));
    else if (object.find("error") == object.end())
        refuse("no member 'error'");
    switch (record.call) {
        case Call::Open:
        case Call::Conf:
            if (const Json* id = optional_member(object, "identity")) record.identity = identity(*id);
            record.idn = idn(object);
            break;
        case Call::Close:
            break;
        case Call::Write:
            record.timeout = u32_member(object, "timeout");
            record.bytesWritten = u32_member(object, "bytesWritten");
            record.text = optional_block(object, "text");
            break;
        case Call::Read:
            record.maxBytes = u32_member(object, "maxBytes");
            record.mode = i32_member(object, "mode");
            record.timeout = u32_member(object, "timeout");
            record.bytesRead = u32_member(object, "bytesRead");
            record.data = optional_block(object, "data");
            break;
        case Call::Scmd:
            record.maxBytes = u32_member(object, "maxBytes");
            record.mode = i32_member(object, "mode");
            record.writeTimeout = u32_member(object, "writeTimeout");
            record.readTimeout = u32_member(object, "readTimeout");
            record.command = optional_block(object, "command");
            record.response = optional_block(object, "response");
            break;
        case Call::Start:
        case Call::End:
            break;
    }
}

int two_digits(std::string_view text, std::size_t at) {
    const char a = text[at];
    const char b = text[at + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9') return -1;
    return (a - '0') * 10 + (b - '0');
}

}  // namespace

std::string_view call_name(Call call) {
    for (const auto& [value, name] : kCallNames)
        if (value == call) return name;
    return "?";
}

std::optional<tools::Function> function_of(Call call) {
    switch (call) {
        case Call::Open: return tools::Function::Open;
        case Call::Close: return tools::Function::Close;
        case Call::Write: return tools::Function::Write;
        case Call::Read: return tools::Function::Read;
        case Call::Scmd: return tools::Function::Scmd;
        case Call::Conf: return tools::Function::Conf;
        case Call::Start:
        case Call::End: break;
    }
    return std::nullopt;
}

std::optional<std::int64_t> parse_time(std::string_view text) {
    // YYYY-MM-DDTHH:MM:SS[.ffffff]Z
    if (text.size() < 20 || text.size() > 27 || text.back() != 'Z' || text[4] != '-' || text[7] != '-' ||
        text[10] != 'T' || text[13] != ':' || text[16] != ':')
        return std::nullopt;
    const int century = two_digits(text, 0);
    const int yy = two_digits(text, 2);
    const int month = two_digits(text, 5);
    const int day = two_digits(text, 8);
    const int hour = two_digits(text, 11);
    const int minute = two_digits(text, 14);
    const int second = two_digits(text, 17);
    if (century < 0 || yy < 0 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 60)
        return std::nullopt;
    std::int64_t micros = 0;
    const std::string_view fraction = text.substr(19, text.size() - 20);
    if (!fraction.empty()) {
        if (fraction[0] != '.' || fraction.size() < 2) return std::nullopt;
        std::int64_t scale = 100000;
        for (const char c : fraction.substr(1)) {
            if (c < '0' || c > '9') return std::nullopt;
            micros += (c - '0') * scale;
            scale /= 10;
        }
    }
    std::tm parts{};
    parts.tm_year = century * 100 + yy - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    const std::time_t seconds = timegm(&parts);
    // timegm normalises 31 February into March: such a date is no date.
    if (parts.tm_mday != day || parts.tm_mon != month - 1) return std::nullopt;
    return static_cast<std::int64_t>(seconds) * 1'000'000 + micros;
}

Record parse_record(std::string_view line) {
    Json object;
    try {
        object = Json::parse(line);
    } catch (const Json::exception& e) {
        // Syntax, and numbers beyond what a 64-bit value holds.
        std::string why = e.what();
        // "[json.exception.parse_error.101] parse error at line 1, column 4: ..."
        if (const auto at = why.find("] "); at != std::string::npos) why.erase(0, at + 2);
        // The record is one line: the column is what counts.
        if (const auto at = why.find("at line 1, column"); at != std::string::npos) why.erase(at + 3, 8);
        refuse("not a trace record: " + why);
    }
    if (!object.is_object()) refuse("not a trace record: not a JSON object");
    const auto version = object.find("v");
    if (version == object.end()) refuse("not a trace record: no member 'v'");
    if (!version->is_number_unsigned() || version->get<std::uint64_t>() != kRecordVersion)
        refuse("record version " + version->dump() + " is not known to this reader (it reads version " +
               std::to_string(kRecordVersion) + ")");
    Record record;

    const std::string call = string_member(object, "call");
    bool known = false;
    for (const auto& [value, name] : kCallNames) {
        if (name == call) {
            record.call = value;
            known = true;
        }
    }
    if (!known) refuse("'call' names no call of the library: \"" + call + "\"");
    record.seq = unsigned_member(object, "seq");
    record.time = string_member(object, "time");
    const std::optional<std::int64_t> time = parse_time(record.time);
    if (!time) refuse("'time' is not a UTC time such as \"2026-12-09T20:38:15.123456Z\": \"" + record.time + "\"");
    record.timeUs = *time;
    record.monoUs = unsigned_member(object, "mono_us");
    record.pid = integer_member(object, "pid", 0, std::numeric_limits<std::int64_t>::max());
    record.tid = integer_member(object, "tid", 0, std::numeric_limits<std::int64_t>::max());

    if (record.call == Call::Start) {
        record.library = string_member(object, "library");
        record.platform = string_member(object, "platform");
        record.dataLimit = unsigned_member(object, "data_limit");
        record.maxBytesLimit = unsigned_member(object, "max_bytes");
    } else if (record.call == Call::End) {
        record.reason = string_member(object, "reason");
        record.maxBytesLimit = unsigned_member(object, "max_bytes");
    } else {
        call_members(object, record);
    }
    return record;
}

}  // namespace tavlib::trace
