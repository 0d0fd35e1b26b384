// The identity handshake, transactions and Conf_Tavril against the
// simulated instrument.
#include <cstring>

#include "library_fixture.h"

namespace tavlib::test {
namespace {

class ProtocolTest : public SimulatorTest {
protected:
    std::int32_t open(std::uint32_t slot = 0) {
        std::memset(&identity, '#', sizeof identity);
        const std::int32_t result = Open_Tavril(slot, &handle, &identity, &error);
        if (result == TAVRIL_OPEN_OK || result == TAVRIL_OPEN_NOT_IDENTIFIED)
            opened.push_back(handle);
        return result;
    }

    TavrilHandle handle = TAVRIL_INVALID_HANDLE;
    InstrumentIdentity identity{};
    std::uint32_t error = 0;
};

TEST_F(ProtocolTest, StaleOutputAheadOfTheIdentityIsReadPast) {
    sim->push(dev, "left over from an earlier program");
    sim->push(dev, "ANS40 and another line");
    ASSERT_EQ(open(), TAVRIL_OPEN_OK);
    EXPECT_STREQ(identity.model, "ZQ907");
    EXPECT_EQ(std::string(identity.serialNumber), serial_of(dev));
}

TEST_F(ProtocolTest, TextAheadOfThePrefixIsAcceptedAndDropped) {
    sim->set_identity(dev, "#07 VESPARO,ZQ907,AB-123,4.5.6");
    ASSERT_EQ(open(), TAVRIL_OPEN_OK);
    EXPECT_STREQ(identity.model, "ZQ907");
    EXPECT_STREQ(identity.serialNumber, "AB-123");
    EXPECT_STREQ(identity.firmwareVersion, "4.5.6");
}

TEST_F(ProtocolTest, OverlongFieldsAreCutTo19Characters) {
    sim->set_identity(dev, "VESPARO,ZQ907-EXTENDED-EDITION-XL,SN1,1.0");
    ASSERT_EQ(open(), TAVRIL_OPEN_OK);
    EXPECT_STREQ(identity.model, "ZQ907-EXTENDED-EDIT");
    EXPECT_EQ(identity.serialNumber[0], 'S');
}

TEST_F(ProtocolTest, AnInstrumentThatNeverNamesItselfIsGivenUpWithTimeout) {
    sim->set_identity(dev, "OTHER,INSTRUMENT,1,2");
    EXPECT_EQ(open(), TAVRIL_OPEN_NOT_IDENTIFIED);
    EXPECT_EQ(error, 1460u);
    EXPECT_EQ(identity.model[0], '#');
    // The query's read and ten one-second reads again.
    EXPECT_EQ(sim->stats(dev).request_args("READ").size(), 11u);

    TavrilHandle second = TAVRIL_INVALID_HANDLE;
    EXPECT_EQ(Open_Tavril(0, &second, &identity, &error), TAVRIL_OPEN_FAILED);
    EXPECT_EQ(error, 0u);
    close_slot(handle);
    sim->set_identity(dev, "VESPARO,ZQ907,SN9,9");
    EXPECT_EQ(open(), TAVRIL_OPEN_OK);
}

TEST_F(ProtocolTest, AFailedWriteOfTheQueryGivesMinus2WithItsCode) {
    sim->set_fault(dev, "error 1117 times=1 on=write");
    EXPECT_EQ(open(), TAVRIL_OPEN_NOT_IDENTIFIED);
    EXPECT_EQ(error, 1117u);
    EXPECT_NE(handle, TAVRIL_INVALID_HANDLE);
    close_slot(handle);
}

class SampleInstrumentTest : public ProtocolTest {
protected:
    void SetUp() override { start({"--definitions", TAVLIB_SAMPLE_DEFINITIONS}); }
};

TEST_F(SampleInstrumentTest, TransactionsReturnResponsesAndAnswerCodes) {
    ASSERT_EQ(open(), TAVRIL_OPEN_OK);
    char response[4097];
    EXPECT_EQ(Scmd_Tavril(handle, "*IDN?", 4096, TAVRIL_MODE_LINE, 5, 5, response, &error),
              TAVRIL_SCMD_OK);
    EXPECT_NE(std::strstr(response, "VESPARO,ZQ907,"), nullptr) << response;
    const std::int32_t code =
        Scmd_Tavril(handle, "CONF:RANGE 1000", 4096, TAVRIL_MODE_TEXT, 5, 5, response, &error);
    EXPECT_EQ(code, 40) << response;
    EXPECT_EQ(error, 0u);
}

TEST_F(ProtocolTest, ConfTavrilAnswersAgainAndRefusesAnswerCodes) {
    ASSERT_EQ(open(), TAVRIL_OPEN_OK);
    InstrumentIdentity again{};
    ASSERT_EQ(Conf_Tavril(handle, &again, &error), TAVRIL_CONF_OK);
    EXPECT_EQ(std::string(again.serialNumber), serial_of(dev));

    sim->set_identity(dev, "VESPARO,ZQ907,ANS20,1.0");
    std::memset(&again, '#', sizeof again);
    EXPECT_EQ(Conf_Tavril(handle, &again, &error), TAVRIL_CONF_FAILED);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(again.model[0], '#');

    error = 77;
    EXPECT_EQ(Conf_Tavril(TAVRIL_INVALID_HANDLE, &again, &error), TAVRIL_CONF_FAILED);
    EXPECT_EQ(error, 77u);
}

TEST_F(ProtocolTest, ConfTavrilSplitsOnlyTheFirst50Bytes) {
    ASSERT_EQ(open(), TAVRIL_OPEN_OK);
    // 50 bytes end inside the firmware field: "...,FW-" + 12 characters.
    sim->set_identity(dev, "VESPARO,ZQ907,SERIAL-0123456789,FW-ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    InstrumentIdentity again{};
    ASSERT_EQ(Conf_Tavril(handle, &again, &error), TAVRIL_CONF_OK);
    EXPECT_STREQ(again.serialNumber, "SERIAL-0123456789");
    EXPECT_STREQ(again.firmwareVersion, "FW-ABCDEFGHIJKLMNO");
    // The rest of the long line is still queued; a fresh query starts clean
    // only after the caller reads it away.
}

}  // namespace
}  // namespace tavlib::test
