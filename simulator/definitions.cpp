#include "definitions.h"

#include "control_text.h"
#include "data_pattern.h"

#include <yaml-cpp/binary.h>
#include <yaml-cpp/yaml.h>

#include <charconv>
#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>

namespace tavlib::sim {

namespace {

class Parser {
public:
    explicit Parser(std::string source) : source_(std::move(source)) {}

    std::vector<InstrumentDef> parse(std::string_view text) {
        YAML::Node root;
        try {
            root = YAML::Load(std::string(text));
        } catch (const YAML::ParserException& e) {
            throw DefinitionError(where(e.mark) + "not valid YAML: " + e.msg);
        }
        if (!root.IsMap()) fail(root, "the file must be a mapping with the key 'instruments'");
        allow_keys(root, {"instruments"}, "the top level");
        const YAML::Node list = root["instruments"];
        if (!list) fail(root, "missing key 'instruments'");
        if (!list.IsSequence() || list.size() == 0)
            fail(list, "'instruments' must be a non-empty list");

        std::vector<InstrumentDef> out;
        std::set<std::string> names;
        for (const YAML::Node& item : list) {
            InstrumentDef def = instrument(item);
            if (!names.insert(def.name).second)
                fail(item["name"], "instrument name '" + def.name + "' is used twice");
            out.push_back(std::move(def));
        }
        return out;
    }

private:
    std::string where(const YAML::Mark& mark) const {
        if (mark.is_null()) return source_ + ": ";
        return source_ + ":" + std::to_string(mark.line + 1) + ":" + std::to_string(mark.column + 1) +
               ": ";
    }

    [[noreturn]] void fail(const YAML::Node& node, const std::string& message) const {
        throw DefinitionError(where(node.Mark()) + message);
    }

    void allow_keys(const YAML::Node& map, std::initializer_list<std::string_view> keys,
                    const std::string& context) const {
        for (const auto& kv : map) {
            const std::string key = kv.first.Scalar();
            bool known = false;
            for (std::string_view k : keys) known = known || key == k;
            if (!known) {
                std::string list;
                for (std::string_view k : keys) list += (list.empty() ? "" : ", ") + std::string(k);
                fail(kv.first, "unknown key '" + key + "' in " + context + " (known keys: " + list + ")");
            }
        }
    }

    std::string text(const YAML::Node& node, const std::string& what) const {
        if (!node.IsScalar()) fail(node, what + " must be a text");
        return node.Scalar();
    }

    std::uint64_t number(const YAML::Node& node, const std::string& what, std::uint64_t min,
                         std::uint64_t max) const {
        if (!node.IsScalar()) fail(node, what + " must be a number");
        const std::string& s = node.Scalar();
        std::uint64_t value = 0;
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
        if (ec != std::errc{} || end != s.data() + s.size() || s.empty())
            fail(node, what + " must be a whole number, not '" + s + "'");
        if (value < min || value > max)
            fail(node, what + " must lie between " + std::to_string(min) + " and " +
                           std::to_string(max) + ", not " + s);
        return value;
    }

    bool boolean(const YAML::Node& node, const std::string& what) const {
        if (node.IsScalar()) {
            const std::string& s = node.Scalar();
            if (s == "true" || s == "yes" || s == "on") return true;
            if (s == "false" || s == "no" || s == "off") return false;
        }
        fail(node, what + " must be true or false");
    }

    // The bytes of a 'base64' value: base64 text, blanks and line breaks
    // between its characters allowed (a long value may be folded).
    std::string base64(const YAML::Node& node, const std::string& what) const {
        std::string encoded;
        for (const char c : text(node, what))
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n') encoded += c;
        if (encoded.empty() || !is_base64(encoded)) fail(node, what + " must be base64 text of at least one byte");
        const std::vector<unsigned char> decoded = YAML::DecodeBase64(encoded);
        // Padding bits that are not zero: not the encoding of any bytes.
        if (YAML::EncodeBase64(decoded.data(), decoded.size()) != encoded)
            fail(node, what + " must be base64 text of at least one byte");
        return std::string(decoded.begin(), decoded.end());
    }

