// How responses and identities are shown.
#include <gtest/gtest.h>

#include <cstring>

#include "display.h"

namespace tavlib::tavctl {
namespace {

using namespace std::string_literals;

TEST(Display, ResponsesLoseTheirClosingLineEndAndCarriageReturns) {
    const std::pair<std::string, std::string> rows[] = {
        {"42.0\r\n", "42.0"},
        {"a\r\nb\r\n", "a\nb"},
        {"no line end", "no line end"},
        {"", ""},
        {"\r\n", ""},
        {"lone\rCR", "lone\rCR"},  // only CR LF pairs are line ends
        {"two\r\n\r\n", "two\n"},
    };
    for (const auto& [received, shown] : rows) EXPECT_EQ(printable_response(received), shown);
}

TEST(Display, IdentityFieldsStopAtTheirNulOrTheirWidth) {
    InstrumentIdentity identity{};
    std::strcpy(identity.model, "ZQ907");
    std::strcpy(identity.serialNumber, "");
    std::memset(identity.firmwareVersion, 'F', sizeof identity.firmwareVersion);  // no NUL
    EXPECT_EQ(identity_field(identity.model), "ZQ907");
    EXPECT_EQ(identity_field(identity.firmwareVersion), std::string(20, 'F'));
    EXPECT_EQ(describe_identity(identity),
              "model \"ZQ907\", serial \"\", firmware \"" + std::string(20, 'F') + "\"");
}

TEST(Display, EscapedShowsWhatATerminalWouldHide) {
    EXPECT_EQ(escaped("*IDN?\r\n"), R"("*IDN?\r\n")");
    EXPECT_EQ(escaped("a\"b\\c\t"), R"("a\"b\\c\t")");
    EXPECT_EQ(escaped("\x00\x7f\xff"s), R"("\x00\x7f\xff")");
}

}  // namespace
}  // namespace tavlib::tavctl
