// The simulator's building blocks, in-process: command assembly, the output
// queue, answers, definitions, interface names, fault options and escapes.
#include "control_text.h"
#include "data_pattern.h"
#include "definitions.h"
#include "faults.h"
#include "instrument.h"
#include "interface_names.h"
#include "sim_fixture.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace tavlib::sim {
namespace {

std::shared_ptr<const InstrumentDef> shared(InstrumentDef def) {
    return std::make_shared<const InstrumentDef>(std::move(def));
}

std::vector<std::string> bytes(const std::vector<Message>& messages) {
    std::vector<std::string> out;
    for (const Message& m : messages) out.push_back(m.bytes());
    return out;
}

// ---- command assembly --------------------------------------------------------

struct LineCase {
    std::vector<std::string> pieces;
    std::vector<std::string> commands;
    std::size_t partial;
};

std::ostream& operator<<(std::ostream& os, const LineCase& c) { return os << c.pieces.size() << " piece(s)"; }

class CommandAssembly : public ::testing::TestWithParam<LineCase> {};

TEST_P(CommandAssembly, CutsLinesAtCrLfOnly) {
    Instrument instrument(shared(default_instrument()), 1);
    for (const std::string& piece : GetParam().pieces) EXPECT_TRUE(instrument.receive(piece));
    std::vector<std::string> commands;
    while (instrument.has_command()) commands.push_back(instrument.next_command());
    EXPECT_EQ(commands, GetParam().commands);
    EXPECT_EQ(instrument.partial_bytes(), GetParam().partial);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, CommandAssembly,
    ::testing::Values(LineCase{{"*IDN?\r\n"}, {"*IDN?"}, 0}, LineCase{{"*ID", "N?\r\n"}, {"*IDN?"}, 0},
                      LineCase{{"A\r\nB\r\nC"}, {"A", "B"}, 1}, LineCase{{"abc\r", "\n"}, {"abc"}, 0},
                      LineCase{{"abc\r", "\r\n"}, {"abc\r"}, 0}, LineCase{{"a\rb\n\r\n"}, {"a\rb\n"}, 0},
                      LineCase{{"\r\n"}, {""}, 0}, LineCase{{"x", "y", "z"}, {}, 3},
                      LineCase{{"a\r", "\nb\r", "\nc"}, {"a", "b"}, 1}));

TEST(CommandAssembly, LineLongerThanOneTransferIsKeptWhole) {
    Instrument instrument(shared(default_instrument()), 1);
    const std::string line(200000, 'L');
    for (std::size_t at = 0; at < line.size(); at += 65536) instrument.receive(line.substr(at, 65536));
    instrument.receive("\r\n");
    ASSERT_TRUE(instrument.has_command());
    EXPECT_EQ(instrument.next_command(), line);
}

// ---- output queue ------------------------------------------------------------

TEST(OutputQueue, TakesNeverCrossAMessageBoundary) {
    Instrument instrument(shared(default_instrument()), 1);
    instrument.queue("AB\r\n");
    instrument.queue("CDEF\r\n");
    EXPECT_EQ(instrument.output_bytes(), 10u);
    EXPECT_EQ(instrument.take(100), "AB\r\n");
    EXPECT_EQ(instrument.take(3), "CDE");
    EXPECT_EQ(instrument.output_messages(), 1u);
    EXPECT_EQ(instrument.take(100), "F\r\n");
    EXPECT_FALSE(instrument.has_output());
    EXPECT_EQ(instrument.output_bytes(), 0u);
}

// A sized response is served in transfers of any size, pattern and CR LF
// alike, and the next message starts where it ends.
class SizedOutput : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SizedOutput, TransfersJoinToThePattern) {
    Instrument instrument(shared(default_instrument()), 1);
    instrument.queue(Message::data(200000));
    instrument.queue("NEXT\r\n");
    EXPECT_EQ(instrument.output_bytes(), 200006u);
    std::string joined;
    std::vector<char> buffer(GetParam());
    while (instrument.output_messages() == 2) {
        const std::size_t n = instrument.take_into(buffer.data(), buffer.size());
        ASSERT_GT(n, 0u);
        joined.append(buffer.data(), n);
    }
    EXPECT_EQ(joined, data_pattern(200000));
    EXPECT_EQ(instrument.take(100), "NEXT\r\n");
}

