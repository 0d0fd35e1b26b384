// The simulator as the library sees it: interface sockets, connections,
// framing of commands and responses, CANCEL, recovery, malformed messages.
#include "sim_fixture.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <set>

namespace tavlib::sim::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

const std::string kIdentity1 = "VESPARO,ZQ907,SN000001,1.0.0\r\n";

// A temporary folder removed at the end of the test.
struct TempDir {
    TempDir() {
        char pattern[] = "/tmp/tavril-simtest-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

// ---- interfaces ----------------------------------------------------------------

using Interfaces = SimTest;

TEST_F(Interfaces, SequenceNamesAndRemovalOnSigterm) {
    start({"--devices", "3"});
    const std::string folder = sim().interface_folder();
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{"0000000001", "0000000002", "0000000003"}));
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    for (const std::string& name : names_in(folder)) {
        ASSERT_EQ(::stat((folder + "/" + name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode)) << name;
    }
    EXPECT_EQ(sim().stop(), 0);
    EXPECT_TRUE(names_in(folder).empty());
    EXPECT_FALSE(fs::exists(sim().control_path()));
    EXPECT_NE(sim().output().find("tavril-sim: stopped"), std::string::npos);
}

TEST_F(Interfaces, SigintCleansUpToo) {
    start({"--devices", "2"});
    const std::string folder = sim().interface_folder();
    RawConnection c = connect(1);
    ASSERT_EQ(::kill(sim().pid(), SIGINT), 0);
    EXPECT_TRUE(c.closed_by_peer());
    EXPECT_TRUE(sim().wait_for_output("tavril-sim: stopped", std::chrono::seconds(20)));
    EXPECT_EQ(sim().stop(), 0);
    EXPECT_TRUE(names_in(folder).empty());
}

TEST_F(Interfaces, QuitCommandEndsCleanly) {
    start();
    const std::string folder = sim().interface_folder();
    EXPECT_TRUE(sim().command("quit").ok);
    EXPECT_TRUE(sim().wait_for_output("tavril-sim: stopped", std::chrono::seconds(20)));
    EXPECT_EQ(sim().stop(), 0);
    EXPECT_TRUE(names_in(folder).empty());
}

TEST_F(Interfaces, NewNamesSortAfterForeignNamesWhichAreLeftAlone) {
    TempDir dir;
    const std::string folder = dir.path + "/016a5b0d-4331-4c56-8825-6ec4c870d3cb";
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all);  // a private folder, as the simulator demands
    std::ofstream(folder + "/0000000007") << "left by a driver that died";
    start({"--devices", "1"}, false, dir.path);
    EXPECT_EQ(sim().devices().at(0).path, folder + "/0000000008");
    std::ofstream(folder + "/zz") << "another driver";
    const SimDevice added = sim().add_device();
    EXPECT_EQ(added.id, 9u);
    EXPECT_EQ(added.path, folder + "/zz.0000000009");
    EXPECT_EQ(sim().stop(), 0);
    EXPECT_EQ(names_in(folder), (std::vector<std::string>{"0000000007", "zz"}));
}

TEST_F(Interfaces, HotPlugWhileConnected) {
    start();
    RawConnection c = connect(1);
    c.read(1, 100);
    sim().wait(1, "reads-pending=1");
    const std::string old_path = path(1);
    sim().remove_device(1);
    EXPECT_TRUE(c.closed_by_peer());  // the pending READ is never completed
    EXPECT_FALSE(fs::exists(old_path));
    const SimDevice added = sim().add_device();
    EXPECT_EQ(added.id, 2u);
    EXPECT_GT(fs::path(added.path).filename().string(), fs::path(old_path).filename().string());
    ASSERT_EQ(sim().devices().size(), 1u);
    RawConnection again(added.path);
    again.write(1, "*IDN?\r\n");
    EXPECT_EQ(again.expect().count, 7u);
    EXPECT_THROW(sim().ok("remove 1"), SimProcessError);
    EXPECT_THROW(sim().add_device("no-such-instrument"), SimProcessError);
}

// ---- connections ---------------------------------------------------------------

