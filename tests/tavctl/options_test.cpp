// The command line of tavctl: what each form asks for, and what is refused
// before any device is touched.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "options.h"

namespace tavlib::tavctl {
namespace {

ParseOutcome parse(std::vector<std::string> args, const std::string& home = "/home/u") {
    args.insert(args.begin(), "tavctl");
    return parse_command_line(args, home);
}

Invocation parse_ok(std::vector<std::string> args, const std::string& home = "/home/u") {
    ParseOutcome outcome = parse(std::move(args), home);
    if (const auto* exit = std::get_if<ParseExit>(&outcome)) {
        ADD_FAILURE() << "refused: " << exit->err;
        return {};
    }
    return std::get<Invocation>(outcome);
}

TEST(Options, QueryTakesModeSizeAndTimeOut) {
    const Invocation q =
        parse_ok({"query", "2", "*IDN?", "--mode", "1", "--max-bytes", "100", "--timeout", "7"});
    EXPECT_EQ(q.command, Command::Query);
    EXPECT_EQ(q.slot, 2u);
    EXPECT_EQ(q.text, "*IDN?");
    EXPECT_EQ(q.mode, 1);
    EXPECT_EQ(q.maxBytes, 100u);
    EXPECT_EQ(q.timeoutSeconds, 7u);
    EXPECT_FALSE(q.trace);
}

TEST(Options, DefaultsWhenNothingIsGiven) {
    const Invocation q = parse_ok({"query", "0", "MEAS?"});
    EXPECT_EQ(q.mode, 0);
    EXPECT_EQ(q.maxBytes, kDefaultMaxBytes);
    EXPECT_EQ(q.timeoutSeconds, kDefaultTimeoutSeconds);
}

TEST(Options, SeveralWordsMakeOneCommandLine) {
    EXPECT_EQ(parse_ok({"write", "1", "VOLT", "5.0"}).text, "VOLT 5.0");
    EXPECT_EQ(parse_ok({"query", "1", "SYST:ERR? ALL"}).text, "SYST:ERR? ALL");
}

TEST(Options, CommandTimeOutOverridesTheGlobalOne) {
    EXPECT_EQ(parse_ok({"--timeout", "9", "write", "0", "X"}).timeoutSeconds, 9u);
    EXPECT_EQ(parse_ok({"--timeout", "9", "write", "0", "X", "--timeout", "3"}).timeoutSeconds, 3u);
    EXPECT_EQ(parse_ok({"--timeout", "9", "shell", "0"}).timeoutSeconds, 9u);
}

TEST(Options, ReadAcceptsRawModeLongTimeOutAndOutputFile) {
    const Invocation r =
        parse_ok({"read", "3", "--mode", "2", "--timeout", "3600000", "-o", "out.bin"});
    EXPECT_EQ(r.command, Command::Read);
    EXPECT_EQ(r.mode, 2);
    EXPECT_EQ(r.timeoutSeconds, 3'600'000u);
    ASSERT_TRUE(r.outputFile.has_value());
    EXPECT_EQ(*r.outputFile, "out.bin");
    EXPECT_FALSE(parse_ok({"read", "3"}).outputFile.has_value());
}

TEST(Options, GlobalFlags) {
    const Invocation i = parse_ok({"--trace", "--allow-unidentified", "identify", "1"});
    EXPECT_EQ(i.command, Command::Identify);
    EXPECT_TRUE(i.trace);
    EXPECT_TRUE(i.allowUnidentified);
    EXPECT_EQ(parse_ok({"list"}).command, Command::List);
}

TEST(Options, TraceAndTwinTakeFilesAndFilters) {
    const Invocation t = parse_ok({"trace", "run.trace", "--slot", "2", "--errors", "-f"});
    EXPECT_EQ(t.command, Command::Trace);
    EXPECT_EQ(t.traceFiles, std::vector<std::string>{"run.trace"});
    EXPECT_EQ(t.traceSlot, 2u);
    EXPECT_TRUE(t.errorsOnly && t.follow && !t.summary);
    EXPECT_FALSE(parse_ok({"trace", "run.trace", "--summary"}).traceSlot.has_value());
    const Invocation w = parse_ok({"twin", "a.trace", "b.trace", "-o", "t.yaml", "--name", "bench-1"});
    EXPECT_EQ(w.command, Command::Twin);
    EXPECT_EQ(w.traceFiles, (std::vector<std::string>{"a.trace", "b.trace"}));
    EXPECT_EQ(w.outputFile, "t.yaml");
    EXPECT_EQ(w.twinName, "bench-1");
}

TEST(Options, ShellHistoryFile) {
    EXPECT_EQ(parse_ok({"shell", "0"}, "/home/u").historyFile, "/home/u/.tavctl_history");
    EXPECT_EQ(parse_ok({"shell", "0", "--history", "/tmp/h"}).historyFile, "/tmp/h");
    EXPECT_FALSE(parse_ok({"shell", "0", "--no-history"}).historyFile.has_value());
    EXPECT_FALSE(parse_ok({"shell", "0"}, "").historyFile.has_value());
}

class RefusedTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(RefusedTest, IsAUsageErrorWithAMessage) {
    const ParseOutcome outcome = parse(GetParam());
    const auto* exit = std::get_if<ParseExit>(&outcome);
    ASSERT_NE(exit, nullptr);
    EXPECT_EQ(exit->status, kExitUsage);
    EXPECT_FALSE(exit->err.empty());
}

INSTANTIATE_TEST_SUITE_P(
    BadCommandLines, RefusedTest,
    ::testing::Values(std::vector<std::string>{},                          // no subcommand
                      std::vector<std::string>{"frobnicate"},              // unknown subcommand
                      std::vector<std::string>{"identify"},                // slot missing
                      std::vector<std::string>{"identify", "4"},           // slot out of range
                      std::vector<std::string>{"identify", "-1"},
                      std::vector<std::string>{"identify", "x"},
                      std::vector<std::string>{"query", "0"},              // command missing
                      std::vector<std::string>{"query", "0", "X", "--mode", "2"},
                      std::vector<std::string>{"query", "0", "X", "--timeout", "0"},
                      std::vector<std::string>{"query", "0", "X", "--timeout", "61"},
                      std::vector<std::string>{"query", "0", "X", "--max-bytes", "0"},
                      std::vector<std::string>{"--timeout", "61", "list"},
                      std::vector<std::string>{"write", "0"},              // text missing
                      std::vector<std::string>{"read", "0", "--mode", "3"},
                      std::vector<std::string>{"read", "0", "--timeout", "3600001"},
                      std::vector<std::string>{"list", "0"},               // list takes no slot
                      std::vector<std::string>{"trace"},                   // file missing
                      std::vector<std::string>{"trace", "a", "b"},         // one file only
                      std::vector<std::string>{"trace", "a", "--summary", "--follow"},
                      std::vector<std::string>{"trace", "a", "--summary", "--errors"},
                      std::vector<std::string>{"trace", "a", "--slot", "4"},
                      std::vector<std::string>{"twin", "a"},               // -o missing
                      std::vector<std::string>{"twin", "-o", "t.yaml"},    // no trace
                      std::vector<std::string>{"twin", "a", "-o", "t.yaml", "--name", "a b"}));

TEST(Options, VersionAndHelpEndWithSuccess) {
    const ParseOutcome version = parse({"--version"});
    ASSERT_TRUE(std::holds_alternative<ParseExit>(version));
    EXPECT_EQ(std::get<ParseExit>(version).status, kExitOk);
    EXPECT_EQ(std::get<ParseExit>(version).out, version_text() + "\n");
    EXPECT_EQ(version_text().rfind("tavctl ", 0), 0u);

    const ParseOutcome help = parse({"read", "--help"});
    ASSERT_TRUE(std::holds_alternative<ParseExit>(help));
    EXPECT_EQ(std::get<ParseExit>(help).status, kExitOk);
    EXPECT_NE(std::get<ParseExit>(help).out.find("--output"), std::string::npos);
}

}  // namespace
}  // namespace tavlib::tavctl