    // One message of 'responses': a text, or a mapping with exactly one of
    // response, raw, base64, size.
    Message listed_message(const YAML::Node& node) const {
        if (!node.IsMap()) return response_message(text(node, "each of 'responses'"));
        allow_keys(node, {"response", "raw", "base64", "size"}, "a message of 'responses'");
        if (node.size() != 1)
            fail(node, "a message of 'responses' needs exactly one of 'response', 'raw', 'base64', 'size'");
        const auto entry = *node.begin();
        const std::string form = entry.first.Scalar();
        const YAML::Node value = entry.second;
        if (form == "response") return response_message(text(value, "'response'"));
        if (form == "size") return Message::data(number(value, "'size'", kMinDataSize, kMaxDataSize));
        if (form == "base64") return base64(value, "'base64'");
        std::string bytes = text(value, "'raw'");
        if (bytes.empty()) fail(value, "'raw' must not be empty");
        return bytes;
    }

    // Reads the response keys of a dialogue, of a step of its 'sequence', or
    // of `unknown`.  Exactly one of response, responses, raw, base64, size,
    // silent must be present.  `delayMs` is the delay when the map names none.
    Reply reply(const YAML::Node& map, const std::string& context, std::uint32_t delayMs = 0) const {
        Reply r;
        int forms = 0;
        if (const YAML::Node n = map["response"]) {
            ++forms;
            r.messages.push_back(response_message(text(n, "'response'")));
        }
        if (const YAML::Node n = map["responses"]) {
            ++forms;
            if (!n.IsSequence() || n.size() == 0) fail(n, "'responses' must be a non-empty list of texts");
            for (const YAML::Node& m : n) r.messages.push_back(listed_message(m));
        }
        if (const YAML::Node n = map["raw"]) {
            ++forms;
            std::string bytes = text(n, "'raw'");
            if (bytes.empty()) fail(n, "'raw' must not be empty");
            r.messages.push_back(std::move(bytes));
        }
        if (const YAML::Node n = map["base64"]) {
            ++forms;
            r.messages.push_back(base64(n, "'base64'"));
        }
        if (const YAML::Node n = map["size"]) {
            ++forms;
            r.messages.push_back(Message::data(number(n, "'size'", kMinDataSize, kMaxDataSize)));
        }
        if (const YAML::Node n = map["silent"]) {
            ++forms;
            if (!boolean(n, "'silent'")) fail(n, "'silent' can only be true; leave it out otherwise");
        }
        if (forms != 1)
            fail(map, context + " needs exactly one of 'response', 'responses', 'raw', 'base64', 'size', 'silent'" +
                          (forms == 0 ? "" : " (found " + std::to_string(forms) + ")"));
        r.delayMs = delayMs;
        if (const YAML::Node n = map["delay_ms"])
            r.delayMs = static_cast<std::uint32_t>(number(n, "'delay_ms'", 0, kMaxDelayMs));
        return r;
    }

    // The answers of a dialogue: one, or the steps of its 'sequence'.
    std::vector<Reply> replies(const YAML::Node& d, const std::string& context) const {
        const YAML::Node steps = d["sequence"];
        if (!steps) return {reply(d, context)};
        if (!steps.IsSequence() || steps.size() == 0)
            fail(steps, "'sequence' of " + context + " must be a non-empty list of answers");
        for (const char* key : {"response", "responses", "raw", "base64", "size", "silent"})
            if (d[key]) fail(d[key], context + " has a 'sequence'; its answers go there, not '" + key + "'");
        std::uint32_t delayMs = 0;
        if (const YAML::Node n = d["delay_ms"])
            delayMs = static_cast<std::uint32_t>(number(n, "'delay_ms'", 0, kMaxDelayMs));
        std::vector<Reply> out;
        std::size_t index = 0;
        for (const YAML::Node& step : steps) {
            const std::string scontext = "answer " + std::to_string(++index) + " of the sequence of " + context;
            if (!step.IsMap()) fail(step, scontext + " must be a mapping");
            allow_keys(step, {"response", "responses", "raw", "base64", "size", "silent", "delay_ms"}, scontext);
            out.push_back(reply(step, scontext, delayMs));
        }
        return out;
    }

