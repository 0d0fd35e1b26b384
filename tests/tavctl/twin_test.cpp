// The twin: traces of a session in, a definitions file out, and the
// simulator's instrument loaded from that file answering the same commands
// as the traced instrument did.  And what refuses to make a twin, leaving
// no file behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "definitions.h"
#include "instrument.h"
#include "tool_process.h"
#include "trace_builder.h"
#include "trace_commands.h"
#include "twin.h"

namespace tavlib::tavctl::test {
namespace {

const std::string kIdnMessage = std::string(kTestIdn) + "\r\n";

struct Ask {
    std::string command;
    std::vector<std::string> messages;  // the answer expected, message by message
    std::uint32_t delayMs = 0;
};

struct TwinCase {
    const char* name;
    std::function<std::vector<TraceBuilder>()> traces;
    std::vector<Ask> replay;  // asked in this order of one fresh instrument
};

std::ostream& operator<<(std::ostream& os, const TwinCase& c) { return os << c.name; }

class TwinReplays : public ::testing::TestWithParam<TwinCase> {
protected:
    TempDir dir;
};

TEST_P(TwinReplays, AnswersAsTheTracedInstrumentDid) {
    std::vector<std::string> files;
    for (const TraceBuilder& trace : GetParam().traces()) {
        files.push_back((dir.path() / ("t" + std::to_string(files.size()) + ".trace")).string());
        trace.save(files.back());
    }
    const trace::Twin twin = trace::make_twin(files, {});
    const std::string text = trace::twin_definitions(twin);
    ASSERT_EQ(trace::check_definitions(twin, text), "") << text;
    const std::vector<sim::InstrumentDef> defs = sim::parse_definitions(text, "twin.yaml");
    ASSERT_EQ(defs.size(), 1u);
    EXPECT_EQ(defs[0].identity, kTestIdn);
    sim::Instrument instrument(std::make_shared<const sim::InstrumentDef>(defs[0]), 1);
    EXPECT_EQ(instrument.answer("*IDN?", false).messages.at(0).bytes(), kIdnMessage);
    for (const Ask& ask : GetParam().replay) {
        const sim::Reply reply = instrument.answer(ask.command, false);
        std::vector<std::string> got;
        for (const sim::Message& m : reply.messages) got.push_back(m.bytes());
        EXPECT_EQ(got, ask.messages) << ask.command << "\n" << text;
        EXPECT_EQ(reply.delayMs, ask.delayMs) << ask.command << "\n" << text;
    }
}

const std::string kBinary("#14\x00\xff\x80\n\r\n", 9);

INSTANTIATE_TEST_SUITE_P(
    Sessions, TwinReplays,
    ::testing::Values(
        TwinCase{"transaction_in_line_mode",
                 [] { return std::vector{TraceBuilder().open().scmd("MEAS:VOLT?", "+1.23450E+00").close()}; },
                 {{"MEAS:VOLT?", {"+1.23450E+00\r\n"}}, {"MEAS:VOLT?", {"+1.23450E+00\r\n"}}}},
        TwinCase{"answered_differently_each_time",
                 [] {
                     return std::vector{TraceBuilder().open().scmd("NEXT?", "1").scmd("NEXT?", "2").scmd("NEXT?", "3")
                                            .scmd("NEXT?", "3")};
                 },
                 {{"NEXT?", {"1\r\n"}}, {"NEXT?", {"2\r\n"}}, {"NEXT?", {"3\r\n"}}, {"NEXT?", {"3\r\n"}}}},
        TwinCase{"sequence_across_traces_in_time_order",
                 [] {
                     // The second process ran first.
                     return std::vector{TraceBuilder(2, 1'796'675'900'000'000).open().scmd("NEXT?", "later"),
                                        TraceBuilder(1, 1'796'675'800'000'000).open().scmd("NEXT?", "sooner")};
                 },
                 {{"NEXT?", {"sooner\r\n"}}, {"NEXT?", {"later\r\n"}}, {"NEXT?", {"later\r\n"}}}},
        TwinCase{"answer_of_several_messages_read_raw",
                 [] {
                     return std::vector{TraceBuilder().open().write("SYST:ERR?").read("0,\"No error\"\r\n")
                                            .read("END\r\n").read(std::nullopt, -3)};
                 },
                 {{"SYST:ERR?", {"0,\"No error\"\r\n", "END\r\n"}}}},
        TwinCase{"no_answer_after_a_write_or_a_read_time_out",
                 [] {
                     return std::vector{TraceBuilder().open().write("*RST").write("*CLS").read(std::nullopt, -3)
                                            .scmd("TRG", std::nullopt, -5)};
                 },
                 {{"*RST", {}}, {"*CLS", {}}, {"TRG", {}}}},
        TwinCase{"binary_answer_byte_for_byte",
                 [] { return std::vector{TraceBuilder().open().write("CURVE?").read(kBinary)}; },
                 {{"CURVE?", {kBinary}}}},
        TwinCase{"answer_read_in_pieces_that_fill_the_buffer",
                 [] {
                     return std::vector{TraceBuilder().open().write("LONG?").read("abcd", 0, 2, 4).read("ef\r\n", 0, 2, 4)
                                            .write("NEXT").read("x\r\n", 0, 2, 4)};
                 },
                 {{"LONG?", {"abcdef\r\n"}}, {"NEXT", {"x\r\n"}}}},
        TwinCase{"gateway_line_and_identity_query_in_one_write",
                 [] {
                     return std::vector{TraceBuilder().open().write("SELFTEST?\r\n*IDN?\r\n")
                                            .read("SELFTEST ANS40\r\nCHANNEL 2 ANS20\r\n").read(kIdnMessage)
                                            .write("*RST\r\n*IDN?\r\n").read(kIdnMessage)};
                 },
                 {{"SELFTEST?", {"SELFTEST ANS40\r\nCHANNEL 2 ANS20\r\n"}}, {"*RST", {}}}},
        TwinCase{"identity_query_alone_ends_the_answer_before_it",
                 [] {
                     // A VXI-11 write, then the gateway's identity exchange
                     // takes the rest of its answer.
                     return std::vector{TraceBuilder().open().write("SYST:ERR?\r\n").read("0\r\n").write("*IDN?")
                                            .read("END\r\n").read(kIdnMessage).write("*IDN?").read(kIdnMessage)};
                 },
                 {{"SYST:ERR?", {"0\r\n", "END\r\n"}}}},
        TwinCase{"typical_delay_is_the_median",
                 [] {
                     return std::vector{TraceBuilder().open().scmd("FAST?", "1", 0, 80).scmd("SLOW?", "2", 0, 150'080)
                                            .scmd("SLOW?", "2", 0, 149'080).scmd("SLOW?", "2", 0, 400'080)};
                 },
                 {{"FAST?", {"1\r\n"}, 0}, {"SLOW?", {"2\r\n"}, 150}}},
        TwinCase{"answer_to_unknown_commands",
                 [] {
                     return std::vector{TraceBuilder().open().scmd("NO:SUCH", "ERROR unknown command ANS90", 90)
                                            .scmd("WHAT?", "ERROR unknown command ANS90", 90).scmd("A?", "a")};
                 },
                 {{"A?", {"a\r\n"}}, {"NEVER:SEEN", {"ERROR unknown command ANS90\r\n"}}}},
        TwinCase{"handles_and_processes_pair_on_their_own",
                 [] {
                     TraceBuilder trace;
                     trace.open().on("0x4").open().on("0x3").write("A?").on("0x4").write("B?").read("b\r\n").on("0x3")
                         .read("a\r\n");
                     return std::vector{trace};
                 },
                 {{"A?", {"a\r\n"}}, {"B?", {"b\r\n"}}}}),
    [](const auto& c) { return std::string(c.param.name); });

struct Refusal {
    const char* name;
    std::function<std::vector<std::string>(const std::filesystem::path&)> traces;  // writes them, gives their paths
    std::string message;  // the first line on stderr, after "tavctl: "; FILE stands for the first trace
};

std::ostream& operator<<(std::ostream& os, const Refusal& c) { return os << c.name; }

class TwinRefusals : public ::testing::TestWithParam<Refusal> {
protected:
    TempDir dir;
};

TEST_P(TwinRefusals, SayWhereAndWriteNothing) {
    const std::vector<std::string> files = GetParam().traces(dir.path());
    const auto output = dir.path() / "twin.yaml";
    Invocation invocation;
    invocation.command = Command::Twin;
    invocation.traceFiles = files;
    invocation.outputFile = output.string();
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(run_twin(invocation, out, err), kExitFailure);
    std::string expected = GetParam().message;
    for (const auto& [word, value] : {std::pair<std::string, std::string>{"FILE", files.front()},
                                      {"DIR", dir.path().string()}})
        for (auto at = expected.find(word); at != std::string::npos; at = expected.find(word, at + value.size()))
            expected.replace(at, word.size(), value);
    EXPECT_EQ(err.str().substr(0, err.str().find('\n')), "tavctl: " + expected);
    EXPECT_NE(err.str().find(output.string() + " not written"), std::string::npos) << err.str();
    // Nothing at the path, and nothing half-written beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}),
              static_cast<std::ptrdiff_t>(files.size()));
}

std::vector<std::string> save(const std::filesystem::path& dir, const std::vector<std::string>& texts) {
    std::vector<std::string> paths;
    for (const std::string& text : texts) {
        paths.push_back((dir / ("r" + std::to_string(paths.size()) + ".trace")).string());
        std::ofstream(paths.back(), std::ios::binary) << text;
    }
    return paths;
}

INSTANTIATE_TEST_SUITE_P(
    Input, TwinRefusals,
    ::testing::Values(
        Refusal{"block_kept_in_part",
                [](const auto& dir) {
                    return save(dir, {TraceBuilder().data_limit(8).open().write("TRACE?").read("0123456789ABCDEF\r\n")
                                          .text()});
                },
                "FILE:4: the trace kept only part of 1 block of data, which the twin cannot replay: Read_Tavril "
                "'data' of 18 bytes kept 8; record again with TAVRIL_TRACE_DATA=18 (or more) to keep every block "
                "whole"},
        Refusal{"two_instruments",
                [](const auto& dir) {
                    return save(dir, {TraceBuilder().open().text(),
                                      TraceBuilder().open("VESPARO,ZQ907,SN000002,2.4.1").text()});
                },
                "DIR/r1.trace:2: this trace speaks to another instrument (\"VESPARO,ZQ907,SN000002,2.4.1\") than "
                "FILE:2 (\"VESPARO,ZQ907,SN000001,2.4.1\")"},
        Refusal{"cut_line", [](const auto& dir) { return save(dir, {TraceBuilder().open().text() + "{\"v\":1"}); },
                "FILE:3: the trace ends in the middle of a line (6 bytes without a line end): cut short while it "
                "was written?"},
        Refusal{"unknown_version",
                [](const auto& dir) { return save(dir, {TraceBuilder().open().patch("v", 3).text()}); },
                "FILE:2: record version 3 is not known to this reader (it reads version 1)"},
        Refusal{"no_identity",
                [](const auto& dir) { return save(dir, {TraceBuilder().open("", -2).scmd("A?", "a").text()}); },
                "FILE: no record names the instrument (an Open_Tavril that identified it, or an answer to *IDN?): "
                "the twin needs its identity"}),
    [](const auto& c) { return std::string(c.param.name); });

}  // namespace
}  // namespace tavlib::tavctl::test
