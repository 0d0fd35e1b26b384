// Result names, Win32 error texts and the slot states that tavctl prints.
#include <gtest/gtest.h>

#include "result_codes.h"
#include "tavlib.h"

namespace tavlib::tavctl {

using namespace tavlib::tools;
namespace {

struct ResultRow {
    Function function;
    std::int32_t result;
    const char* shown;
};

class ResultNameTest : public ::testing::TestWithParam<ResultRow> {};

TEST_P(ResultNameTest, NamesEachResultOfItsOwnFunction) {
    const ResultRow& row = GetParam();
    EXPECT_EQ(describe_result(row.function, row.result), row.shown);
}

// The same value means different things to different functions.
INSTANTIATE_TEST_SUITE_P(
    HeaderTables, ResultNameTest,
    ::testing::Values(
        ResultRow{Function::Open, TAVRIL_OPEN_FAILED, "TAVRIL_OPEN_FAILED (-1)"},
        ResultRow{Function::Open, TAVRIL_OPEN_NOT_IDENTIFIED, "TAVRIL_OPEN_NOT_IDENTIFIED (-2)"},
        ResultRow{Function::Open, TAVRIL_OPEN_BAD_SLOT, "TAVRIL_OPEN_BAD_SLOT (-3)"},
        ResultRow{Function::Close, TAVRIL_CLOSE_FAILED, "TAVRIL_CLOSE_FAILED (-1)"},
        ResultRow{Function::Write, TAVRIL_WRITE_FAILED, "TAVRIL_WRITE_FAILED (-1)"},
        ResultRow{Function::Write, TAVRIL_WRITE_BAD_ARGUMENT, "TAVRIL_WRITE_BAD_ARGUMENT (-2)"},
        ResultRow{Function::Write, TAVRIL_WRITE_TIMEOUT, "TAVRIL_WRITE_TIMEOUT (-3)"},
        ResultRow{Function::Read, TAVRIL_READ_FAILED, "TAVRIL_READ_FAILED (-1)"},
        ResultRow{Function::Read, TAVRIL_READ_BAD_ARGUMENT, "TAVRIL_READ_BAD_ARGUMENT (-2)"},
        ResultRow{Function::Read, TAVRIL_READ_TIMEOUT, "TAVRIL_READ_TIMEOUT (-3)"},
        ResultRow{Function::Scmd, TAVRIL_SCMD_WRITE_FAILED, "TAVRIL_SCMD_WRITE_FAILED (-1)"},
        ResultRow{Function::Scmd, TAVRIL_SCMD_READ_FAILED, "TAVRIL_SCMD_READ_FAILED (-2)"},
        ResultRow{Function::Scmd, TAVRIL_SCMD_BAD_ARGUMENT, "TAVRIL_SCMD_BAD_ARGUMENT (-3)"},
        ResultRow{Function::Scmd, TAVRIL_SCMD_WRITE_TIMEOUT, "TAVRIL_SCMD_WRITE_TIMEOUT (-4)"},
        ResultRow{Function::Scmd, TAVRIL_SCMD_READ_TIMEOUT, "TAVRIL_SCMD_READ_TIMEOUT (-5)"},
        ResultRow{Function::Conf, TAVRIL_CONF_FAILED, "TAVRIL_CONF_FAILED (-1)"},
        // Values a function never returns.
        ResultRow{Function::Close, -2, "unknown result (-2)"},
        ResultRow{Function::Open, -4, "unknown result (-4)"},
        ResultRow{Function::Scmd, -6, "unknown result (-6)"},
        ResultRow{Function::Scmd, 20, "unknown result (20)"}));

TEST(ResultName, AnswerCodesAreNotFailureNames) {
    for (const std::int32_t answer : {20, 40, 41, 60, 80, 90, 100})
        EXPECT_FALSE(result_name(Function::Scmd, answer).has_value()) << answer;
}

struct ErrorRow {
    std::uint32_t code;
    const char* shown;
};

class ErrorTextTest : public ::testing::TestWithParam<ErrorRow> {};

TEST_P(ErrorTextTest, ShowsNumberNameAndText) {
    EXPECT_EQ(describe_error(GetParam().code), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Win32Codes, ErrorTextTest,
    ::testing::Values(
        ErrorRow{0, "0 ERROR_SUCCESS: The operation completed successfully."},
        ErrorRow{1, "1 ERROR_INVALID_FUNCTION: Incorrect function."},
        ErrorRow{6, "6 ERROR_INVALID_HANDLE: The handle is invalid."},
        ErrorRow{8, "8 ERROR_NOT_ENOUGH_MEMORY: Not enough memory resources are available to "
                    "process this command."},
        ErrorRow{259, "259 ERROR_NO_MORE_ITEMS: No more data is available."},
        ErrorRow{995, "995 ERROR_OPERATION_ABORTED: The I/O operation has been aborted because of "
                      "either a thread exit or an application request."},
        ErrorRow{1117, "1117 ERROR_IO_DEVICE: The request could not be performed because of an "
                       "I/O device error."},
        ErrorRow{1167, "1167 ERROR_DEVICE_NOT_CONNECTED: The device is not connected."},
        ErrorRow{1460, "1460 ERROR_TIMEOUT: This operation returned because the timeout period "
                       "expired."},
        // Outside the table: the number alone.
        ErrorRow{4711, "4711"},
        ErrorRow{0xFFFFFFFFu, "4294967295"}));

// Every code the library and its backends can leave in errorCode has a name.
TEST(ErrorTable, CoversTheCodesTheLibraryReports) {
    const std::pair<std::uint32_t, std::string_view> reported[] = {
        {0, "ERROR_SUCCESS"},          {1, "ERROR_INVALID_FUNCTION"},
        {2, "ERROR_FILE_NOT_FOUND"},   {5, "ERROR_ACCESS_DENIED"},
        {6, "ERROR_INVALID_HANDLE"},   {8, "ERROR_NOT_ENOUGH_MEMORY"},
        {31, "ERROR_GEN_FAILURE"},     {87, "ERROR_INVALID_PARAMETER"},
        {122, "ERROR_INSUFFICIENT_BUFFER"}, {259, "ERROR_NO_MORE_ITEMS"},
        {995, "ERROR_OPERATION_ABORTED"},   {996, "ERROR_IO_INCOMPLETE"},
        {997, "ERROR_IO_PENDING"},     {998, "ERROR_NOACCESS"},
        {1117, "ERROR_IO_DEVICE"},     {1167, "ERROR_DEVICE_NOT_CONNECTED"},
        {1168, "ERROR_NOT_FOUND"},     {1460, "ERROR_TIMEOUT"},
    };
    for (const auto& [code, name] : reported) {
        const auto entry = find_win32_error(code);
        ASSERT_TRUE(entry.has_value()) << code;
        EXPECT_EQ(entry->name, name);
        EXPECT_FALSE(entry->text.empty()) << code;
    }
}

TEST(Failure, OneLineWithFunctionResultAndError) {
    EXPECT_EQ(describe_failure(Function::Scmd, TAVRIL_SCMD_READ_TIMEOUT, 0),
              "Scmd_Tavril: TAVRIL_SCMD_READ_TIMEOUT (-5); errorCode 0 ERROR_SUCCESS: The "
              "operation completed successfully.");
    EXPECT_EQ(describe_failure(Function::Open, TAVRIL_OPEN_FAILED, 259),
              "Open_Tavril: TAVRIL_OPEN_FAILED (-1); errorCode 259 ERROR_NO_MORE_ITEMS: No more "
              "data is available.");
}

struct StateRow {
    std::int32_t result;
    std::uint32_t errorCode;
    const char* state;
};

class OpenStateTest : public ::testing::TestWithParam<StateRow> {};

TEST_P(OpenStateTest, TellsWhatTheOpenFoundInTheSlot) {
    EXPECT_EQ(open_state(GetParam().result, GetParam().errorCode), GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(OpenOutcomes, OpenStateTest,
                         ::testing::Values(StateRow{TAVRIL_OPEN_OK, 0, "ready"},
                                           StateRow{TAVRIL_OPEN_FAILED, 259, "no device"},
                                           StateRow{TAVRIL_OPEN_FAILED, 0, "in use"},
                                           StateRow{TAVRIL_OPEN_FAILED, 2, "open failed"},
                                           StateRow{TAVRIL_OPEN_FAILED, 1167, "open failed"},
                                           StateRow{TAVRIL_OPEN_NOT_IDENTIFIED, 1460,
                                                    "not identified"},
                                           StateRow{TAVRIL_OPEN_NOT_IDENTIFIED, 0,
                                                    "not identified"},
                                           StateRow{TAVRIL_OPEN_BAD_SLOT, 0, "bad slot"}));

}  // namespace
}  // namespace tavlib::tavctl