    InstrumentDef instrument(const YAML::Node& node) const {
        if (!node.IsMap()) fail(node, "each instrument must be a mapping");
        allow_keys(node,
                   {"name", "count", "identity", "data_command", "unknown", "initial_output", "dialogues",
                    "faults"},
                   "an instrument");
        InstrumentDef def;
        const YAML::Node name = node["name"];
        if (!name) fail(node, "an instrument needs a 'name'");
        def.name = text(name, "'name'");
        if (!valid_instrument_name(def.name))
            fail(name, "instrument name '" + def.name +
                           "' must be 1 to 64 letters, digits, '_', '-' or '.'");
        const std::string context = "instrument '" + def.name + "'";

        if (const YAML::Node n = node["count"])
            def.count = static_cast<unsigned>(number(n, "'count'", 0, kMaxDevicesPerInstrument));
        if (const YAML::Node n = node["identity"]) {
            def.identity = text(n, "'identity'");
            if (def.identity.find_first_of("\r\n") != std::string::npos)
                fail(n, "'identity' must be a single line");
        }
        if (const YAML::Node n = node["data_command"]) def.dataCommand = boolean(n, "'data_command'");

        if (const YAML::Node n = node["unknown"]) {
            if (n.IsScalar() && n.Scalar() == "echo") {
                def.unknown = UnknownPolicy::kEcho;
            } else if (n.IsScalar() && n.Scalar() == "silent") {
                def.unknown = UnknownPolicy::kSilent;
            } else if (n.IsMap()) {
                allow_keys(n, {"response", "responses", "raw", "base64", "size", "silent", "delay_ms"},
                           "'unknown' of " + context);
                def.unknown = UnknownPolicy::kRespond;
                def.unknownReply = reply(n, "'unknown' of " + context);
            } else {
                fail(n, "'unknown' must be 'echo', 'silent' or a mapping with a response");
            }
        }

        if (const YAML::Node n = node["initial_output"]) {
            if (!n.IsSequence()) fail(n, "'initial_output' must be a list of texts");
            for (const YAML::Node& m : n)
                def.initialOutput.push_back(response_message(text(m, "each of 'initial_output'")));
        }

        if (const YAML::Node n = node["faults"]) {
            if (!n.IsSequence()) fail(n, "'faults' must be a list of fault texts such as \"delay 500 on=read\"");
            for (const YAML::Node& f : n) {
                const std::string faultText = text(f, "each of 'faults'");
                std::string error;
                const std::optional<Fault> fault = parse_fault(split_words(faultText), &error);
                if (!fault) fail(f, "fault '" + faultText + "': " + error);
                def.faults.push_back(*fault);
            }
        }

        if (const YAML::Node n = node["dialogues"]) {
            if (!n.IsSequence()) fail(n, "'dialogues' must be a list");
            std::size_t index = 0;
            for (const YAML::Node& d : n) {
                ++index;
                const std::string dcontext = "dialogue " + std::to_string(index) + " of " + context;
                if (!d.IsMap()) fail(d, dcontext + " must be a mapping");
                allow_keys(d,
                           {"command", "response", "responses", "raw", "base64", "size", "silent", "delay_ms",
                            "sequence"},
                           dcontext);
                const YAML::Node command = d["command"];
                if (!command) fail(d, dcontext + " needs a 'command'");
                Dialogue dialogue;
                dialogue.command = text(command, "'command'");
                if (dialogue.command.find("\r\n") != std::string::npos)
                    fail(command, "'command' must not contain CR LF");
                if (def.find(dialogue.command) != nullptr)
                    fail(command, "command '" + dialogue.command + "' appears twice in " + context);
                dialogue.replies = replies(d, dcontext);
                def.dialogues.push_back(std::move(dialogue));
            }
        }
        return def;
    }

    std::string source_;
};

}  // namespace

bool valid_instrument_name(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

std::vector<InstrumentDef> parse_definitions(std::string_view text, const std::string& source) {
    try {
        return Parser(source).parse(text);
    } catch (const YAML::Exception& e) {
        // Anything yaml-cpp throws beyond syntax errors (bad conversions).
        throw DefinitionError(source + ": " + e.what());
    }
}

std::vector<InstrumentDef> load_definitions_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw DefinitionError(path + ": cannot open the definitions file");
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) throw DefinitionError(path + ": cannot read the definitions file");
    return parse_definitions(content.str(), path);
}

}  // namespace tavlib::sim
