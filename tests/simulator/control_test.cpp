// The control channel, statistics, the trace, definitions files in a
// running simulator, and the command line.
#include "ready_line.h"
#include "sim_fixture.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>

namespace tavlib::sim::test {
namespace {


using Control = SimTest;

// A client of the simulator's control socket.
UniqueFd control_connection(const std::string& path) {
    UniqueFd control(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(control.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return UniqueFd();
    return control;
}

TEST_F(Control, StatsListRequestsAndCompletionsInOrder) {
    RawConnection c = connect(1);
    sim().wait(1, "connections=1");
    sim().reset_stats(1);
    const std::string text(65536, 'w');
    c.write(1, text);
    EXPECT_EQ(c.expect().count, 65536u);
    c.write(2, "\n");  // no CR LF yet before it: one line of 65536 + "\n", still partial
    c.expect();
    c.write(3, "\r\nDATA? 100000\r\n");
    c.expect();
    // First the echo of the long line, then the data.
    std::uint32_t id = 3;
    EXPECT_EQ(read_response(c, id, 65536).size(), 65536u + 1 + 2);
    c.read(++id, 65536);
    c.expect();
    c.read(++id, 34464);
    c.expect();
    c.ioctl(++id, kIoctlRecover);
    c.expect();
    const SimStats stats = sim().stats(1);
    EXPECT_EQ(stats.request_args("WRITE"), (std::vector<std::uint32_t>{65536, 1, 16}));
    EXPECT_EQ(stats.request_args("READ"), (std::vector<std::uint32_t>{65536, 65536, 65536, 34464}));
    EXPECT_EQ(stats.completions("READ"),
              (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 65536}, {0, 3}, {0, 65536}, {0, 34464}}));
    EXPECT_EQ(stats.request_args("IOCTL"), std::vector<std::uint32_t>{kIoctlRecover});
    EXPECT_EQ(stats.recoveries(), 1u);
    EXPECT_EQ(stats.value("requests"), 8u);
    EXPECT_EQ(stats.value("bytes-written"), 65536u + 1 + 16);
    EXPECT_EQ(stats.value("bytes-read"), 65536u + 3 + 100000);
    // Each request is logged before its completion.
    ASSERT_EQ(stats.events.size(), 16u);
    for (std::size_t i = 0; i < stats.events.size(); i += 2) {
        EXPECT_EQ(stats.events[i].kind, SimEvent::Kind::kRequest);
        EXPECT_EQ(stats.events[i + 1].kind, SimEvent::Kind::kComplete);
        EXPECT_EQ(stats.events[i].id, stats.events[i + 1].id);
        EXPECT_EQ(stats.events[i].type, stats.events[i + 1].type);
    }
    sim().reset_stats(1);
    const SimStats cleared = sim().stats(1);
    EXPECT_TRUE(cleared.events.empty());
    EXPECT_EQ(cleared.value("requests"), 0u);
    EXPECT_EQ(cleared.value("connections"), 1u);  // state, not a counter
}

TEST_F(Control, StatsLimitKeepsTheNewestEvents) {
    start({"--stats-limit", "4"});
    RawConnection c = connect(1);
    for (std::uint32_t id = 1; id <= 3; ++id) {
        c.write(id, "x");
        c.expect();
    }
    const SimStats stats = sim().stats(1);
    ASSERT_EQ(stats.events.size(), 4u);
    EXPECT_EQ(stats.value("dropped-events"), 3u);  // open, req 1, done 1
    EXPECT_EQ(stats.events.front().id, 2u);
    EXPECT_EQ(stats.value("requests"), 3u);
}

struct BadCommand {
    const char* line;
    const char* reply;
};

std::ostream& operator<<(std::ostream& os, const BadCommand& c) { return os << c.line; }

class ControlErrors : public SimTest, public ::testing::WithParamInterface<BadCommand> {};

TEST_P(ControlErrors, AnsweredWithAnErrorLine) {
    const SimReply reply = sim().command(GetParam().line);
    EXPECT_FALSE(reply.ok);
    EXPECT_NE(reply.status.find(GetParam().reply), std::string::npos) << reply.status;
    EXPECT_EQ(reply.status.rfind("error ", 0), 0u);
    EXPECT_TRUE(sim().command("list").ok);  // the channel stays usable
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ControlErrors,
    ::testing::Values(BadCommand{"bogus", "unknown command 'bogus'"}, BadCommand{"stats 9", "no device 9"},
                      BadCommand{"stats one", "not a device number"}, BadCommand{"remove", "usage: remove DEV"},
                      BadCommand{"fault 1 explode", "unknown fault 'explode'"},
                      BadCommand{"fault 1 delay", "needs a number"}, BadCommand{"clear 1 nothing", "unknown fault"},
                      BadCommand{"push 1 bad\\q", "bad escape"}, BadCommand{"add a b", "usage: add"},
                      BadCommand{"trace maybe", "usage: trace"}, BadCommand{"wait 1 speed>=3", "unknown key 'speed'"},
                      BadCommand{"wait 1 requests~3", "bad condition"},
                      BadCommand{"wait 1 requests>=5 timeout=10", "timeout after 10 ms; requests=0"}));

TEST_F(Control, ListInstrumentsAndHelp) {
    start({"--definitions", kSample});
    const SimReply list = sim().command("list");
    ASSERT_TRUE(list.ok);
    EXPECT_EQ(list.status, "ok devices=1");
    ASSERT_EQ(list.lines.size(), 1u);
    EXPECT_NE(list.lines[0].find("instrument=zq907"), std::string::npos);
    const SimReply instruments = sim().command("instruments");
    ASSERT_EQ(instruments.lines.size(), 4u);  // default, no-identity, stale-output, zq907
    EXPECT_GT(sim().command("help").lines.size(), 10u);
}

TEST_F(Control, WaitHoldsLaterCommandsUntilMet) {
    RawConnection c = connect(1);
    // A second control client: `wait` and `list` sent together; the reply to
    // `list` must not come before the wait is met.
    UniqueFd control = control_connection(sim().control_path());
    ASSERT_TRUE(control);
    const std::string lines = "wait 1 reads-pending>=1 requests>=1 connections=1\nlist\n";
    ASSERT_EQ(::send(control.get(), lines.data(), lines.size(), MSG_NOSIGNAL), static_cast<ssize_t>(lines.size()));
    c.read(1, 100);
    std::string replies;
    while (replies.find("ok devices=") == std::string::npos) {
        char buffer[4096];
        const ssize_t n = ::recv(control.get(), buffer, sizeof buffer, 0);
        ASSERT_GT(n, 0);
        replies.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(replies.rfind("ok\ndevice id=1 ", 0), 0u) << replies;
    sim().push(1, "GO");
    EXPECT_EQ(c.expect().payload, "GO\r\n");
    sim().wait(1, "reads-pending<=0 bytes-read>=4");
}

TEST_F(Control, AClientThatStopsSendingGetsItsRepliesThenTheClose) {
    UniqueFd control = control_connection(sim().control_path());
    ASSERT_TRUE(control);
    const std::string lines = "list\nfaults 1\n";
    ASSERT_EQ(::send(control.get(), lines.data(), lines.size(), MSG_NOSIGNAL), static_cast<ssize_t>(lines.size()));
    ASSERT_EQ(::shutdown(control.get(), SHUT_WR), 0);
    std::string replies;
    for (;;) {
        char buffer[4096];
        const ssize_t n = ::recv(control.get(), buffer, sizeof buffer, 0);
        ASSERT_GE(n, 0);
        if (n == 0) break;  // the simulator closes once the replies are out
        replies.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_NE(replies.find("ok devices=1\nok\n"), std::string::npos) << replies;
}

TEST_F(Control, TraceShowsRequestsAndCompletions) {
    start({}, true);
    RawConnection c = connect(1);
    c.write(5, "*IDN?\r\n");
    c.expect();
    c.read(6, 100);
    c.expect();
    EXPECT_TRUE(sim().wait_for_output("> WRITE id=5 n=7 \"*IDN?\\r\\n\"", std::chrono::seconds(20)));
    EXPECT_TRUE(sim().wait_for_output("< COMPLETE id=5 WRITE status=0 count=7", std::chrono::seconds(20)));
    EXPECT_TRUE(sim().wait_for_output("> READ id=6 cap=100", std::chrono::seconds(20)));
    EXPECT_TRUE(sim().wait_for_output("< COMPLETE id=6 READ status=0 count=30", std::chrono::seconds(20)));
    sim().set_trace(false);
    c.write(7, "QUIET\r\n");
    c.expect();
    sim().set_trace(true);
    c.write(8, "LOUD\r\n");
    c.expect();
    // Output is in order: once id=8 shows, id=7 would have shown before it.
    EXPECT_TRUE(sim().wait_for_output("> WRITE id=8", std::chrono::seconds(20)));
    EXPECT_EQ(sim().output().find("id=7"), std::string::npos);
}

// ---- definitions in a running simulator -------------------------------------------------

struct DialogueCase {
    std::string command;
    std::vector<std::string> responses;
};

std::ostream& operator<<(std::ostream& os, const DialogueCase& c) { return os << c.command; }

class SampleInstrument : public SimTest, public ::testing::WithParamInterface<DialogueCase> {};

TEST_P(SampleInstrument, Answers) {
    start({"--definitions", kSample});
    RawConnection c = connect(1);
    c.write(1, GetParam().command + "\r\n");
    c.expect();
    std::uint32_t id = 1;
    for (const std::string& expected : GetParam().responses) EXPECT_EQ(read_response(c, id, 65536), expected);
    c.read(++id, 100);
    sim().wait(1, "reads-pending=1");
    EXPECT_FALSE(c.has_message_now());
}

INSTANTIATE_TEST_SUITE_P(
    Dialogues, SampleInstrument,
    ::testing::Values(DialogueCase{"*IDN?", {"VESPARO,ZQ907,SN000001,2.4.1\r\n"}},
                      DialogueCase{"CONF:RANGE 1000", {"RANGE REFUSED ANS40\r\n"}},
                      DialogueCase{"SELFTEST?", {"SELFTEST ANS40\r\nCHANNEL 2 ANS20\r\n"}},
                      DialogueCase{"SYST:ERR?", {"0,\"No error\"\r\n", "END\r\n"}},
                      DialogueCase{"TRACE?", {data_pattern(100000)}},
                      DialogueCase{"MEAS:CURR?", {"+4.20000E-03\r\n"}},
                      DialogueCase{"NOPE", {"ERROR unknown command ANS90\r\n"}}, DialogueCase{"*RST", {}}));

TEST_F(Control, AddedInstrumentStartsWithItsStaleOutput) {
    start({"--definitions", kSample});
    const SimDevice added = sim().add_device("stale-output");
    EXPECT_EQ(added.id, 2u);
    RawConnection c(added.path);
    c.write(1, "*IDN?\r\n");
    c.expect();
    c.read(2, 100);
    EXPECT_EQ(c.expect().payload, "OVERRANGE 12\r\n");
    c.read(3, 100);
    EXPECT_EQ(c.expect().payload, "VESPARO,ZQ907,SN000002,1.0.0\r\n");
}

TEST_F(Control, FaultsFromTheDefinitionsFileAreOnFromTheStart) {
    start({"--definitions", kSample});
    const SimDevice added = sim().add_device("no-identity");
    EXPECT_EQ(sim().command("faults " + std::to_string(added.id)).lines,
              std::vector<std::string>{"fault kind=no-idn skip=0 times=0 on=idn"});
    RawConnection c(added.path);
    c.write(1, "*IDN?\r\n");
    c.expect();
    c.read(2, 100);
    sim().wait(added.id, "reads-pending=1");
    EXPECT_FALSE(c.has_message_now());
    sim().clear_faults(added.id);
    c.write(3, "*IDN?\r\n");
    EXPECT_EQ(c.expect().id, 3u);
    EXPECT_EQ(c.expect().payload, "VESPARO,ZQ907,SN000002,1.0.0\r\n");
}

TEST_F(Control, BadDefinitionsFileIsRefusedAtStart) {
    char name[] = "/tmp/tavril-baddefs-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(name) << "instruments:\n  - name: x\n    dialogues:\n      - command: A\n        respons: B\n";
    try {
        start({"--definitions", name});
        FAIL() << "started with a bad definitions file";
    } catch (const SimProcessError& e) {
        EXPECT_NE(std::string(e.what()).find(std::string(name) + ":5:9: unknown key 'respons'"), std::string::npos)
            << e.what();
    }
    std::remove(name);
}

// ---- the command line --------------------------------------------------------------------

// Runs the simulator with a shell command line; returns its exit code and output.
std::pair<int, std::string> run_shell(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return {-1, output};
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(CommandLine, StdinControlAndCheck) {
    char dir[] = "/tmp/tavril-stdin-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string exe = TAVRIL_SIM_PATH;
    const auto [code, output] =
        run_shell("printf 'list\\nfault 1 zero-read\\nfaults 1\\nquit\\nadd\\n' | " + exe + " --stdin --runtime-dir " + dir);
    EXPECT_EQ(code, 0) << output;
    EXPECT_NE(output.find(tavlib::sim::kReadyLine), std::string::npos) << output;
    EXPECT_NE(output.find("ok devices=1"), std::string::npos) << output;
    EXPECT_NE(output.find("fault kind=zero-read skip=0 times=0 on=read\nok"), std::string::npos) << output;
    EXPECT_NE(output.find("tavril-sim: stopped"), std::string::npos) << output;
    EXPECT_EQ(output.find("device 2 added"), std::string::npos) << output;  // nothing runs after quit
    std::error_code ec;
    EXPECT_TRUE(std::filesystem::is_empty(std::string(dir) + "/016a5b0d-4331-4c56-8825-6ec4c870d3cb", ec));

    // Standard input ends the simulator once its lines have run, a last one
    // without its line end too; a regular file cannot be watched.
    const auto [ended, lastLine] = run_shell("printf 'list\\nadd' | " + exe + " --stdin --runtime-dir " + dir);
    EXPECT_EQ(ended, 0) << lastLine;
    EXPECT_NE(lastLine.find("ok id=2 "), std::string::npos) << lastLine;
    EXPECT_NE(lastLine.find("tavril-sim: stopped"), std::string::npos) << lastLine;
    const auto [file, refused] = run_shell(exe + " --stdin --runtime-dir " + dir + " < " + kSample);
    EXPECT_EQ(file, 1) << refused;
    EXPECT_NE(refused.find("--stdin needs standard input to be a terminal, pipe or socket"), std::string::npos)
        << refused;
    std::filesystem::remove_all(dir, ec);

    EXPECT_EQ(run_shell(exe + " --check --definitions " + kSample).first, 0);
    const auto [both, message] = run_shell(exe + " --devices 2 --definitions " + kSample);
    EXPECT_EQ(both, 2);
    EXPECT_NE(message.find("--devices cannot be combined"), std::string::npos) << message;
    EXPECT_EQ(run_shell(exe + " --devices 65").first, 2);
    EXPECT_EQ(run_shell(exe + " --no-such-option").first, 2);
    EXPECT_EQ(run_shell(exe + " --help").first, 0);
}

}  // namespace
}  // namespace tavlib::sim::test