INSTANTIATE_TEST_SUITE_P(Capacities, SizedOutput, ::testing::Values(1, 61, 65535, 65536, 199999, 300000));

TEST(OutputQueue, ClearDropsOutputPartialLineAndCommands) {
    Instrument instrument(shared(default_instrument()), 1);
    instrument.queue("OLD\r\n");
    instrument.receive("ONE\r\npart");
    instrument.clear();
    EXPECT_FALSE(instrument.has_output());
    EXPECT_FALSE(instrument.has_command());
    EXPECT_EQ(instrument.partial_bytes(), 0u);
    instrument.receive("*IDN?\r\n");
    EXPECT_EQ(instrument.next_command(), "*IDN?");
}

TEST(OutputQueue, InitialOutputIsQueuedAtStart) {
    InstrumentDef def = default_instrument();
    def.initialOutput = {"STALE\r\n", "OLDER\r\n"};
    Instrument instrument(shared(def), 1);
    EXPECT_EQ(instrument.take(100), "STALE\r\n");
    EXPECT_EQ(instrument.take(100), "OLDER\r\n");
}

// ---- answers -----------------------------------------------------------------

TEST(Answers, DefaultInstrument) {
    Instrument instrument(shared(default_instrument()), 42);
    EXPECT_EQ(bytes(instrument.answer("*IDN?", false).messages),
              std::vector<std::string>{"VESPARO,ZQ907,SN000042,1.0.0\r\n"});
    EXPECT_TRUE(instrument.answer("*IDN?", true).messages.empty());
    EXPECT_EQ(bytes(instrument.answer("HELLO there", false).messages), std::vector<std::string>{"HELLO there\r\n"});
    EXPECT_EQ(bytes(instrument.answer("", false).messages), std::vector<std::string>{"\r\n"});
    EXPECT_EQ(bytes(instrument.answer("DATA? 70000", false).messages), std::vector<std::string>{data_pattern(70000)});
    for (const char* bad : {"DATA? 1", "DATA? x", "DATA? 67108865", "DATA? 12 "}) {
        const Reply r = instrument.answer(bad, false);
        ASSERT_EQ(r.messages.size(), 1u) << bad;
        EXPECT_EQ(r.messages[0].bytes().rfind("ERROR DATA?", 0), 0u) << bad;
    }
}

TEST(Answers, DialoguesComeFirstAndUnknownFollowsThePolicy) {
    InstrumentDef def = default_instrument();
    def.dialogues.push_back({"*IDN?", {Reply{{"OTHER\r\n"}, 0}}});
    def.dialogues.push_back({"SLOW?", {Reply{{"S\r\n"}, 250}}});
    def.unknown = UnknownPolicy::kSilent;
    def.dataCommand = false;
    Instrument instrument(shared(def), 1);
    EXPECT_EQ(bytes(instrument.answer("*IDN?", false).messages), std::vector<std::string>{"OTHER\r\n"});
    EXPECT_EQ(instrument.answer("SLOW?", false).delayMs, 250u);
    EXPECT_TRUE(instrument.answer("DATA? 10", false).messages.empty());
    EXPECT_TRUE(instrument.answer("what", false).messages.empty());
}

TEST(Answers, IdentityTemplate) {
    EXPECT_EQ(expand_identity("A,B,SN{n},{n}", 7), "A,B,SN000007,000007");
    EXPECT_EQ(expand_identity("no number", 7), "no number");
}

struct MessageCase {
    std::string text;
    std::string message;
};

std::ostream& operator<<(std::ostream& os, const MessageCase& c) { return os << c.text.size() << " bytes"; }

class ResponseMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ResponseMessage, LineBreaksBecomeCrLfAndCrLfEndsIt) {
    EXPECT_EQ(response_message(GetParam().text), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Texts, ResponseMessage,
                         ::testing::Values(MessageCase{"a", "a\r\n"}, MessageCase{"a\nb\n", "a\r\nb\r\n"},
                                           MessageCase{"a\r\nb", "a\r\nb\r\n"}, MessageCase{"", "\r\n"},
                                           MessageCase{"x\n\n", "x\r\n"}));

TEST(DataPattern, SizeEndAndNoRepeatAt64KiB) {
    const std::string data = data_pattern(200000);
    ASSERT_EQ(data.size(), 200000u);
    EXPECT_EQ(data.substr(199998), "\r\n");
    EXPECT_EQ(data.find('\r'), 199998u);
    EXPECT_NE(data.substr(0, 100), data.substr(65536, 100));
    for (std::size_t i = 0; i < 199998; ++i)
        ASSERT_EQ(data[i], kDataPatternAlphabet[i % kDataPatternAlphabet.size()]) << i;
    EXPECT_EQ(data_pattern(2), "\r\n");
    EXPECT_EQ(data_pattern(1), "");
}

// ---- definitions -------------------------------------------------------------

TEST(Definitions, SampleFileLoads) {
    const std::vector<InstrumentDef> defs = load_definitions_file(test::kSample);
    ASSERT_EQ(defs.size(), 3u);
    const InstrumentDef& zq = defs[0];
    EXPECT_EQ(zq.name, "zq907");
    EXPECT_EQ(zq.count, 1u);
    EXPECT_EQ(zq.identity, "VESPARO,ZQ907,SN{n},2.4.1");
    EXPECT_EQ(zq.unknown, UnknownPolicy::kRespond);
    EXPECT_EQ(bytes(zq.unknownReply.messages), std::vector<std::string>{"ERROR unknown command ANS90\r\n"});
    ASSERT_NE(zq.find("CONF:RANGE 1000"), nullptr);
    EXPECT_EQ(bytes(zq.find("CONF:RANGE 1000")->replies.at(0).messages), std::vector<std::string>{"RANGE REFUSED ANS40\r\n"});
    EXPECT_EQ(bytes(zq.find("SELFTEST?")->replies.at(0).messages),
              std::vector<std::string>{"SELFTEST ANS40\r\nCHANNEL 2 ANS20\r\n"});
    EXPECT_EQ(zq.find("SYST:ERR?")->replies.at(0).messages.size(), 2u);
    EXPECT_EQ(bytes(zq.find("TRACE?")->replies.at(0).messages), std::vector<std::string>{data_pattern(100000)});
    EXPECT_EQ(zq.find("MEAS:CURR?")->replies.at(0).delayMs, 150u);
    EXPECT_TRUE(zq.find("*RST")->replies.at(0).messages.empty());
    ASSERT_EQ(zq.find("SWEEP:NEXT?")->replies.size(), 3u);
    EXPECT_EQ(bytes(zq.find("CURVE?")->replies.at(0).messages),
              std::vector<std::string>{std::string("#16\0\xff\x80\x7f\n\r\r\n", 11)});
    const InstrumentDef& stale = defs[1];
    EXPECT_EQ(stale.count, 0u);
    EXPECT_EQ(stale.initialOutput, std::vector<std::string>{"OVERRANGE 12\r\n"});
    EXPECT_TRUE(stale.faults.empty());
    ASSERT_EQ(defs[2].faults.size(), 1u);
    EXPECT_EQ(format_fault(defs[2].faults[0]), "fault kind=no-idn skip=0 times=0 on=idn");
}

TEST(Definitions, RawAndSilentUnknown) {
    const auto defs = parse_definitions(
        "instruments:\n"
        "  - name: r\n"
        "    unknown: silent\n"
        "    data_command: false\n"
        "    dialogues:\n"
        "      - command: BIN?\n"
        "        raw: \"\\x01\\0\\r\\n\"\n",
        "t.yaml");
    ASSERT_EQ(defs.size(), 1u);
    EXPECT_EQ(defs[0].unknown, UnknownPolicy::kSilent);
    EXPECT_FALSE(defs[0].dataCommand);
    EXPECT_EQ(bytes(defs[0].find("BIN?")->replies.at(0).messages), std::vector<std::string>{std::string("\x01\0\r\n", 4)});
}

// A dialogue in the forms a twin needs, answered four times in a row:
// the messages and the delay of each answer.
struct TurnCase {
    const char* name;
    const char* dialogue;  // the keys after "command: Q?"
    std::vector<std::vector<std::string>> messages;
    std::vector<std::uint32_t> delays;
};

std::ostream& operator<<(std::ostream& os, const TurnCase& c) { return os << c.name; }

class DialogueTurns : public ::testing::TestWithParam<TurnCase> {};

TEST_P(DialogueTurns, AnswersInTurnThenTheLastAgain) {
    const auto defs = parse_definitions(
        std::string("instruments:\n  - name: t\n    dialogues:\n      - command: Q?\n") + GetParam().dialogue,
        "t.yaml");
    Instrument instrument(shared(defs.at(0)), 1);
    for (std::size_t turn = 0; turn < GetParam().messages.size(); ++turn) {
        const Reply reply = instrument.answer("Q?", false);
        EXPECT_EQ(bytes(reply.messages), GetParam().messages[turn]) << "answer " << turn + 1;
        EXPECT_EQ(reply.delayMs, GetParam().delays[turn]) << "answer " << turn + 1;
        // Recovery drops output, not the instrument's place in its answers.
        instrument.clear();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, DialogueTurns,
    ::testing::Values(
        TurnCase{"one_answer_every_time", "        response: A\n        delay_ms: 5\n",
                 {{"A\r\n"}, {"A\r\n"}, {"A\r\n"}, {"A\r\n"}}, {5, 5, 5, 5}},
        TurnCase{"sequence_then_the_last_repeats",
                 "        delay_ms: 7\n        sequence:\n          - response: \"1\"\n"
                 "          - silent: true\n            delay_ms: 0\n          - responses: [\"2a\", \"2b\"]\n",
                 {{"1\r\n"}, {}, {"2a\r\n", "2b\r\n"}, {"2a\r\n", "2b\r\n"}}, {7, 0, 7, 7}},
        TurnCase{"base64_bytes_beyond_ascii", "        base64: \"AP+A\\r\\n  DQo=\"\n",
                 {{std::string("\0\xff\x80\r\n", 5)}, {std::string("\0\xff\x80\r\n", 5)},
                  {std::string("\0\xff\x80\r\n", 5)}, {std::string("\0\xff\x80\r\n", 5)}},
                 {0, 0, 0, 0}},
        TurnCase{"messages_of_each_form",
                 "        sequence:\n          - responses: [\"T\", {raw: \"R\"}, {base64: \"/w==\"}, {size: 3}, "
                 "{response: \"x\\ny\"}]\n",
                 {{"T\r\n", "R", "\xff", "0\r\n", "x\r\ny\r\n"},
                  {"T\r\n", "R", "\xff", "0\r\n", "x\r\ny\r\n"},
                  {"T\r\n", "R", "\xff", "0\r\n", "x\r\ny\r\n"},
                  {"T\r\n", "R", "\xff", "0\r\n", "x\r\ny\r\n"}},
                 {0, 0, 0, 0}}),
    [](const auto& turn) { return std::string(turn.param.name); });

struct BadCase {
    const char* yaml;
    const char* message;
};

std::ostream& operator<<(std::ostream& os, const BadCase& c) { return os << c.message; }

class BadDefinitions : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadDefinitions, RefusedWithAClearMessage) {
    try {
        parse_definitions(GetParam().yaml, "bad.yaml");
        FAIL() << "accepted: " << GetParam().yaml;
    } catch (const DefinitionError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).rfind("bad.yaml:", 0), 0u) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadDefinitions,
    ::testing::Values(
        BadCase{"instruments: [", "not valid YAML"}, BadCase{"- a\n- b\n", "must be a mapping"},
        BadCase{"foo: 1\n", "unknown key 'foo'"}, BadCase{"instruments: []\n", "non-empty list"},
        BadCase{"instruments:\n  - count: 1\n", "needs a 'name'"},
        BadCase{"instruments:\n  - name: a b\n", "must be 1 to 64"},
        BadCase{"instruments:\n  - name: a\n  - name: a\n", "used twice"},
        BadCase{"instruments:\n  - name: a\n    colour: red\n", "unknown key 'colour' in an instrument"},
        BadCase{"instruments:\n  - name: a\n    count: -1\n", "whole number"},
        BadCase{"instruments:\n  - name: a\n    count: 65\n", "between 0 and 64"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - command: X\n", "needs exactly one of"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - command: X\n        response: A\n        size: 9\n",
                "(found 2)"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - command: X\n        size: 1\n",
                "between 2 and"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - command: X\n        silent: true\n"
                "        delay_ms: soon\n",
                "'delay_ms' must be a whole number"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - response: A\n", "needs a 'command'"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - command: X\n        silent: true\n"
                "      - command: X\n        silent: true\n",
                "appears twice"},
        BadCase{"instruments:\n  - name: a\n    unknown: maybe\n", "'unknown' must be"},
        BadCase{"instruments:\n  - name: a\n    faults: [explode]\n", "fault 'explode': unknown fault"},
        BadCase{"instruments:\n  - name: a\n    faults: no-idn\n", "'faults' must be a list"},
        BadCase{"instruments:\n  - name: a\n    identity: [1, 2]\n", "'identity' must be a text"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - command: X\n        respons: A\n",
                "bad.yaml:5:9: unknown key 'respons'"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - command: X\n        sequence: []\n",
                "must be a non-empty list of answers"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - command: X\n        response: A\n"
                "        sequence: [{response: B}]\n",
                "its answers go there, not 'response'"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - command: X\n        sequence: [{}]\n",
                "answer 1 of the sequence of dialogue 1 of instrument 'a' needs exactly one of"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - command: X\n        sequence: [A]\n",
                "answer 1 of the sequence of dialogue 1 of instrument 'a' must be a mapping"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - command: X\n        base64: \"AB=C\"\n",
                "'base64' must be base64 text"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - command: X\n        base64: \"\xff\xff" "AB\"\n",
                "'base64' must be base64 text"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - command: X\n        base64: \"\"\n",
                "'base64' must be base64 text of at least one byte"},
        BadCase{"instruments:\n  - name: a\n    dialogues:\n      - command: X\n"
                "        responses: [{raw: A, size: 4}]\n",
                "needs exactly one of 'response', 'raw', 'base64', 'size'"}));

