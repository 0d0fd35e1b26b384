// tavctl run as a program against the simulated instrument: what a person
// sees on stdout and stderr, and the exit status.  Each test starts its own
// simulator in its own runtime directory and points tavctl at it.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim_process.h"
#include "tool_process.h"

namespace tavlib::tavctl::test {
namespace {

using tavlib::sim::data_pattern;
using tavlib::sim::SimOptions;
using tavlib::sim::SimProcess;

// One instrument whose MULTI? answer has an answer code on each of its two
// lines; every other command is echoed.
constexpr const char* kDefinitions = R"(instruments:
  - name: bench
    count: 1
    dialogues:
      - command: "MULTI?"
        response: "first ANS40\nsecond ANS20"
)";

const std::string kNoDevice =
    "no device: Open_Tavril: TAVRIL_OPEN_FAILED (-1); errorCode 259 ERROR_NO_MORE_ITEMS: No more "
    "data is available.\n";

class TavctlTest : public ::testing::Test {
protected:
    // Starts the simulator with `devices` devices of the built-in instrument.
    void start(unsigned devices) {
        SimOptions options;
        options.args = {"--devices", std::to_string(devices)};
        start_with(std::move(options));
    }

    // Starts the simulator with the bench instrument of kDefinitions.
    void start_bench() {
        const auto file = scratch.path() / "bench.yaml";
        std::ofstream(file) << kDefinitions;
        SimOptions options;
        options.args = {"--definitions", file.string()};
        start_with(std::move(options));
    }

    void start_with(SimOptions options) {
        // Tests that call the library themselves see the simulator's devices.
        options.exportRuntimeDir = true;
        sim = std::make_unique<SimProcess>(std::move(options));
    }

    ToolRun tavctl(const std::vector<std::string>& args, const std::string& input = {}) {
        return run_tool(TAVCTL_PATH, args, sim->runtime_dir(), scratch.path(), input);
    }

