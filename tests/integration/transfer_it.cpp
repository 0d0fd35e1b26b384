// Writes and reads as the simulated driver sees them, faults, and the
// state of the connection after a failure.
#include <sys/mman.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdint>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "library_fixture.h"

namespace tavlib::test {
namespace {

using Sizes = std::vector<std::uint32_t>;

class TransferTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        handle = open_slot(0);
        sim->reset_stats(dev);
    }

    std::int32_t write(const std::string& text, std::uint32_t timeout = 5) {
        return Write_Tavril(handle, text.c_str(), timeout, &count, &error);
    }
    std::int32_t read(std::uint32_t maxBytes, std::int32_t mode, std::uint32_t timeout = 5) {
        buffer.assign(std::size_t{maxBytes} + 1, '#');
        return Read_Tavril(handle, maxBytes, mode, timeout, buffer.data(), &count, &error);
    }

    TavrilHandle handle = TAVRIL_INVALID_HANDLE;
    std::uint32_t count = 0;
    std::uint32_t error = 0;
    std::vector<char> buffer;
};

struct WriteCase {
    std::string text;
    Sizes transfers;
};

class WriteSizeTest : public TransferTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteSizeTest, TheDriverSeesTheFramedTextInChunks) {
    const WriteCase& c = GetParam();
    ASSERT_EQ(write(c.text), TAVRIL_WRITE_OK);
    std::uint32_t total = 0;
    for (std::uint32_t n : c.transfers) total += n;
    EXPECT_EQ(count, total);
    EXPECT_EQ(sim->stats(dev).request_args("WRITE"), c.transfers);
}

INSTANTIATE_TEST_SUITE_P(Rows, WriteSizeTest,
                         ::testing::Values(WriteCase{"", {2}}, WriteCase{"abc", {5}},
                                           WriteCase{"abc\r\n", {5}}, WriteCase{"a\r\nb", {4}},
                                           WriteCase{"abc\r", {6}}, WriteCase{"abc\n", {6}},
                                           WriteCase{std::string(65534, 'w'), {65536}},
                                           WriteCase{std::string(65535, 'w'), {65536, 1}},
                                           WriteCase{std::string(131070, 'w'), {65536, 65536}}));

struct ReadCase {
    const char* name;
    std::uint32_t responseSize;  // bytes the instrument sends, CR LF included
    std::uint32_t maxBytes;
    Sizes capacities;
    std::uint32_t received;
};