TEST(Definitions, MissingFileIsNamed) {
    try {
        load_definitions_file("/nonexistent/defs.yaml");
        FAIL();
    } catch (const DefinitionError& e) {
        EXPECT_STREQ(e.what(), "/nonexistent/defs.yaml: cannot open the definitions file");
    }
}

// ---- interface names ---------------------------------------------------------

struct NameCase {
    std::vector<std::string> present;
    std::uint32_t last;
    std::uint32_t number;
    std::string name;
};

std::ostream& operator<<(std::ostream& os, const NameCase& c) { return os << c.name; }

class InterfaceNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(InterfaceNames, SortAfterEverythingPresent) {
    const InterfaceName n = next_interface_name(GetParam().present, GetParam().last);
    EXPECT_EQ(n.number, GetParam().number);
    EXPECT_EQ(n.name, GetParam().name);
    for (const std::string& p : GetParam().present) EXPECT_GT(n.name, p);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, InterfaceNames,
    ::testing::Values(NameCase{{}, 0, 1, "0000000001"}, NameCase{{}, 5, 6, "0000000006"},
                      NameCase{{"0000000001", "0000000002"}, 0, 3, "0000000003"},
                      NameCase{{"0000000007"}, 2, 8, "0000000008"}, NameCase{{"0000000002"}, 9, 10, "0000000010"},
                      NameCase{{"zz"}, 0, 1, "zz.0000000001"}, NameCase{{"5"}, 0, 6, "5.0000000006"},
                      NameCase{{"0000000003", "abc"}, 0, 4, "abc.0000000004"}));