TEST_F(SimTest, SeveralConnectionsKeepTheirOwnCompletions) {
    RawConnection a = connect(1);
    RawConnection b = connect(1);
    // The same ids on both connections.  The instrument's output is one
    // queue, and the oldest waiting READ takes the next response.
    a.read(2, 100);
    sim().wait(1, "reads-pending=1");
    b.read(2, 100);
    sim().wait(1, "reads-pending=2");
    b.write(1, "YY\r\n");
    EXPECT_EQ(b.expect(1).count, 4u);
    EXPECT_EQ(a.expect(2).payload, "YY\r\n");
    a.write(1, "X\r\n");
    EXPECT_EQ(a.expect(1).count, 3u);
    EXPECT_EQ(b.expect(2).payload, "X\r\n");
    sim().wait(1, "requests=4");
    EXPECT_FALSE(a.has_message_now());
    EXPECT_FALSE(b.has_message_now());
    const SimStats stats = sim().stats(1);
    EXPECT_EQ(stats.value("connections"), 2u);
    std::set<std::uint64_t> opened;
    for (const SimEvent& e : stats.events)
        if (e.kind == SimEvent::Kind::kOpen) opened.insert(e.conn);
    EXPECT_EQ(opened.size(), 2u);
}

TEST_F(SimTest, ConnectionClosedByTheClientLeavesOthersWorking) {
    {
        RawConnection gone = connect(1);
        gone.read(1, 100);
        sim().wait(1, "reads-pending=1");
    }
    sim().wait(1, "connections=0 reads-pending=0");
    RawConnection c = connect(1);
    c.write(1, "*IDN?\r\n");
    c.expect();
    c.read(2, 100);
    EXPECT_EQ(c.expect().payload, kIdentity1);  // not taken by the closed connection's READ
}

// ---- framing -------------------------------------------------------------------

struct FramingCase {
    std::vector<std::string> writes;
    std::vector<std::string> responses;
    std::uint64_t partial;
};

std::ostream& operator<<(std::ostream& os, const FramingCase& c) {
    return os << c.writes.size() << " write(s), " << c.responses.size() << " response(s)";
}

class Framing : public SimTest, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(Framing, WritesBecomeLinesAndResponsesComeOneByOne) {
    RawConnection c = connect(1);
    std::uint32_t id = 0;
    for (const std::string& w : GetParam().writes) {
        c.write(++id, w);
        const Completion done = c.expect();
        EXPECT_EQ(done.id, id);
        EXPECT_EQ(done.status, 0u);
        EXPECT_EQ(done.count, w.size());
    }
    for (const std::string& expected : GetParam().responses) {
        c.read(++id, 1000);
        const Completion done = c.expect();
        EXPECT_EQ(done.status, 0u);
        EXPECT_EQ(done.payload, expected);
    }
    const SimStats stats = sim().stats(1);
    EXPECT_EQ(stats.value("output-messages"), 0u);
    EXPECT_EQ(stats.value("partial-bytes"), GetParam().partial);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, Framing,
    ::testing::Values(FramingCase{{"*IDN?\r\n"}, {kIdentity1}, 0}, FramingCase{{"*ID", "N?\r\n"}, {kIdentity1}, 0},
                      FramingCase{{"A\r\nB\r\n"}, {"A\r\n", "B\r\n"}, 0},
                      FramingCase{{"abc\r", "\nxyz\r\n"}, {"abc\r\n", "xyz\r\n"}, 0},
                      FramingCase{{"\r\n"}, {"\r\n"}, 0}, FramingCase{{"a\r\nbc"}, {"a\r\n"}, 2},
                      FramingCase{{"*IDN?\r\nDATA? 10\r\n"}, {kIdentity1, data_pattern(10)}, 0}));

TEST_F(SimTest, LineLongerThan64KiBOverSeveralWrites) {
    RawConnection c = connect(1);
    std::string line;
    for (std::size_t i = 0; i < 200000; ++i) line += static_cast<char>('a' + i % 23);
    const std::string framed = line + "\r\n";
    std::uint32_t id = 0;
    std::vector<std::uint32_t> sizes;
    for (std::size_t at = 0; at < framed.size(); at += 65536) {
        const std::string chunk = framed.substr(at, 65536);
        sizes.push_back(static_cast<std::uint32_t>(chunk.size()));
        c.write(++id, chunk);
        EXPECT_EQ(c.expect().count, chunk.size());
    }
    // The echo comes back whole, over READs of 64 KiB.
    EXPECT_EQ(read_response(c, id, 65536), framed);
    const SimStats stats = sim().stats(1);
    EXPECT_EQ(stats.request_args("WRITE"), sizes);
    EXPECT_EQ(stats.request_args("READ"), (std::vector<std::uint32_t>{65536, 65536, 65536, 65536}));
    const auto reads = stats.completions("READ");
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads[3].second, framed.size() - 3 * 65536);
}