class ReadSizeTest : public TransferTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadSizeTest, TheDriverSeesChunkedReadsThatEndAtTheFirstShortOne) {
    const ReadCase& c = GetParam();
    ASSERT_EQ(write("DATA? " + std::to_string(c.responseSize)), TAVRIL_WRITE_OK);
    sim->wait(dev, "output-messages=1");
    sim->reset_stats(dev);
    ASSERT_EQ(read(c.maxBytes, TAVRIL_MODE_RAW), TAVRIL_READ_OK);
    EXPECT_EQ(count, c.received);
    EXPECT_EQ(sim->stats(dev).request_args("READ"), c.capacities);
    EXPECT_EQ(std::string(buffer.data() + count - 2, 2), "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadSizeTest,
    ::testing::Values(ReadCase{"OneTransferBelow64K", 1000, 65535, {65535}, 1000},
                      ReadCase{"ChunkedShort", 1000, 65536, {65536}, 1000},
                      ReadCase{"IdentificationSizeShort", 500, 100000, {65536}, 500},
                      ReadCase{"IdentificationSizeFull", 100000, 100000, {65536, 34464}, 100000},
                      ReadCase{"TwoFullChunks", 131072, 131072, {65536, 65536}, 131072},
                      ReadCase{"FullThenTen", 65546, 131072, {65536, 65536}, 65546}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(TransferTest, ReadModesDeliverTextLineAndRawBytes) {
    sim->push_raw(dev, "ab\r\ncd\r\n");
    ASSERT_EQ(read(100, TAVRIL_MODE_LINE), TAVRIL_READ_OK);
    EXPECT_STREQ(buffer.data(), "ab");
    EXPECT_EQ(count, 6u);
    sim->push_raw(dev, "ab\r\n");
    ASSERT_EQ(read(100, TAVRIL_MODE_TEXT), TAVRIL_READ_OK);
    EXPECT_STREQ(buffer.data(), "ab\r\n");
    sim->push_raw(dev, std::string("a\0b", 3));
    ASSERT_EQ(read(100, TAVRIL_MODE_RAW), TAVRIL_READ_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::string(buffer.data(), 4), std::string("a\0b#", 4));
}

TEST_F(TransferTest, ATimeOutInTheSecondOfThreeWritesCountsOneChunk) {
    sim->set_fault(dev, "delay 4000 skip=1 times=1 on=write");
    EXPECT_EQ(write(std::string(131071, 'w'), 1), TAVRIL_WRITE_TIMEOUT);
    EXPECT_EQ(count, 65536u);
    EXPECT_EQ(error, 0u);
    const sim::SimStats stats = sim->stats(dev);
    EXPECT_EQ(stats.request_args("WRITE"), (Sizes{65536, 65536}));
    EXPECT_EQ(stats.request_args("CANCEL").size(), 1u);
    EXPECT_EQ(stats.recoveries(), 1u);
}

TEST_F(TransferTest, APartialWriteFailsAndRecovers) {
    sim->set_fault(dev, "partial-write 2 times=1");
    EXPECT_EQ(write("abcdef"), TAVRIL_WRITE_FAILED);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(sim->stats(dev).recoveries(), 1u);
}

TEST_F(TransferTest, AZeroByteReadFailsAndRecovers) {
    sim->set_fault(dev, "zero-read times=1");
    EXPECT_EQ(read(100, TAVRIL_MODE_TEXT), TAVRIL_READ_FAILED);
    EXPECT_EQ(sim->stats(dev).recoveries(), 1u);
    EXPECT_EQ(buffer[0], '#');
}

TEST_F(TransferTest, AnErrorCompletionReportsItsStatus) {
    sim->set_fault(dev, "error 1117 times=1 on=write");
    EXPECT_EQ(write("abc"), TAVRIL_WRITE_FAILED);
    EXPECT_EQ(error, 1117u);
}

TEST_F(TransferTest, AFailedRecoveryRequestsCodeReplacesTheTransfers) {
    sim->set_fault(dev, "error 1117 times=1 on=write");
    sim->set_fault(dev, "recover-fail 31 times=1");
    EXPECT_EQ(write("abc"), TAVRIL_WRITE_FAILED);
    EXPECT_EQ(error, 31u);
    sim->set_fault(dev, "recover-fail 1784 times=1");
    EXPECT_EQ(read(100, TAVRIL_MODE_TEXT, 1), TAVRIL_READ_TIMEOUT);
    EXPECT_EQ(error, 1784u);
}

TEST_F(TransferTest, AfterAReadTimeOutTheNextResponseIsNotTheStaleOne) {
    char response[256];
    sim->set_fault(dev, "delay 3000 times=1 on=read");
    EXPECT_EQ(Scmd_Tavril(handle, "DATA? 40", 255, TAVRIL_MODE_TEXT, 5, 1, response, &error),
              TAVRIL_SCMD_READ_TIMEOUT);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(sim->stats(dev).recoveries(), 1u);
    ASSERT_EQ(Scmd_Tavril(handle, "PING", 255, TAVRIL_MODE_LINE, 5, 5, response, &error),
              TAVRIL_SCMD_OK);
    EXPECT_STREQ(response, "PING");
}

TEST_F(TransferTest, ATimeOutWhoseCancelIsIgnoredForAWhileStillEndsCleanly) {
    sim->set_fault(dev, "cancel-ignore 1500 times=1");
    EXPECT_EQ(read(100, TAVRIL_MODE_TEXT, 1), TAVRIL_READ_TIMEOUT);
    EXPECT_EQ(error, 0u);
    // The cancelled read has completed before the recovery request went out.
    const auto events = sim->stats(dev).events;
    int readCompleted = -1, recovery = -1;
    for (int i = 0; i < static_cast<int>(events.size()); ++i) {
        if (events[i].kind == sim::SimEvent::Kind::kComplete && events[i].type == "READ")
            readCompleted = i;
        if (events[i].kind == sim::SimEvent::Kind::kRequest && events[i].type == "IOCTL")
            recovery = i;
    }
    ASSERT_GE(readCompleted, 0);
    EXPECT_LT(readCompleted, recovery);
}

struct AbandonedCase {
    const char* name;
    std::uint32_t ignoredMs;  // how long the driver ignores the cancels of the timed-out read
    std::int32_t next;        // the next command's result
    std::uint32_t nextError;
};

class AbandonedReadTest : public TransferTest, public ::testing::WithParamInterface<AbandonedCase> {};

// The library stops waiting for a cancelled read after the grace period,
// while the driver still holds it: the next command's answer must not go
// to that read, and a driver that holds it for good fails the next start.
TEST_P(AbandonedReadTest, TheNextCommandWaitsForTheReadItGaveUpOn) {
    const AbandonedCase& c = GetParam();
    sim->set_fault(dev, "cancel-ignore " + std::to_string(c.ignoredMs) + " times=2");
    EXPECT_EQ(read(100, TAVRIL_MODE_TEXT, 1), TAVRIL_READ_TIMEOUT);
    char response[256] = {};
    EXPECT_EQ(Scmd_Tavril(handle, "PING", 255, TAVRIL_MODE_LINE, 5, 5, response, &error), c.next);
    EXPECT_EQ(error, c.nextError);
    if (c.next == TAVRIL_SCMD_OK) {
        EXPECT_STREQ(response, "PING");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AbandonedReadTest,
    ::testing::Values(AbandonedCase{"EndsWithinTheNextGrace", TAVRIL_DRIVER_GRACE_MS + 1000, TAVRIL_SCMD_OK, 0},
                      AbandonedCase{"OutlastsIt", 3 * TAVRIL_DRIVER_GRACE_MS, TAVRIL_SCMD_WRITE_FAILED,
                                    TAVRIL_ERROR_TIMEOUT}),
    [](const ::testing::TestParamInfo<AbandonedCase>& row) { return std::string(row.param.name); });

TEST_F(TransferTest, AConnectionDroppedMidTransferFailsWithDeviceNotConnected) {
    sim->set_fault(dev, "drop times=1 on=read");
    EXPECT_EQ(read(100, TAVRIL_MODE_TEXT), TAVRIL_READ_FAILED);
    EXPECT_EQ(error, 1167u);
    EXPECT_EQ(write("abc"), TAVRIL_WRITE_FAILED);
    EXPECT_EQ(error, 1167u);
}

TEST_F(TransferTest, ADriverThatDiesDuringAReadEndsItWithoutAHang) {
    auto pending = std::async(std::launch::async, [&] {
        std::vector<char> local(101);
        std::uint32_t n = 0, e = 0;
        const std::int32_t r =
            Read_Tavril(handle, 100, TAVRIL_MODE_TEXT, 60, local.data(), &n, &e);
        return std::make_pair(r, e);
    });
    sim->wait(dev, "reads-pending=1");
    ::kill(sim->pid(), SIGKILL);
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const auto [result, code] = pending.get();
    EXPECT_EQ(result, TAVRIL_READ_FAILED);
    EXPECT_EQ(code, 1167u);
}

TEST_F(TransferTest, TwoThreadsReadingOnOneHandleEachGetTheirOwnCompletion) {
    auto reader = [&] {
        std::vector<char> local(101);
        std::uint32_t n = 0, e = 0;
        const std::int32_t r = Read_Tavril(handle, 100, TAVRIL_MODE_LINE, 30, local.data(), &n, &e);
        return std::make_pair(r, std::string(local.data()));
    };
    auto first = std::async(std::launch::async, reader);
    auto second = std::async(std::launch::async, reader);
    sim->wait(dev, "reads-pending=2");
    sim->push(dev, "one");
    sim->push(dev, "two");
    const auto a = first.get();
    const auto b = second.get();
    EXPECT_EQ(a.first, TAVRIL_READ_OK);
    EXPECT_EQ(b.first, TAVRIL_READ_OK);
    EXPECT_NE(a.second, b.second);
    EXPECT_TRUE((a.second == "one" && b.second == "two") || (a.second == "two" && b.second == "one"));
}

// A driver process that stops cannot hold a read beyond its time-out and the
// grace period: the cancel and the recovery request go unanswered, the call
// returns -3 with ERROR_TIMEOUT, and when the driver runs again its late
// answers reach nobody.
TEST_F(TransferTest, AStoppedDriverCannotHoldAReadBeyondItsTimeOutAndTheGracePeriod) {
    ASSERT_EQ(write("MEAS:CURR?"), TAVRIL_WRITE_OK);
    ASSERT_EQ(::kill(sim->pid(), SIGSTOP), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read(100, TAVRIL_MODE_TEXT, 1), TAVRIL_READ_TIMEOUT);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(error, TAVRIL_ERROR_TIMEOUT);
    EXPECT_LT(took, std::chrono::seconds(1) + std::chrono::milliseconds(TAVRIL_DRIVER_GRACE_MS) +
                        std::chrono::seconds(3));
    EXPECT_EQ(buffer, std::vector<char>(101, '#'));

    ASSERT_EQ(::kill(sim->pid(), SIGCONT), 0);
    sim->wait(dev, "recoveries>=1");
    sim->push(dev, "fresh");
    EXPECT_EQ(read(100, TAVRIL_MODE_LINE), TAVRIL_READ_OK);
    EXPECT_STREQ(buffer.data(), "fresh");
}

// The peak resident set of this process in bytes, since start or since
// reset_peak_rss().
std::uint64_t peak_rss() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    return 0;
}

void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// A generous maxBytes costs memory for what arrives, not for what it
// allows: the scratch block and the caller's buffer are committed only where
// bytes land.  Where the address space cannot hold a block of maxBytes + 1
// (32-bit), the read fails with ERROR_NOT_ENOUGH_MEMORY instead, before it
// writes anything.
TEST_F(TransferTest, AGenerousMaxBytesCostsMemoryOnlyForWhatArrives) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own shadow memory follows the allocation";
#endif
    for (const std::uint32_t maxBytes : {2000000000u, 0xFFFFFFFFu}) {
        // The caller's buffer, untouched; a small one where the full size
        // cannot be mapped (a failed read writes nothing).
        const std::uint64_t wanted = std::uint64_t{maxBytes} + 1;
        std::size_t size = wanted <= SIZE_MAX ? static_cast<std::size_t>(wanted) : 0;
        void* caller = size != 0 ? ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)
                                 : MAP_FAILED;
        std::vector<char> small;
        if (caller == MAP_FAILED) {
            small.assign(4096, '#');
            size = 0;
        }
        char* into = size != 0 ? static_cast<char*>(caller) : small.data();
        sim->push(dev, "short");
        reset_peak_rss();
        const std::uint64_t before = peak_rss();
        const std::int32_t result =
            Read_Tavril(handle, maxBytes, TAVRIL_MODE_LINE, 5, into, &count, &error);
        const std::uint64_t growth = peak_rss() - before;
        if (result == TAVRIL_READ_FAILED) {
            // Only where the block cannot exist: a 32-bit address space.
            EXPECT_EQ(sizeof(void*), 4u) << maxBytes;
            EXPECT_EQ(error, 8u);
            EXPECT_EQ(into[0], size != 0 ? '\0' : '#');
            ASSERT_EQ(read(100, TAVRIL_MODE_LINE), TAVRIL_READ_OK);  // the response is still there
            EXPECT_STREQ(buffer.data(), "short");
        } else {
            EXPECT_EQ(result, TAVRIL_READ_OK) << maxBytes;
            EXPECT_STREQ(into, "short");
        }
        EXPECT_LE(growth, std::uint64_t{8} << 20) << "maxBytes " << maxBytes;
        if (size != 0) ::munmap(caller, size);
    }
}

}  // namespace
}  // namespace tavlib::test
