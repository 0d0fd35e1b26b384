// Write_Tavril and Read_Tavril over the fake platform: framing, chunking,
// read modes, and every failure and time-out path of a transfer.
#include <climits>
#include <cstring>
#include <optional>
#include <vector>

#include "fake_fixture.h"

namespace tavlib::test {
namespace {

using Start = fake::TransferStep::Start;

class TransferTest : public FakePlatformTest {
protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        device = open_raw_device();
        fake().log.clear();
    }

    std::int32_t write(const std::string& text, std::uint32_t timeout = 5) {
        return Write_Tavril(device, text.c_str(), timeout, &count, &error);
    }
    std::int32_t read(std::uint32_t maxBytes, std::int32_t mode, std::uint32_t timeout = 5) {
        buffer.assign(std::size_t{maxBytes} + 1 + 8, '#');
        return Read_Tavril(device, maxBytes, mode, timeout, buffer.data(), &count, &error);
    }
    std::vector<std::size_t> written_sizes() {
        std::vector<std::size_t> sizes;
        for (const auto& w : fake().written) sizes.push_back(w.size());
        return sizes;
    }

    TavrilHandle device = nullptr;
    std::uint32_t count = kSentinel;
    std::uint32_t error = kSentinel;
    std::vector<char> buffer;
};

// ---- Write_Tavril --------------------------------------------------------

struct Framing {
    const char* text;
    const char* sent;
    std::uint32_t sentLength;
};

class WriteFramingTest : public TransferTest, public ::testing::WithParamInterface<Framing> {};

TEST_P(WriteFramingTest, SendsTheTextWithCrLfUnlessItHoldsAPair) {
    const Framing& f = GetParam();
    ASSERT_EQ(write(f.text), TAVRIL_WRITE_OK);
    EXPECT_EQ(count, f.sentLength);
    EXPECT_EQ(error, 0u);
    ASSERT_EQ(fake().written.size(), 1u);
    EXPECT_EQ(fake().written[0], std::string(f.sent, f.sentLength));
    expect_resources_released();
}

INSTANTIATE_TEST_SUITE_P(Rows, WriteFramingTest,
                         ::testing::Values(Framing{"", "\r\n", 2}, Framing{"abc", "abc\r\n", 5},
                                           Framing{"abc\r\n", "abc\r\n", 5},
                                           Framing{"a\r\nb", "a\r\nb", 4},
                                           Framing{"abc\r", "abc\r\r\n", 6},
                                           Framing{"abc\n", "abc\n\r\n", 6},
                                           Framing{"\n\r", "\n\r\r\n", 4}));

struct Chunking {
    std::size_t textLength;
    std::vector<std::size_t> transfers;
};

class WriteChunkingTest : public TransferTest, public ::testing::WithParamInterface<Chunking> {};

TEST_P(WriteChunkingTest, SplitsIntoFullChunksAndARemainder) {
    const Chunking& c = GetParam();
    ASSERT_EQ(write(std::string(c.textLength, 'x')), TAVRIL_WRITE_OK);
    EXPECT_EQ(written_sizes(), c.transfers);
    EXPECT_EQ(count, c.textLength + 2);
    // One event and one buffer serve every transfer of the call.
    EXPECT_EQ(fake().eventsCreated, 1);
    EXPECT_EQ(fake().buffersAllocated, 1);
    EXPECT_EQ(fake().allocSizes[0], c.textLength + 3);
    // The remainder ends with the appended line end.
    EXPECT_EQ(fake().written.back().substr(fake().written.back().size() - 1), "\n");
}

INSTANTIATE_TEST_SUITE_P(Rows, WriteChunkingTest,
                         ::testing::Values(Chunking{65534, {65536}}, Chunking{65535, {65536, 1}},
                                           Chunking{131070, {65536, 65536}},
                                           Chunking{131071, {65536, 65536, 1}}));

// A text that cannot be copied or measured ends the write before any
// transfer: -1 with the copy's code (or the too-long code), no recovery.
struct UncopiableText {
    const char* name;
    const char* text;
    std::optional<int> counted;         // what lstrlenA answers
    std::string failingCall;             // a copy that fails with 1784
    std::uint32_t expectedError;
};

class WriteUncopiableTest : public TransferTest,
                            public ::testing::WithParamInterface<UncopiableText> {};

TEST_P(WriteUncopiableTest, FailsWithoutSendingOrRecovering) {
    const UncopiableText& row = GetParam();
    fake().lstrlenResult = row.counted;
    if (!row.failingCall.empty()) fake().failNext[row.failingCall] = 1784;
    EXPECT_EQ(Write_Tavril(device, row.text, 5, &count, &error), TAVRIL_WRITE_FAILED);
    EXPECT_EQ(error, row.expectedError);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(fake().written.empty());
    EXPECT_EQ(fake().recoveryRequests, 0);
    expect_resources_released();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, WriteUncopiableTest,
    ::testing::Values(
        UncopiableText{"NullText", nullptr, std::nullopt, "", 998},
        UncopiableText{"CopyFails", "*RST", std::nullopt, "lstrcpyA", 1784},
        UncopiableText{"AppendFails", "*RST", std::nullopt, "lstrcatA", 1784},
        // 2^31 bytes or more: lstrlenA's int wraps to a negative count, or
        // to a small one that does not end at the text's NUL.
        UncopiableText{"LengthWrappedNegative", "*RST", INT_MIN, "", TAVRIL_ERROR_TEXT_TOO_LONG},
        UncopiableText{"LengthWrappedShort", "MEAS:VOLT?", 2, "", TAVRIL_ERROR_TEXT_TOO_LONG}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(TransferTest, WriteTimeoutBounds) {
    for (std::uint32_t bad : {0u, 61u, 0xFFFFFFFFu}) {
        fake::reset();
        device = open_raw_device();
        EXPECT_EQ(write("abc", bad), TAVRIL_WRITE_BAD_ARGUMENT) << bad;
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(error, 0u);
        EXPECT_EQ(fake().eventsCreated, 1);
        EXPECT_EQ(fake().eventsClosed, 1);
        EXPECT_EQ(fake().allocSizes.size(), 0u);
        EXPECT_TRUE(fake().written.empty());
        EXPECT_EQ(fake().recoveryRequests, 0);
    }
    for (std::uint32_t good : {1u, 60u}) {
        fake().log.clear();
        EXPECT_EQ(write("abc", good), TAVRIL_WRITE_OK) << good;
        EXPECT_EQ(fake().log[fake::log_index("WaitForSingleObject")],
                  "WaitForSingleObject " + std::to_string(good * 1000));
    }
}

TEST_F(TransferTest, TheEventIsManualResetUnsignalledAndUnnamed) {
    ASSERT_EQ(write("x"), TAVRIL_WRITE_OK);
    EXPECT_EQ(fake().log[fake::log_index("CreateEventA")], "CreateEventA - 1 0 -");
}

TEST_F(TransferTest, WriteTimeoutInTheSecondOfThreeTransfersCountsTheFirst) {
    fake().transfers = {fake::TransferStep{}, times_out()};
    EXPECT_EQ(write(std::string(131071, 'x')), TAVRIL_WRITE_TIMEOUT);
    EXPECT_EQ(count, 65536u);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(written_sizes(), (std::vector<std::size_t>{65536, 65536}));
    expect_resources_released();
}

// ---- failure and time-out paths, for both directions ----------------------

struct PathCase {
    const char* name;
    fake::TransferStep step;
    const char* cancelFails;    // "CancelIo" to make the cancel fail with 6
    std::uint32_t recoveryFails;  // non-zero: the recovery request fails with it
    std::int32_t outcome;         // 0 completed, -1 failed, -3 timed out
    std::uint32_t expectedError;
    bool settles;                 // waits for the transfer to end before recovery
};

fake::TransferStep make(Start start, std::uint32_t startError, std::uint32_t wait,
                        bool completes, std::uint32_t completionError,
                        std::optional<std::uint32_t> moved, std::uint32_t lastError = 0) {
    fake::TransferStep s;
    s.start = start;
    s.startError = startError;
    s.wait = wait;
    s.waitError = 6;
    s.completes = completes;
    s.completionError = completionError;
    s.count = moved;
    s.lastErrorAfterCompletion = lastError;
    return s;
}

// Transfers of 3 bytes: the write "ab" + CR LF... minus one; the read asks 3.
constexpr std::uint32_t kAsked = 3;

const PathCase kPathCases[] = {
    {"Completes", make(Start::kPending, 997, 0, true, 0, kAsked), nullptr, 0, 0, 0, false},
    {"StartFails", make(Start::kFails, 6, 0, true, 0, {}), nullptr, 0, -1, 6, false},
    {"StartFailsRecoveryFails", make(Start::kFails, 6, 0, true, 0, {}), nullptr, 31, -1, 31, false},
    {"CompletionQueryFails", make(Start::kPending, 997, 0, false, 1117, {}), nullptr, 0, -1, 1117,
     false},
    {"CompletionQueryFailsRecoveryFails", make(Start::kPending, 997, 0, false, 1117, {}), nullptr,
     1167, -1, 1167, false},
    {"WaitFailedButTransferDone", make(Start::kPending, 997, platform::kWaitFailed, true, 0, kAsked),
     nullptr, 0, 0, 0, false},
    {"WaitFailedTransferStillRunning",
     make(Start::kPending, 997, platform::kWaitFailed, false, 996, {}), nullptr, 0, -1, 996, true},
    {"TimeOut", make(Start::kPending, 997, platform::kWaitTimeout, true, 0, {}), nullptr, 0, -3, 0,
     true},
    {"TimeOutCancelFails", make(Start::kPending, 997, platform::kWaitTimeout, true, 0, {}),
     "CancelIo", 0, -3, 6, true},
    {"TimeOutCancelAndRecoveryFail", make(Start::kPending, 997, platform::kWaitTimeout, true, 0, {}),
     "CancelIo", 31, -3, 31, true},
    {"TimeOutRecoveryFails", make(Start::kPending, 997, platform::kWaitTimeout, true, 0, {}),
     nullptr, 1167, -3, 1167, true},
    {"FinishedAtOnce", make(Start::kAtOnce, 0, 0, true, 0, kAsked), nullptr, 0, 0, 0, false},
    {"FinishedAtOnceShort", make(Start::kAtOnce, 0, 0, true, 0, 0u, 0), nullptr, 0, -1, 0, false},
};

class TransferPathTest : public TransferTest,
                         public ::testing::WithParamInterface<std::tuple<PathCase, bool>> {};

TEST_P(TransferPathTest, ResultErrorCodeRecoveryAndRelease) {
    const auto& [c, isRead] = GetParam();
    fake::TransferStep s = c.step;
    if (isRead) s.data = "xyz";
    // A write must move all 3 bytes; give the "short" rows one byte fewer.
    if (!isRead && c.outcome == -1 && s.count && *s.count == 0) s.count = kAsked - 1;
    fake().transfers = {s};
    if (c.cancelFails) fake().failNext["CancelIo"] = 6;
    if (c.recoveryFails) fake().failNext["DeviceIoControl"] = c.recoveryFails;

    const std::int32_t result = isRead ? read(kAsked, TAVRIL_MODE_RAW) : write("a");
    EXPECT_EQ(result, c.outcome);
    EXPECT_EQ(error, c.expectedError);
    EXPECT_EQ(count, c.outcome == 0 ? kAsked : 0u);
    EXPECT_EQ(fake().recoveryRequests, c.outcome == 0 ? 0 : 1);
    if (c.outcome != 0) {
        EXPECT_EQ(fake().log[fake::log_index("DeviceIoControl")], "DeviceIoControl 2236416 00000");
    }
    EXPECT_EQ(fake::log_count("CancelIo") > 0, c.settles);
    if (c.settles) {
        // The cancelled transfer has ended before the recovery request and
        // before the record and buffer are given back.
        EXPECT_LT(fake::log_index("CancelIo"), fake::log_index("GetOverlappedResult wait"));
        EXPECT_LT(fake::log_index("GetOverlappedResult wait"), fake::log_index("DeviceIoControl"));
        EXPECT_LT(fake::log_index("DeviceIoControl"), fake::log_index("GlobalFree"));
    }
    if (isRead && c.outcome != 0) {
        EXPECT_EQ(buffer[0], '#');  // nothing of a failed read reaches the caller
    }
    expect_resources_released();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TransferPathTest,
    ::testing::Combine(::testing::ValuesIn(kPathCases), ::testing::Bool()),
    [](const auto& row) {
        return std::string(std::get<0>(row.param).name) +
               (std::get<1>(row.param) ? "_Read" : "_Write");
    });

TEST_F(TransferTest, AShortCountIsRefusedWithTheLastErrorOfThatMoment) {
    fake().transfers = {make(Start::kPending, 997, 0, true, 0, 2u, 1784)};
    EXPECT_EQ(write("a"), TAVRIL_WRITE_FAILED);
    EXPECT_EQ(error, 1784u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(fake().recoveryRequests, 1);
}

struct SetupFailure {
    const char* call;
    std::uint32_t code;
};

class TransferSetupFailureTest : public TransferTest,
                                 public ::testing::WithParamInterface<std::tuple<SetupFailure, bool>> {};

TEST_P(TransferSetupFailureTest, EndsBeforeAnyTransferWithoutRecovery) {
    const auto& [f, isRead] = GetParam();
    fake().failNext[f.call] = f.code;
    EXPECT_EQ(isRead ? read(10, TAVRIL_MODE_TEXT) : write("abc"), -1);
    EXPECT_EQ(error, f.code);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(fake().written.empty());
    EXPECT_TRUE(fake().readSizes.empty());
    EXPECT_EQ(fake().recoveryRequests, 0);
    EXPECT_EQ(fake().buffersAllocated, 0);
    expect_resources_released();
}

INSTANTIATE_TEST_SUITE_P(Rows, TransferSetupFailureTest,
                         ::testing::Combine(::testing::Values(SetupFailure{"CreateEventA", 1450},
                                                              SetupFailure{"GlobalAlloc", 8}),
                                            ::testing::Bool()));

TEST_F(TransferTest, AnArgumentErrorWinsOverAMissingEvent) {
    fake().failNext["CreateEventA"] = 1450;
    EXPECT_EQ(write("abc", 0), TAVRIL_WRITE_BAD_ARGUMENT);
    EXPECT_EQ(error, 0u);
    fake().failNext["CreateEventA"] = 1450;
    EXPECT_EQ(read(10, 7), TAVRIL_READ_BAD_ARGUMENT);
    EXPECT_EQ(error, 0u);
}

TEST_F(TransferTest, ABadHandleFailsAtTheFirstStart) {
    device = bogus_handle();
    EXPECT_EQ(write("abc"), TAVRIL_WRITE_FAILED);
    EXPECT_EQ(error, 6u);
    EXPECT_EQ(fake().recoveryRequests, 1);
}

// ---- Read_Tavril ---------------------------------------------------------

TEST_F(TransferTest, ReadArgumentBounds) {
    for (auto [mode, timeout] : std::vector<std::pair<std::int32_t, std::uint32_t>>{
             {-1, 5}, {3, 5}, {INT_MIN, 5}, {0, 0}, {0, 3600001}, {2, 0xFFFFFFFFu}}) {
        fake::reset();
        device = open_raw_device();
        EXPECT_EQ(read(10, mode, timeout), TAVRIL_READ_BAD_ARGUMENT) << mode << " " << timeout;
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(error, 0u);
        EXPECT_TRUE(fake().readSizes.empty());
        EXPECT_EQ(fake().eventsClosed, 1);
        EXPECT_EQ(fake().recoveryRequests, 0);
    }
    fake().responses = {"x"};
    EXPECT_EQ(read(10, TAVRIL_MODE_TEXT, 3600000), TAVRIL_READ_OK);
    EXPECT_EQ(fake().log[fake::log_index("WaitForSingleObject")], "WaitForSingleObject 3600000000");
}

struct Receive {
    const char* name;
    std::uint32_t maxBytes;
    std::vector<std::uint32_t> delivered;  // bytes each transfer brings
    std::vector<std::uint32_t> asked;      // room each transfer asks for
    std::uint32_t total;
};

class ReadChunkingTest : public TransferTest, public ::testing::WithParamInterface<Receive> {};

TEST_P(ReadChunkingTest, AsksInChunksAndStopsAtTheFirstShortTransfer) {
    const Receive& r = GetParam();
    std::string expected;
    for (std::size_t i = 0; i < r.delivered.size(); ++i) {
        std::string piece(r.delivered[i], static_cast<char>('a' + i));
        expected += piece;
        fake().transfers.push_back(delivers(piece));
    }
    ASSERT_EQ(read(r.maxBytes, TAVRIL_MODE_RAW), TAVRIL_READ_OK);
    EXPECT_EQ(fake().readSizes, r.asked);
    EXPECT_EQ(count, r.total);
    EXPECT_EQ(std::string(buffer.data(), count), expected);
    EXPECT_EQ(buffer[count], '#');  // raw mode writes no terminator
    EXPECT_EQ(fake().allocSizes[0], std::uint64_t{r.maxBytes} + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadChunkingTest,
    ::testing::Values(Receive{"Below64K", 65535, {65535}, {65535}, 65535},
                      Receive{"Exactly64KShort", 65536, {100}, {65536}, 100},
                      Receive{"Exactly64KFull", 65536, {65536}, {65536}, 65536},
                      Receive{"IdentificationSizeShort", 100000, {500}, {65536}, 500},
                      Receive{"IdentificationSizeFull", 100000, {65536, 34464}, {65536, 34464},
                              100000},
                      Receive{"TwoFullChunks", 131072, {65536, 65536}, {65536, 65536}, 131072},
                      Receive{"FullThenTen", 131072, {65536, 10}, {65536, 65536}, 65546}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(TransferTest, ReadTimeoutInTheSecondTransferKeepsTheFirstsCount) {
    fake().transfers = {delivers(std::string(65536, 'a')), times_out()};
    EXPECT_EQ(read(131072, TAVRIL_MODE_TEXT), TAVRIL_READ_TIMEOUT);
    EXPECT_EQ(count, 65536u);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(fake().recoveryRequests, 1);
}

TEST_F(TransferTest, ReadOfMaxBytesZeroNeverSucceeds) {
    fake().transfers = {delivers("")};
    EXPECT_EQ(read(0, TAVRIL_MODE_TEXT), TAVRIL_READ_FAILED);
    EXPECT_EQ(fake().readSizes, std::vector<std::uint32_t>{0});
    EXPECT_EQ(fake().recoveryRequests, 1);
}

TEST_F(TransferTest, ReadMoreThanAskedIsRefused) {
    fake::TransferStep s = delivers("abc");
    s.count = 4;
    fake().transfers = {s};
    EXPECT_EQ(read(3, TAVRIL_MODE_TEXT), TAVRIL_READ_FAILED);
    EXPECT_EQ(buffer[0], '#');
}

TEST_F(TransferTest, LargestMaxBytesAsksForItsTrueSizeWithoutWrapping) {
    std::vector<char> none(1);
    const std::int32_t result =
        Read_Tavril(device, 0xFFFFFFFFu, TAVRIL_MODE_TEXT, 5, none.data(), &count, &error);
    ASSERT_EQ(fake().allocSizes.size(), sizeof(std::size_t) > 4 ? 1u : 0u);
    if (!fake().allocSizes.empty()) {
        EXPECT_EQ(fake().allocSizes[0], 0x100000000ull);
    }
    EXPECT_EQ(result, TAVRIL_READ_FAILED);
    EXPECT_EQ(error, 8u);
    EXPECT_TRUE(fake().readSizes.empty());
}

struct Delivery {
    const char* name;
    std::int32_t mode;
    std::string received;
    std::string buffer;  // what the caller's buffer holds, terminator included
    std::uint32_t count;
};

class ReadModeTest : public TransferTest, public ::testing::WithParamInterface<Delivery> {};

TEST_P(ReadModeTest, DeliversByMode) {
    const Delivery& d = GetParam();
    fake().transfers = {delivers(d.received)};
    ASSERT_EQ(read(100, d.mode), TAVRIL_READ_OK);
    EXPECT_EQ(count, d.count);
    EXPECT_EQ(std::string(buffer.data(), d.buffer.size()), d.buffer);
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    Rows, ReadModeTest,
    ::testing::Values(Delivery{"TextKeepsLineEnd", 0, "ab\r\n", "ab\r\n\0"s, 4},
                      Delivery{"LineDropsLineEnd", 1, "ab\r\n", "ab\0"s, 2},
                      Delivery{"LineStopsAtFirstPair", 1, "a\r\nb\r\n", "a\0"s, 4},
                      Delivery{"LineWithoutPairKeepsCount", 1, "x", "x\0"s, 1},
                      Delivery{"LineTrailingCrIsNoPair", 1, "ab\r", "ab\r\0"s, 3},
                      Delivery{"TextStopsAtEmbeddedNul", 0, "a\0b"s, "a\0"s, 3},
                      Delivery{"RawKeepsEverything", 2, "a\0\r\nb"s, "a\0\r\nb#"s, 5}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(TransferTest, AResponseOfExactlyMaxBytesIsTerminatedAtMaxBytes) {
    fake().transfers = {delivers("abcdefghij")};
    ASSERT_EQ(read(10, TAVRIL_MODE_TEXT), TAVRIL_READ_OK);
    EXPECT_EQ(std::string(buffer.data(), 11), "abcdefghij"s + '\0');
}

TEST_F(TransferTest, AFailedCopyIntoTheCallersBufferReportsWithoutRecovery) {
    fake().transfers = {delivers("hello")};
    fake().failNext["lstrcpyA"] = 998;
    EXPECT_EQ(read(10, TAVRIL_MODE_TEXT), TAVRIL_READ_FAILED);
    EXPECT_EQ(error, 998u);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(fake().recoveryRequests, 0);
    expect_resources_released();
}

}  // namespace
}  // namespace tavlib::test