// ---- faults ------------------------------------------------------------------

struct FaultCase {
    std::string fault_text;
    std::string formatted;  // empty: refused
};

std::ostream& operator<<(std::ostream& os, const FaultCase& c) { return os << c.fault_text; }

class FaultTexts : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultTexts, ParseOrRefuse) {
    std::string error;
    const std::optional<Fault> fault = parse_fault(split_words(GetParam().fault_text), &error);
    if (GetParam().formatted.empty()) {
        EXPECT_FALSE(fault) << format_fault(*fault);
        EXPECT_FALSE(error.empty());
    } else {
        ASSERT_TRUE(fault) << error;
        EXPECT_EQ(format_fault(*fault), GetParam().formatted);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FaultTexts,
    ::testing::Values(
        FaultCase{"delay 500", "fault kind=delay value=500 skip=0 times=0 on=write,read"},
        FaultCase{"delay 500 on=ioctl times=2", "fault kind=delay value=500 skip=0 times=2 on=ioctl"},
        FaultCase{"error 0x45A skip=1", "fault kind=error value=1114 skip=1 times=0 on=write,read"},
        FaultCase{"partial-write 3", "fault kind=partial-write value=3 skip=0 times=0 on=write"},
        FaultCase{"zero-read times=1", "fault kind=zero-read skip=0 times=1 on=read"},
        FaultCase{"recover-fail 31", "fault kind=recover-fail value=31 skip=0 times=0 on=recover"},
        FaultCase{"drop on=read", "fault kind=drop skip=0 times=0 on=read"},
        FaultCase{"no-idn", "fault kind=no-idn skip=0 times=0 on=idn"},
        FaultCase{"cancel-ignore 100", "fault kind=cancel-ignore value=100 skip=0 times=0 on=cancel"},
        FaultCase{"malformed 5 on=ioctl", "fault kind=malformed value=5 skip=0 times=0 on=ioctl"},
        FaultCase{"malformed 0", ""}, FaultCase{"malformed 6", ""},
        FaultCase{"delay", ""}, FaultCase{"delay soon", ""}, FaultCase{"explode", ""},
        FaultCase{"partial-write 3 on=read", ""}, FaultCase{"error 5 on=", ""}, FaultCase{"zero-read 5", ""},
        FaultCase{"error 5 when=now", ""}, FaultCase{"error 5 times=x", ""}, FaultCase{"error 4294967296", ""}));

TEST(FaultSet, SkipThenTimesThenGone) {
    FaultSet faults;
    faults.set(Fault{FaultKind::kError, 31, 1, 2, kOnWrite});
    EXPECT_FALSE(faults.trigger(FaultKind::kError, kOnRead));  // not a target: not counted
    EXPECT_FALSE(faults.trigger(FaultKind::kError, kOnWrite));  // skipped
    EXPECT_EQ(faults.trigger(FaultKind::kError, kOnWrite), 31u);
    EXPECT_EQ(faults.trigger(FaultKind::kError, kOnWrite), 31u);
    EXPECT_FALSE(faults.trigger(FaultKind::kError, kOnWrite));
    EXPECT_TRUE(faults.list().empty());
}

TEST(FaultSet, TimesZeroLastsUntilCleared) {
    FaultSet faults;
    faults.set(Fault{FaultKind::kZeroRead, 0, 0, 0, kOnRead});
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(faults.trigger(FaultKind::kZeroRead, kOnRead));
    EXPECT_TRUE(faults.clear(FaultKind::kZeroRead));
    EXPECT_FALSE(faults.trigger(FaultKind::kZeroRead, kOnRead));
}

// ---- text ----------------------------------------------------------------------

TEST(ControlText, UnescapeAndEscape) {
    EXPECT_EQ(unescape("a\\r\\n\\x41\\\\\\0\\s\\t"), std::string("a\r\nA\\\0 \t", 8));
    for (const char* bad : {"\\", "\\q", "\\x4", "\\xZZ"}) EXPECT_FALSE(unescape(bad)) << bad;
    EXPECT_EQ(escape(std::string("A\r\n\x01\"\\", 6)), "A\\r\\n\\x01\\\"\\\\");
    EXPECT_EQ(escape("abcdef", 3), "abc...");
    EXPECT_EQ(parse_u32("0x222000"), 0x222000u);
    EXPECT_EQ(parse_u32("4294967295"), 4294967295u);
    EXPECT_FALSE(parse_u32("4294967296"));
    EXPECT_FALSE(parse_u32("-1"));
    EXPECT_FALSE(parse_u32(""));
}

}  // namespace
}  // namespace tavlib::sim
