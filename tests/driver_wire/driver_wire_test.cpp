// The driver wire module against the layout and the rules of the Linux
// driver interface: the bytes of a header, and one message for each way a
// message can break the rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "tavlib/driver_interface.h"
#include "tavlib/driver_wire.h"

namespace {

namespace wire = tavlib::wire;
using wire::Fault;
using wire::Header;

TEST(Header, IsFourLittleEndianWords) {
    const Header h{0x04030201, 0x08070605, 0x0C0B0A09, 0x100F0E0D};
    const std::string bytes = wire::message(h, "xy");
    EXPECT_EQ(bytes, std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10xy"));
    const wire::Message m = wire::decode_completion(bytes.data(), bytes.size());
    EXPECT_EQ(m.header.type, h.type);
    EXPECT_EQ(m.header.id, h.id);
    EXPECT_EQ(m.header.arg, h.arg);
    EXPECT_EQ(m.header.count, h.count);
    EXPECT_EQ(m.payload, "xy");
    EXPECT_EQ(m.size, bytes.size());
}

TEST(Header, OfAShortMessageHoldsOnlyItsWholeWords) {
    const wire::HeaderBytes bytes = wire::encode({7, 9, 11, 13});
    const Header seven = wire::decode_header(bytes.data(), 7);
    EXPECT_EQ(seven.type, 7u);
    EXPECT_EQ(seven.id, 0u);
    const Header twelve = wire::decode_header(bytes.data(), 12);
    EXPECT_EQ(twelve.arg, 11u);
    EXPECT_EQ(twelve.count, 0u);
}

struct Case {
    const char* name;
    std::string bytes;
    Fault fault;
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.name; }

std::string request(std::uint32_t type, std::uint32_t id, std::uint32_t arg, std::uint32_t count = 0,
                    std::string_view payload = {}) {
    return wire::message({type, id, arg, count}, payload);
}

class Requests : public ::testing::TestWithParam<Case> {};

TEST_P(Requests, BreakTheFirstRuleTheyBreak) {
    const std::string& bytes = GetParam().bytes;
    const wire::Message m = wire::decode_request(bytes.data(), bytes.size());
    EXPECT_EQ(m.fault, GetParam().fault);
    // The words a driver reports, and only with a fault.
    EXPECT_EQ(wire::describe(m).empty(), m.fault == Fault::kNone) << wire::describe(m);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, Requests,
    ::testing::Values(
        Case{"Write", request(wire::kWrite, 1, 3, 0, "abc"), Fault::kNone},
        Case{"WriteOfTheLargestTransfer",
             request(wire::kWrite, 1, wire::kMaxTransfer, 0, std::string(wire::kMaxTransfer, 'w')),
             Fault::kNone},
        Case{"ReadOfNothing", request(wire::kRead, 2, 0), Fault::kNone},
        Case{"ReadOfTheLargestTransfer", request(wire::kRead, 2, wire::kMaxTransfer), Fault::kNone},
        Case{"Cancel", request(wire::kCancel, 2, 0), Fault::kNone},
        Case{"Ioctl", request(wire::kIoctl, 3, tavlib::driver::kIoctlRecover), Fault::kNone},
        Case{"ShorterThanTheHeader", request(wire::kRead, 2, 10).substr(0, 15), Fault::kShort},
        Case{"LongerThanTheLongestMessage",
             request(wire::kWrite, 1, wire::kMaxTransfer, 0, std::string(wire::kMaxTransfer + 1, 'w')),
             Fault::kLong},
        Case{"UnknownType", request(9, 1, 0), Fault::kUnknownType},
        Case{"WriteOfNothing", request(wire::kWrite, 1, 0), Fault::kWriteSize},
        Case{"WriteAboveTheLargestTransfer", request(wire::kWrite, 1, wire::kMaxTransfer + 1),
             Fault::kWriteSize},
        Case{"WritePayloadShorterThanN", request(wire::kWrite, 1, 5, 0, "abcd"), Fault::kWritePayload},
        Case{"ReadAboveTheLargestTransfer", request(wire::kRead, 1, wire::kMaxTransfer + 1),
             Fault::kReadCapacity},
        Case{"ReadWithPayload", request(wire::kRead, 1, 10, 0, "x"), Fault::kPayload},
        Case{"CancelWithPayload", request(wire::kCancel, 1, 0, 0, "x"), Fault::kPayload},
        Case{"IoctlWithPayload", request(wire::kIoctl, 1, 0, 0, "x"), Fault::kPayload},
        Case{"CancelWithArg", request(wire::kCancel, 1, 1), Fault::kCancelArg},
        Case{"CountNotZero", request(wire::kRead, 1, 10, 3), Fault::kCount},
        Case{"IdZero", request(wire::kRead, 0, 10), Fault::kIdZero}),
    [](const auto& param) { return std::string(param.param.name); });

struct CompletionCase {
    const char* name;
    Header header;
    std::string payload;
    std::uint32_t requestType;
    std::uint32_t limit;
    Fault fault;
};

std::ostream& operator<<(std::ostream& os, const CompletionCase& c) { return os << c.name; }

class Completions : public ::testing::TestWithParam<CompletionCase> {};

TEST_P(Completions, KeepToTheirRequest) {
    const CompletionCase& c = GetParam();
    const std::string bytes = wire::message(c.header, c.payload);
    const wire::Message m = wire::decode_completion(bytes.data(), bytes.size());
    ASSERT_EQ(m.fault, Fault::kNone);
    EXPECT_EQ(wire::completion_fault(m.header, m.payload.size(), c.requestType, c.limit), c.fault);
}

constexpr std::uint32_t kAborted = 995;

INSTANTIATE_TEST_SUITE_P(
    Messages, Completions,
    ::testing::Values(
        CompletionCase{"ReadWithItsBytes", {wire::kComplete, 1, 0, 4}, "ABCD", wire::kRead, 4, Fault::kNone},
        CompletionCase{"FailedReadCarriesNone", {wire::kComplete, 1, kAborted, 2}, "", wire::kRead, 4,
                       Fault::kNone},
        CompletionCase{"PartialWrite", {wire::kComplete, 1, 0, 3}, "", wire::kWrite, 5, Fault::kNone},
        CompletionCase{"CountAboveTheLimit", {wire::kComplete, 1, 0, 5}, "ABCDE", wire::kRead, 4,
                       Fault::kCountAboveLimit},
        CompletionCase{"ReadPayloadOtherThanCount", {wire::kComplete, 1, 0, 4}, "ABC", wire::kRead, 4,
                       Fault::kCompletePayload},
        CompletionCase{"FailedReadWithBytes", {wire::kComplete, 1, kAborted, 2}, "AB", wire::kRead, 4,
                       Fault::kCompletePayload},
        CompletionCase{"WriteWithPayload", {wire::kComplete, 1, 0, 2}, "AB", wire::kWrite, 2,
                       Fault::kCompletePayload}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(Completion, BeforeItsRequestIsKnownIsACompleteOfAWholeHeader) {
    const std::string whole = wire::message({wire::kComplete, 1, 0, 0});
    EXPECT_EQ(wire::decode_completion(whole.data(), 12).fault, Fault::kShort);
    const std::string read = wire::message({wire::kRead, 1, 0, 0});
    EXPECT_EQ(wire::decode_completion(read.data(), read.size()).fault, Fault::kUnknownType);
}

TEST(InterfaceClass, FolderIsTheClassGuidInLowerCase) {
    EXPECT_STREQ(tavlib::driver::kInterfaceClassFolder, "016a5b0d-4331-4c56-8825-6ec4c870d3cb");
}

}  // namespace