    TempDir scratch;
    std::unique_ptr<SimProcess> sim;
};

std::string read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A runtime directory that another user could use is refused by the tool
// and the simulator alike, each saying which path is wrong and why.
TEST_F(TavctlTest, ToolAndSimulatorRefuseARuntimeDirectoryOpenToOthers) {
    const auto open = scratch.path() / "open-to-all";
    std::filesystem::create_directory(open);
    std::filesystem::permissions(open, std::filesystem::perms::all);
    const std::string why = open.string() + " has mode 0777: group or others may use it";

    const ToolRun run = run_tool(TAVCTL_PATH, {"list"}, open, scratch.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "tavctl: refusing the runtime directory: " + why + "\n");

    SimOptions options;
    options.runtimeDir = open.string();
    try {
        SimProcess refused(options);
        ADD_FAILURE() << "the simulator started";
    } catch (const tavlib::sim::SimProcessError& e) {
        EXPECT_NE(std::string(e.what()).find("refusing the runtime directory: " + why),
                  std::string::npos)
            << e.what();
    }
    EXPECT_TRUE(std::filesystem::is_empty(open));
}

TEST_F(TavctlTest, ListShowsEverySlot) {
    start(2);
    const ToolRun run = tavctl({"list"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "slot 0: ready, model \"ZQ907\", serial \"SN000001\", firmware \"1.0.0\"\n"
              "slot 1: ready, model \"ZQ907\", serial \"SN000002\", firmware \"1.0.0\"\n"
              "slot 2: no device\n"
              "slot 3: no device\n");
    EXPECT_EQ(run.err, "");
}

// A slot claimed by another process, a device that fails its
// identification and an empty slot are states, not failures of list; the
// unidentified device is closed again, so its slot is free afterwards.
TEST_F(TavctlTest, ListShowsSlotsInUseAndDevicesNotIdentified) {
    start(3);
    // A shell holds slot 0; its answer to :settings shows it has opened it.
    RunningTool holder(TAVCTL_PATH, {"shell", "0"}, sim->runtime_dir(), scratch.path());
    holder.send_line(":settings");
    ASSERT_EQ(holder.read_line(), "mode 0, timeout 5 s, max-bytes 65535");
    sim->set_fault(2, "error 31 times=1");

    const ToolRun run = tavctl({"list"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "slot 0: in use\n"
              "slot 1: not identified (Open_Tavril: TAVRIL_OPEN_NOT_IDENTIFIED (-2); errorCode 31 "
              "ERROR_GEN_FAILURE: A device attached to the system is not functioning.)\n"
              "slot 2: ready, model \"ZQ907\", serial \"SN000003\", firmware \"1.0.0\"\n"
              "slot 3: no device\n");

    // End of input closes the shell's slot.
    const ToolRun held = holder.finish();
    EXPECT_EQ(held.status, 0);
    EXPECT_EQ(held.err, "");
    EXPECT_EQ(tavctl({"identify", "0"}).status, 0);
    EXPECT_EQ(tavctl({"identify", "1"}).status, 0);
}

TEST_F(TavctlTest, IdentifyShowsTheIdentityTwice) {
    start(1);
    sim->set_identity(1, "VESPARO,ZQ907,ABC-42,2.5.1");
    const ToolRun run = tavctl({"identify", "0"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "slot 0 (Open_Tavril): model \"ZQ907\", serial \"ABC-42\", firmware \"2.5.1\"\n"
              "slot 0 (Conf_Tavril): model \"ZQ907\", serial \"ABC-42\", firmware \"2.5.1\"\n");
    EXPECT_EQ(run.err, "");
}

struct QueryRow {
    std::vector<std::string> args;
    std::string out;
};

void PrintTo(const QueryRow& row, std::ostream* out) {
    for (const std::string& arg : row.args) *out << arg << ' ';
}

class QueryTest : public TavctlTest, public ::testing::WithParamInterface<QueryRow> {};

TEST_P(QueryTest, PrintsTheResponseAndItsAnswerCode) {
    start_bench();
    std::vector<std::string> args{"query", "0"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    const ToolRun run = tavctl(args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, GetParam().out);
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Responses, QueryTest,
    ::testing::Values(
        QueryRow{{"HELLO"}, "HELLO\n"},                         // no answer code
        QueryRow{{"SET", "ANS41"}, "SET ANS41\nanswer code 41\n"},
        QueryRow{{"ans20"}, "ans20\n"},                          // tokens are case-sensitive
        // Mode 0 scans both lines (ANS20 wins by order), mode 1 the first.
        QueryRow{{"MULTI?"}, "first ANS40\nsecond ANS20\nanswer code 20\n"},
        QueryRow{{"MULTI?", "--mode", "1"}, "first ANS40\nanswer code 40\n"},
        // The response cut to --max-bytes.
        QueryRow{{"ABCDEFGH", "--max-bytes", "4"}, "ABCD\n"}));

TEST_F(TavctlTest, WriteSendsOneLine) {
    start(1);
    const ToolRun run = tavctl({"write", "0", "HELLO", "AGAIN"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "wrote 13 bytes\n");
    EXPECT_EQ(run.err, "");
    // The open's "*IDN?", then the line with its CR LF.
    EXPECT_EQ(sim->stats(1).request_args("WRITE"), (std::vector<std::uint32_t>{7, 13}));
}

// Output the instrument holds when the read's own open runs.  The open's
// identification reads until a line names the instrument and takes whatever
// stands before it, so a stand-in identity line is queued first: it
// satisfies the open and leaves the output behind it to the read.
void queue_for_read(SimProcess& sim, const std::string& output) {
    sim.push(1, "VESPARO,ZQ907,stand-in,0");
    sim.push_raw(1, output);
}

struct ReadRow {
    std::vector<std::string> args;
    std::string queued;
    std::string out;
};

void PrintTo(const ReadRow& row, std::ostream* out) {
    for (const std::string& arg : row.args) *out << arg << ' ';
}

class ReadTest : public TavctlTest, public ::testing::WithParamInterface<ReadRow> {};

TEST_P(ReadTest, PrintsWhatWasQueued) {
    start(1);
    queue_for_read(*sim, GetParam().queued);
    std::vector<std::string> args{"read", "0"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    const ToolRun run = tavctl(args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, GetParam().out);
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ReadTest,
    ::testing::Values(ReadRow{{}, "first\r\nsecond\r\n", "first\nsecond\n"},
                      ReadRow{{"--mode", "1"}, "first\r\nsecond\r\n", "first\n"},
                      // Raw bytes go out untouched, NULs and CR LF included.
                      ReadRow{{"--mode", "2"}, std::string("\x00\x01\xfe\xff" "AB\r\n", 8),
                              std::string("\x00\x01\xfe\xff" "AB\r\n", 8)},
                      ReadRow{{"--mode", "2", "--max-bytes", "3"}, "ABCDEF", "ABC"}));

TEST_F(TavctlTest, ReadWritesRawBytesToTheOutputFile) {
    start(1);
    queue_for_read(*sim, data_pattern(100));
    const auto file = scratch.path() / "data.bin";
    const ToolRun run = tavctl({"read", "0", "--mode", "2", "--output", file.string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(read_file(file), data_pattern(100));
}

// Nothing queued: the read times out after its one second, the failure is
// named, and the output file made for it is removed again.
TEST_F(TavctlTest, ReadTimeOutIsReportedAndLeavesNoFile) {
    start(1);
    const auto file = scratch.path() / "none.bin";
    const ToolRun run =
        tavctl({"read", "0", "--timeout", "1", "--mode", "2", "--output", file.string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "tavctl: slot 0: Read_Tavril: TAVRIL_READ_TIMEOUT (-3); errorCode 0 ERROR_SUCCESS: "
              "The operation completed successfully.\n");
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(TavctlTest, ShellRunsPipedLines) {
    start_bench();
    const std::string input =
        "*IDN?\n"
        "SET ANS60\n"
        ":write DATA? 8\n"
        ":read\n"
        "\n"
        ":mode 1\n"
        "MULTI?\n"
        ":identify\n"
        ":settings\n"
        ":quit\n"
        "NOT SENT\n";
    const ToolRun run = tavctl({"shell", "0", "--timeout", "7"}, input);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "VESPARO,ZQ907,SN000001,1.0.0\n"
              "SET ANS60\nanswer code 60\n"
              "wrote 9 bytes\n" +
                  data_pattern(8).substr(0, 6) +
                  "\n"
                  "first ANS40\nanswer code 40\n"
                  "model \"ZQ907\", serial \"SN000001\", firmware \"1.0.0\"\n"
                  "mode 1, timeout 7 s, max-bytes 65535\n");
    EXPECT_EQ(run.err, "");
}

// A line that fails makes the exit status 1, the shell goes on, and the end
// of input closes the slot.
TEST_F(TavctlTest, ShellReportsBadLinesAndClosesAtEndOfInput) {
    start(1);
    const ToolRun run = tavctl({"shell", "0"}, ":mode 7\n:write\nHELLO\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "HELLO\n");
    EXPECT_EQ(run.err,
              "tavctl: :mode takes a number from 0 to 1\n"
              "tavctl: :write needs the text to send\n");
    EXPECT_EQ(tavctl({"identify", "0"}).status, 0);
}

TEST_F(TavctlTest, FailedTransactionNamesResultAndErrorCode) {
    start(1);
    // The open's own read passes; the query's read fails.
    sim->set_fault(1, "error 1117 on=read skip=1 times=1");
    const ToolRun run = tavctl({"query", "0", "MEAS?"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "tavctl: slot 0: Scmd_Tavril: TAVRIL_SCMD_READ_FAILED (-2); errorCode 1117 "
              "ERROR_IO_DEVICE: The request could not be performed because of an I/O device "
              "error.\n");
}

// A device whose identification failed is closed again, unless the user
// asks to go on with it.
TEST_F(TavctlTest, UnidentifiedDeviceIsClosedUnlessAllowed) {
    start(1);
    const std::string notIdentified =
        "tavctl: slot 0: not identified: Open_Tavril: TAVRIL_OPEN_NOT_IDENTIFIED (-2); errorCode "
        "31 ERROR_GEN_FAILURE: A device attached to the system is not functioning.\n";
    sim->set_fault(1, "error 31 times=1");
    ToolRun run = tavctl({"query", "0", "HELLO"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, notIdentified);

    sim->set_fault(1, "error 31 times=1");
    run = tavctl({"--allow-unidentified", "query", "0", "HELLO"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "HELLO\n");
    EXPECT_EQ(run.err, notIdentified + "tavctl: slot 0: going on with the unidentified device\n");

    // Both runs released the slot.
    EXPECT_EQ(tavctl({"identify", "0"}).status, 0);
}

class NoDeviceTest : public TavctlTest,
                     public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(NoDeviceTest, EveryCommandReportsTheEmptySlot) {
    start(1);
    const ToolRun run = tavctl(GetParam());
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "tavctl: slot 2: " + kNoDevice);
}

INSTANTIATE_TEST_SUITE_P(Commands, NoDeviceTest,
                         ::testing::Values(std::vector<std::string>{"identify", "2"},
                                           std::vector<std::string>{"query", "2", "*IDN?"},
                                           std::vector<std::string>{"write", "2", "X"},
                                           std::vector<std::string>{"read", "2"},
                                           std::vector<std::string>{"shell", "2"}));

TEST_F(TavctlTest, UsageErrorsAndVersion) {
    start(1);
    ToolRun run = tavctl({"identify", "9"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("SLOT"), std::string::npos) << run.err;

    run = tavctl({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("tavctl ", 0), 0u) << run.out;
}

TEST_F(TavctlTest, TraceShowsEachLibraryCall) {
    start(1);
    const ToolRun run = tavctl({"--trace", "query", "0", "HELLO", "--timeout", "3"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "HELLO\n");
    EXPECT_EQ(run.err,
              "trace: Open_Tavril(slot 0) -> 0, errorCode 0, model \"ZQ907\", serial "
              "\"SN000001\", firmware \"1.0.0\"\n"
              "trace: Scmd_Tavril(\"HELLO\", max 65535, mode 0, 3 s) -> 0, errorCode 0\n"
              "trace:   received \"HELLO\\r\\n\"\n"
              "trace: Close_Tavril() -> 0, errorCode 0\n");
}

// tavctl trace --follow, as tail -f: a record whose line is still being
// written is waited for, not refused, and shows once its line ends.
TEST_F(TavctlTest, TraceFollowWaitsForTheRestOfALine) {
    const std::string start =
        R"({"v":1,"seq":0,"time":"2026-12-09T20:38:15.120001Z","mono_us":0,"pid":7,"tid":7,"call":"start",)"
        R"("library":"1.0.0","platform":"linux-x86_64","data_limit":4096,"max_bytes":268435456})";
    const std::string write =
        R"({"v":1,"seq":1,"time":"2026-12-09T20:38:15.120050Z","mono_us":49,"pid":7,"tid":7,"call":"Write_Tavril",)"
        R"("dur_us":40,"slot":0,"handle":"0x3","result":-3,"error":0,"timeout":5,"text":{"len":4,"text":"*RST"},)"
        R"("bytesWritten":0})";
    const auto file = scratch.path() / "live.trace";
    std::ofstream(file, std::ios::binary) << start << "\n" << write.substr(0, 50) << std::flush;
    RunningTool follow(TAVCTL_PATH, {"trace", "--follow", file.string()}, scratch.path(), scratch.path());
    EXPECT_EQ(follow.read_line().rfind("time (UTC)", 0), 0u);
    EXPECT_NE(follow.read_line().find("start  library 1.0.0"), std::string::npos);
    // Long enough for it to have read to the end of the cut line and to be
    // waiting there (it looks again every 200 ms).
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::ofstream(file, std::ios::binary | std::ios::app) << write.substr(50) << "\n" << std::flush;
    const std::string row = follow.read_line();
    EXPECT_NE(row.find("Write  \"*RST\""), std::string::npos) << row;
    EXPECT_NE(row.find("-3 TAVRIL_WRITE_TIMEOUT"), std::string::npos) << row;
    const ToolRun run = follow.interrupt();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace tavlib::tavctl::test