TEST_F(SimTest, LongResponseOverSeveralReadsNothingLost) {
    RawConnection c = connect(1);
    c.write(1, "DATA? 100000\r\n");
    c.expect();
    c.read(2, 65536);
    const Completion first = c.expect();
    c.read(3, 34464);
    const Completion second = c.expect();
    EXPECT_EQ(first.count, 65536u);
    EXPECT_EQ(second.count, 34464u);
    EXPECT_EQ(first.payload + second.payload, data_pattern(100000));
    // Nothing more: a further READ waits.
    c.read(4, 65536);
    sim().wait(1, "reads-pending=1");
    EXPECT_FALSE(c.has_message_now());
}

// READs sent faster than their completions are taken: what the socket
// cannot hold waits in the simulator, and arrives whole and in order.
TEST_F(SimTest, CompletionsBeyondTheSocketBufferArriveInOrder) {
    constexpr std::uint32_t kReads = 64;
    RawConnection c = connect(1);
    c.write(1, "DATA? " + std::to_string(kReads * 65536) + "\r\n");
    c.expect();
    for (std::uint32_t id = 2; id < 2 + kReads; ++id) c.read(id, 65536);
    sim().wait(1, "reads-pending=0 output-messages=0");
    std::string joined;
    for (std::uint32_t id = 2; id < 2 + kReads; ++id) {
        const Completion done = c.expect();
        ASSERT_EQ(done.id, id);
        ASSERT_EQ(done.count, 65536u);
        joined += done.payload;
    }
    EXPECT_EQ(joined, data_pattern(kReads * 65536));
}

TEST_F(SimTest, ResponsesAreNeverJoined) {
    RawConnection c = connect(1);
    sim().push(1, "ONE");
    sim().push(1, "TWO");
    c.read(1, 100);
    EXPECT_EQ(c.expect().payload, "ONE\r\n");
    c.read(2, 3);
    EXPECT_EQ(c.expect().payload, "TWO");
    c.read(3, 100);
    EXPECT_EQ(c.expect().payload, "\r\n");
}

TEST_F(SimTest, ReadWaitsForOutputAndZeroCapacityCompletesAtOnce) {
    RawConnection c = connect(1);
    c.read(1, 0);
    const Completion zero = c.expect();
    EXPECT_EQ(zero.status, 0u);
    EXPECT_EQ(zero.count, 0u);
    c.read(2, 50);
    sim().wait(1, "reads-pending=1");
    EXPECT_FALSE(c.has_message_now());
    sim().push_raw(1, std::string("\0bin\r\n", 6));
    const Completion done = c.expect();
    EXPECT_EQ(done.id, 2u);
    EXPECT_EQ(done.payload, std::string("\0bin\r\n", 6));
}

// ---- cancel ----------------------------------------------------------------------

TEST_F(SimTest, CancelCompletesOnceWith995) {
    RawConnection c = connect(1);
    c.read(1, 100);
    c.cancel(1);
    const Completion done = c.expect();
    EXPECT_EQ(done.id, 1u);
    EXPECT_EQ(done.status, 995u);
    EXPECT_EQ(done.count, 0u);
    EXPECT_TRUE(done.payload.empty());
    c.cancel(1);   // already completed
    c.cancel(77);  // never existed
    c.write(2, "AB\r\n");
    c.cancel(2);   // completed at once; the CANCEL comes too late
    EXPECT_EQ(c.expect().id, 2u);
    sim().wait(1, "requests=6");
    EXPECT_FALSE(c.has_message_now());
    // The cancelled READ took nothing: the echo is still there.
    const SimStats stats = sim().stats(1);
    EXPECT_EQ(stats.value("output-messages"), 1u);
    EXPECT_EQ(stats.completions("READ"),
              (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{995, 0}}));
    EXPECT_EQ(stats.request_args("CANCEL").size(), 4u);
}

// ---- recovery --------------------------------------------------------------------

TEST_F(SimTest, RecoveryDropsOutputAndPartialCommand) {
    RawConnection c = connect(1);
    sim().push(1, "STALE");
    c.write(1, "abc");
    c.expect();
    c.ioctl(2, kIoctlRecover);
    const Completion done = c.expect();
    EXPECT_EQ(done.id, 2u);
    EXPECT_EQ(done.status, 0u);
    SimStats stats = sim().stats(1);
    EXPECT_EQ(stats.value("output-messages"), 0u);
    EXPECT_EQ(stats.value("partial-bytes"), 0u);
    EXPECT_EQ(stats.recoveries(), 1u);
    c.write(3, "*IDN?\r\n");
    c.expect();
    c.read(4, 100);
    EXPECT_EQ(c.expect().payload, kIdentity1);  // not "abc*IDN?"
}

