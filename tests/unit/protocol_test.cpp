// Scmd_Tavril, answer codes, SplitIdentity, the identity handshake of
// Open_Tavril and Conf_Tavril over the fake platform.
#include <cstring>

#include "fake_fixture.h"
#include "protocol/answer_codes.h"
#include "protocol/identification.h"

namespace tavlib::test {
namespace {

using namespace std::string_literals;

class ScmdTest : public FakePlatformTest {
protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        device = open_raw_device();
        fake().log.clear();
        std::memset(response, '#', sizeof response);
    }
    std::int32_t scmd(std::int32_t mode = 0, std::uint32_t wt = 5, std::uint32_t rt = 5) {
        return Scmd_Tavril(device, "MEAS?", 100, mode, wt, rt, response, &error);
    }

    TavrilHandle device = nullptr;
    char response[128];
    std::uint32_t error = kSentinel;
};

TEST_F(ScmdTest, RefusedArgumentsSendNothingEvenOnAnInvalidHandle) {
    const std::tuple<std::int32_t, std::uint32_t, std::uint32_t> refused[] = {
        {2, 5, 5}, {-1, 5, 5}, {0, 0, 5}, {0, 61, 5}, {1, 5, 0}, {1, 5, 61}, {0, 5, 0xFFFFFFFFu}};
    for (TavrilHandle h : {device, TAVRIL_INVALID_HANDLE}) {
        for (auto [mode, wt, rt] : refused) {
            error = kSentinel;
            EXPECT_EQ(Scmd_Tavril(h, "MEAS?", 100, mode, wt, rt, response, &error),
                      TAVRIL_SCMD_BAD_ARGUMENT);
            EXPECT_EQ(error, 0u);
        }
    }
    EXPECT_TRUE(fake().log.empty());
    EXPECT_EQ(response[0], '#');
}

TEST_F(ScmdTest, TimeOutsOfOneAndSixtyAreAccepted) {
    fake().responses = {"a\r\n", "b\r\n"};
    EXPECT_EQ(scmd(0, 1, 60), TAVRIL_SCMD_OK);
    EXPECT_EQ(scmd(1, 60, 1), TAVRIL_SCMD_OK);
}

TEST_F(ScmdTest, WritesTheCommandThenReadsTheResponse) {
    fake().responses = {"42.0\r\n"};
    EXPECT_EQ(scmd(1), TAVRIL_SCMD_OK);
    EXPECT_STREQ(response, "42.0");
    EXPECT_EQ(fake().written, std::vector<std::string>{"MEAS?\r\n"});
    EXPECT_EQ(fake().readSizes, std::vector<std::uint32_t>{100});
}

struct Mapping {
    const char* name;
    bool writeStep;  // the script applies to the write (else to the read)
    fake::TransferStep step;
    std::uint32_t recoveryFails;
    std::int32_t result;
    std::uint32_t error;
};

fake::TransferStep start_fails(std::uint32_t code) {
    fake::TransferStep s;
    s.start = fake::TransferStep::Start::kFails;
    s.startError = code;
    return s;
}

fake::TransferStep zero_bytes() {
    fake::TransferStep s;
    s.count = 0;
    s.lastErrorAfterCompletion = 1117;
    return s;
}

class ScmdMappingTest : public ScmdTest, public ::testing::WithParamInterface<Mapping> {};

TEST_P(ScmdMappingTest, MapsEachWriteAndReadOutcome) {
    const Mapping& m = GetParam();
    if (m.writeStep) {
        fake().transfers = {m.step};
    } else {
        fake().transfers = {fake::TransferStep{}, m.step};
    }
    if (m.recoveryFails) fake().failNext["DeviceIoControl"] = m.recoveryFails;
    EXPECT_EQ(scmd(), m.result);
    EXPECT_EQ(error, m.error);
    // No read follows a failed or timed-out write.
    EXPECT_EQ(fake().readSizes.size(), m.writeStep ? 0u : 1u);
    EXPECT_EQ(response[0], '#');
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ScmdMappingTest,
    ::testing::Values(Mapping{"WriteFails", true, start_fails(6), 0, -1, 6},
                      Mapping{"WriteFailsRecoveryFails", true, start_fails(6), 31, -1, 31},
                      Mapping{"WriteTimesOut", true, times_out(), 0, -4, 0},
                      Mapping{"WriteTimesOutRecoveryFails", true, times_out(), 1167, -4, 1167},
                      Mapping{"ReadFails", false, start_fails(1167), 0, -2, 1167},
                      Mapping{"ReadBringsNothing", false, zero_bytes(), 0, -2, 1117},
                      Mapping{"ReadTimesOut", false, times_out(), 0, -5, 0},
                      Mapping{"ReadTimesOutRecoveryFails", false, times_out(), 31, -5, 31}),
    [](const auto& row) { return std::string(row.param.name); });

struct Answer {
    const char* response;
    std::int32_t mode;
    std::int32_t code;
};

class AnswerCodeTest : public ScmdTest, public ::testing::WithParamInterface<Answer> {};

TEST_P(AnswerCodeTest, TheTablesOrderDecides) {
    const Answer& a = GetParam();
    fake().responses = {a.response};
    EXPECT_EQ(scmd(a.mode), a.code) << a.response;
    EXPECT_EQ(error, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AnswerCodeTest,
    ::testing::Values(Answer{"ANS20\r\n", 0, 20}, Answer{"ANS40\r\n", 0, 40},
                      Answer{"ANS41\r\n", 0, 41}, Answer{"ANS60\r\n", 0, 60},
                      Answer{"ANS80\r\n", 0, 80}, Answer{"ANS90\r\n", 0, 90},
                      Answer{"ANS100\r\n", 0, 100}, Answer{"ANS0\r\n", 0, 0},
                      Answer{"ANS10 ANS30\r\n", 0, 0}, Answer{"plain text\r\n", 0, 0},
                      Answer{"ans20\r\n", 0, 0}, Answer{"x ANS60 y ANS20\r\n", 0, 20},
                      Answer{"ANS200\r\n", 0, 20}, Answer{"ANS410\r\n", 0, 41},
                      Answer{"ANS1000\r\n", 0, 100}, Answer{"ANS40\r\nANS20\r\n", 1, 40},
                      Answer{"ANS40\r\nANS20\r\n", 0, 20}, Answer{"ok\r\nANS90\r\n", 1, 0}));

TEST(AnswerCodes, OnlyTheTextUpToItsNulIsScanned) {
    const char text[] = "ok\0ANS20";
    EXPECT_EQ(protocol::answer_code(text), 0);
}

// ---- SplitIdentity ---------------------------------------------------------

struct Split {
    const char* text;
    const char* model;
    const char* serial;
    const char* firmware;
    const char* rest;
};

class SplitIdentityTest : public ::testing::TestWithParam<Split> {};

TEST_P(SplitIdentityTest, TakesTheLastThreeFields) {
    const Split& s = GetParam();
    char text[128];
    std::strcpy(text, s.text);
    char model[20], serial[20], firmware[20];
    std::memset(model, '#', 20);
    std::memset(serial, '#', 20);
    std::memset(firmware, '#', 20);
    protocol::SplitIdentity(model, serial, firmware, text);
    EXPECT_STREQ(model, s.model);
    EXPECT_STREQ(serial, s.serial);
    EXPECT_STREQ(firmware, s.firmware);
    EXPECT_STREQ(text, s.rest);
    // Only the text and its NUL are written.
    if (std::strlen(s.firmware) < 18) {
        EXPECT_EQ(firmware[19], '#');
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SplitIdentityTest,
    ::testing::Values(Split{"", "", "", "", ""}, Split{"VESPARO", "", "", "", "VESPARO"},
                      Split{"VESPARO,ZQ907", "", "", "ZQ907", "VESPARO"},
                      Split{"VESPARO,ZQ907,SN1", "", "ZQ907", "SN1", "VESPARO"},
                      Split{"VESPARO,ZQ907,SN1,1.2", "ZQ907", "SN1", "1.2", "VESPARO"},
                      Split{"x,VESPARO,ZQ907,SN1,1.2", "ZQ907", "SN1", "1.2", "x,VESPARO"},
                      Split{"VESPARO,ZQ907,SN1,1.2,b", "SN1", "1.2", "b", "VESPARO,ZQ907"},
                      Split{"A,,,", "", "", "", "A"},
                      Split{"V,ModelNameLongerThanNineteen,S,F", "ModelNameLongerThan", "S", "F",
                            "V"},
                      Split{"V,M,S,FirmwareVersionWayTooLongForIt", "M", "S",
                            "FirmwareVersionWayT", "V"}));

// ---- the identity handshake inside Open_Tavril ------------------------------

class HandshakeTest : public FakePlatformTest {
protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        fake().devices = {"/dev/tav0"};
        std::memset(&identity, '#', sizeof identity);
    }
    std::int32_t open() { return Open_Tavril(0, &handle, &identity, &error); }
    int reads() { return static_cast<int>(fake().readSizes.size()); }

    TavrilHandle handle = nullptr;
    InstrumentIdentity identity;
    std::uint32_t error = kSentinel;
};

TEST_F(HandshakeTest, AFourFieldIdentityFillsTheRecord) {
    fake().responses = {"VESPARO,ZQ907,SN0042,2.1.0\r\n"};
    ASSERT_EQ(open(), TAVRIL_OPEN_OK);
    EXPECT_EQ(error, 0u);
    EXPECT_STREQ(identity.model, "ZQ907");
    EXPECT_STREQ(identity.serialNumber, "SN0042");
    EXPECT_STREQ(identity.firmwareVersion, "2.1.0");
    EXPECT_EQ(identity.model[19], '#');  // bytes behind the NUL keep what they held
    EXPECT_EQ(fake().written, std::vector<std::string>{"*IDN?\r\n"});
    // The scratch area holds the largest response and its NUL.
    EXPECT_EQ(fake().allocSizes[0], 100001u);
    EXPECT_EQ(fake().readSizes, (std::vector<std::uint32_t>{65536}));
    expect_resources_released();
}

TEST_F(HandshakeTest, StaleOutputIsReadPastOneLineAtATime) {
    fake().responses = {"old result\r\n", "ANS20 another\r\n", "junk VESPARO,ZQ907,S9,F9\r\n"};
    ASSERT_EQ(open(), TAVRIL_OPEN_OK);
    EXPECT_EQ(reads(), 3);
    EXPECT_STREQ(identity.model, "ZQ907");
    EXPECT_STREQ(identity.serialNumber, "S9");
    // Further reads wait one second each.
    EXPECT_EQ(fake::log_count("WaitForSingleObject 1000"), 2);
}

TEST_F(HandshakeTest, AQueryWhoseReadTimedOutStillIdentifiesWhenTheAnswerArrives) {
    fake().transfers = {fake::TransferStep{}, times_out(),
                        delivers("VESPARO,ZQ907,SN7,3.0\r\n")};
    ASSERT_EQ(open(), TAVRIL_OPEN_OK);
    EXPECT_STREQ(identity.serialNumber, "SN7");
}

TEST_F(HandshakeTest, AQueryWhoseWriteTimedOutGoesOnReading) {
    fake().transfers = {times_out()};
    fake().responses = {"VESPARO,ZQ907,SN7,3.0\r\n"};
    ASSERT_EQ(open(), TAVRIL_OPEN_OK);
    EXPECT_EQ(reads(), 1);
}

TEST_F(HandshakeTest, AnInstrumentThatNeverNamesItselfIsGivenUpAfterTenReads) {
    fake().responses = {"OTHER,DEVICE,1,2\r\n"};
    EXPECT_EQ(open(), TAVRIL_OPEN_NOT_IDENTIFIED);
    EXPECT_EQ(error, 1460u);
    EXPECT_EQ(reads(), 11);  // the query's read and ten more
    EXPECT_EQ(identity.model[0], '#');
    EXPECT_NE(fake().slots.deviceHandle[0], kFreeWord);
    EXPECT_EQ(fake().openDevices.size(), 1u);
    expect_resources_released();
}

TEST_F(HandshakeTest, TheScratchTextIsEmptyBeforeTheQuery) {
    // Fixed memory is not cleared: nothing a read did not deliver may be
    // taken for the prefix.
    fake().staleMemory = "VESPARO,ZQ907,STALE,0";
    fake().transfers = {times_out()};
    EXPECT_EQ(open(), TAVRIL_OPEN_NOT_IDENTIFIED);
    EXPECT_EQ(error, 1460u);
}

struct QueryFailure {
    const char* name;
    std::vector<fake::TransferStep> steps;
    std::uint32_t error;
};

class HandshakeFailureTest : public HandshakeTest,
                             public ::testing::WithParamInterface<QueryFailure> {};

TEST_P(HandshakeFailureTest, EndsWithMinus2AndTheQuerysCode) {
    const QueryFailure& q = GetParam();
    fake().transfers.assign(q.steps.begin(), q.steps.end());
    EXPECT_EQ(open(), TAVRIL_OPEN_NOT_IDENTIFIED);
    EXPECT_EQ(error, q.error);
    EXPECT_NE(handle, TAVRIL_INVALID_HANDLE);
    EXPECT_EQ(fake().slots.deviceHandle[0], reinterpret_cast<std::uintptr_t>(handle));
    EXPECT_EQ(fake().infoSetsDestroyed, 1);
    expect_resources_released();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HandshakeFailureTest,
    ::testing::Values(QueryFailure{"WriteFails", {start_fails(1167)}, 1167},
                      QueryFailure{"ReadFails", {fake::TransferStep{}, start_fails(1117)}, 1117}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- Conf_Tavril ---------------------------------------------------------------

class ConfTest : public ScmdTest {
protected:
    std::int32_t conf(TavrilHandle h) {
        std::memset(&identity, '#', sizeof identity);
        return Conf_Tavril(h, &identity, &error);
    }
    InstrumentIdentity identity;
};

TEST_F(ConfTest, FillsTheRecordFromAClean50ByteRead) {
    fake().responses = {"VESPARO,ZQ907,SN1,1.0\r\n"};
    ASSERT_EQ(conf(device), TAVRIL_CONF_OK);
    EXPECT_EQ(error, 0u);
    EXPECT_STREQ(identity.model, "ZQ907");
    EXPECT_EQ(fake().readSizes, std::vector<std::uint32_t>{50});
}

TEST_F(ConfTest, FewerFieldsStillSucceedWithLeadingFieldsEmpty) {
    fake().responses = {"SN1,1.0\r\n"};
    ASSERT_EQ(conf(device), TAVRIL_CONF_OK);
    EXPECT_STREQ(identity.model, "");
    EXPECT_STREQ(identity.serialNumber, "");
    EXPECT_STREQ(identity.firmwareVersion, "1.0");
}

TEST_F(ConfTest, ALongIdentityIsSplitAsCutAtFiftyBytes) {
    const std::string longId = "VESPARO,ZQ907,SERIAL-0123456789,FIRMWARE-2026-12-07-build-4711\r\n";
    fake().responses = {longId};
    ASSERT_EQ(conf(device), TAVRIL_CONF_OK);
    EXPECT_STREQ(identity.serialNumber, "SERIAL-0123456789");
    EXPECT_STREQ(identity.firmwareVersion, longId.substr(32, 18).c_str());
}

TEST_F(ConfTest, AnAnswerCodeFailsWithErrorZeroAndLeavesTheRecord) {
    fake().responses = {"VESPARO,ZQ907,ANS20,1.0\r\n"};
    EXPECT_EQ(conf(device), TAVRIL_CONF_FAILED);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(identity.model[0], '#');
}

TEST_F(ConfTest, ATimeOutOrFailureFailsWithItsCode) {
    fake().transfers = {start_fails(1167)};
    EXPECT_EQ(conf(device), TAVRIL_CONF_FAILED);
    EXPECT_EQ(error, 1167u);
    fake().transfers = {fake::TransferStep{}, times_out()};
    EXPECT_EQ(conf(device), TAVRIL_CONF_FAILED);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(identity.model[0], '#');
}

TEST_F(ConfTest, MinusOneHandleTouchesNothing) {
    EXPECT_EQ(conf(TAVRIL_INVALID_HANDLE), TAVRIL_CONF_FAILED);
    EXPECT_EQ(error, kSentinel);
    EXPECT_TRUE(fake().log.empty());
}

}  // namespace
}  // namespace tavlib::test
