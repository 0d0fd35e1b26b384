// Fuzz target: the simulator's definitions file parser.
//
// Fuzzes the simulator's definitions file parser with arbitrary text.  The
// parser must either reject the text with a DefinitionError that names the
// source, or return instruments that keep every rule the file format sets;
// any other exception, a crash or a leak is a find.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "data_pattern.h"
#include "definitions.h"
#include "fuzz_check.h"

namespace {

using namespace tavlib::sim;

const std::string kSource = "fuzz.yaml";

void check_reply(const Reply& reply) {
    FUZZ_CHECK(reply.delayMs <= kMaxDelayMs);
    for (const Message& message : reply.messages) {
        FUZZ_CHECK(message.size() > 0);
        // A sized response is held as its length and its CR LF, never as its bytes.
        if (message.pattern > 0) FUZZ_CHECK(message.text == "\r\n" && message.size() <= kMaxDataSize);
    }
}

void check_instrument(const InstrumentDef& def) {
    FUZZ_CHECK(valid_instrument_name(def.name));
    FUZZ_CHECK(def.count <= kMaxDevicesPerInstrument);
    FUZZ_CHECK(def.identity.find_first_of("\r\n") == std::string::npos);
    if (def.unknown == UnknownPolicy::kRespond) check_reply(def.unknownReply);
    for (const std::string& message : def.initialOutput) {
        // A response text becomes one message ending in CR LF.
        FUZZ_CHECK(message.size() >= 2 && message.compare(message.size() - 2, 2, "\r\n") == 0);
    }
    std::set<std::string_view> commands;
    for (const Dialogue& dialogue : def.dialogues) {
        FUZZ_CHECK(dialogue.command.find("\r\n") == std::string::npos);
        FUZZ_CHECK(commands.insert(dialogue.command).second);
        FUZZ_CHECK(def.find(dialogue.command) == &dialogue);
        FUZZ_CHECK(!dialogue.replies.empty());
        for (const Reply& reply : dialogue.replies) check_reply(reply);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const std::vector<InstrumentDef> defs = parse_definitions(text, kSource);
        FUZZ_CHECK(!defs.empty());
        std::set<std::string_view> names;
        for (const InstrumentDef& def : defs) {
            FUZZ_CHECK(names.insert(def.name).second);
            check_instrument(def);
        }
    } catch (const DefinitionError& e) {
        const std::string_view what = e.what();
        FUZZ_CHECK(what.substr(0, kSource.size() + 1) == kSource + ":");
    }
    return 0;
}