TEST_F(SimTest, RecoveryDropsAResponseStillInItsDelay) {
    start({"--definitions", kSample});
    RawConnection c = connect(1);
    c.write(1, "MEAS:CURR?\r\n");  // answered after 150 ms
    c.expect();
    c.ioctl(2, kIoctlRecover);
    EXPECT_EQ(c.expect().status, 0u);
    c.write(3, "*IDN?\r\n");
    c.expect();
    c.read(4, 100);
    EXPECT_EQ(c.expect().payload, "VESPARO,ZQ907,SN000001,2.4.1\r\n");
}

TEST_F(SimTest, OtherControlCodesAreInvalidFunction) {
    RawConnection c = connect(1);
    sim().push(1, "KEEP");
    c.ioctl(1, 0x222004);
    const Completion done = c.expect();
    EXPECT_EQ(done.status, 1u);
    EXPECT_EQ(done.count, 0u);
    const SimStats stats = sim().stats(1);
    EXPECT_EQ(stats.recoveries(), 0u);
    EXPECT_EQ(stats.value("output-messages"), 1u);
    EXPECT_EQ(stats.request_args("IOCTL"), std::vector<std::uint32_t>{0x222004});
}

// ---- malformed messages -------------------------------------------------------------

struct MalformedCase {
    const char* name;
    std::function<void(RawConnection&)> send;
};

std::ostream& operator<<(std::ostream& os, const MalformedCase& c) { return os << c.name; }

class Malformed : public SimTest, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(Malformed, ClosesThatConnectionOnly) {
    RawConnection bad = connect(1);
    RawConnection good = connect(1);
    GetParam().send(bad);
    EXPECT_TRUE(bad.closed_by_peer());
    good.write(1, "*IDN?\r\n");
    EXPECT_EQ(good.expect().status, 0u);
    const SimStats stats = sim().stats(1);
    ASSERT_FALSE(stats.events.empty());
    bool closed = false;
    for (const SimEvent& e : stats.events) closed = closed || (e.kind == SimEvent::Kind::kClose && e.reason == "malformed");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(sim().wait_for_output("malformed message", std::chrono::seconds(20)));
}

INSTANTIATE_TEST_SUITE_P(
    Messages, Malformed,
    ::testing::Values(
        MalformedCase{"ShortHeader", [](RawConnection& c) { c.send_raw(std::string(8, '\0')); }},
        MalformedCase{"UnknownType", [](RawConnection& c) { c.send_message(9, 1, 0, 0); }},
        MalformedCase{"CompleteFromLibrary", [](RawConnection& c) { c.send_message(kComplete, 1, 0, 0); }},
        MalformedCase{"WriteOfZero", [](RawConnection& c) { c.send_message(kWrite, 1, 0, 0); }},
        MalformedCase{"WritePayloadShort", [](RawConnection& c) { c.send_message(kWrite, 1, 5, 0, "abcd"); }},
        MalformedCase{"WritePayloadLong", [](RawConnection& c) { c.send_message(kWrite, 1, 3, 0, "abcd"); }},
        MalformedCase{"WriteAbove64KiB",
                      [](RawConnection& c) { c.send_message(kWrite, 1, 65537, 0, std::string(65537, 'x')); }},
        MalformedCase{"ReadAbove64KiB", [](RawConnection& c) { c.send_message(kRead, 1, 65537, 0); }},
        MalformedCase{"ReadWithPayload", [](RawConnection& c) { c.send_message(kRead, 1, 10, 0, "x"); }},
        MalformedCase{"IoctlWithPayload", [](RawConnection& c) { c.send_message(kIoctl, 1, kIoctlRecover, 0, "x"); }},
        MalformedCase{"CancelWithArg", [](RawConnection& c) { c.send_message(kCancel, 1, 1, 0); }},
        MalformedCase{"CountNotZero", [](RawConnection& c) { c.send_message(kRead, 1, 10, 3); }},
        MalformedCase{"IdZero", [](RawConnection& c) { c.read(0, 10); }},
        MalformedCase{"IdStillOutstanding",
                      [](RawConnection& c) {
                          c.read(4, 10);
                          c.read(4, 10);
                      }}),
    [](const ::testing::TestParamInfo<MalformedCase>& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace tavlib::sim::test
