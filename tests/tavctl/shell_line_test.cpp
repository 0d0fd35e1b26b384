// The grammar of a line typed into `tavctl shell`.
#include <gtest/gtest.h>

#include "shell_line.h"

namespace tavlib::tavctl {
namespace {

struct LineRow {
    const char* typed;
    ShellAction action;
    const char* text;  // for Transaction and Write
    std::uint32_t value;
};

void PrintTo(const LineRow& row, std::ostream* out) { *out << '"' << row.typed << '"'; }

class ShellLineTest : public ::testing::TestWithParam<LineRow> {};

TEST_P(ShellLineTest, Parses) {
    const LineRow& row = GetParam();
    const ShellLine line = parse_shell_line(row.typed);
    EXPECT_EQ(line.action, row.action);
    if (row.action == ShellAction::Transaction || row.action == ShellAction::Write) {
        EXPECT_EQ(line.text, row.text);
    }
    if (row.action == ShellAction::Invalid) {
        EXPECT_FALSE(line.text.empty());
    }
    EXPECT_EQ(line.value, row.value);
}

using A = ShellAction;

INSTANTIATE_TEST_SUITE_P(
    Lines, ShellLineTest,
    ::testing::Values(
        LineRow{"", A::Nothing, "", 0},
        LineRow{"  \t\r", A::Nothing, "", 0},
        // Instrument commands, blanks and a CR from a DOS file trimmed.
        LineRow{"*IDN?", A::Transaction, "*IDN?", 0},
        LineRow{"  VOLT 5.0 \r", A::Transaction, "VOLT 5.0", 0},
        // Commands from the root start with a colon and are not ours.
        LineRow{":MEAS:VOLT?", A::Transaction, ":MEAS:VOLT?", 0},
        LineRow{":READ?", A::Transaction, ":READ?", 0},
        LineRow{":reading", A::Transaction, ":reading", 0},
        // "::" sends a line that would otherwise be a shell word.
        LineRow{"::read", A::Transaction, ":read", 0},
        LineRow{"::MEAS?", A::Transaction, ":MEAS?", 0},
        // The shell's words.
        LineRow{":read", A::Read, "", 0},
        LineRow{":identify", A::Identify, "", 0},
        LineRow{":settings", A::Settings, "", 0},
        LineRow{":help", A::Help, "", 0},
        LineRow{":quit", A::Quit, "", 0},
        LineRow{":exit", A::Quit, "", 0},
        LineRow{":q", A::Quit, "", 0},
        LineRow{":write VOLT 5.0", A::Write, "VOLT 5.0", 0},
        LineRow{":write   *RST  ", A::Write, "*RST", 0},
        LineRow{":mode 0", A::SetMode, "", 0},
        LineRow{":mode 1", A::SetMode, "", 1},
        LineRow{":timeout 1", A::SetTimeout, "", 1},
        LineRow{":timeout 60", A::SetTimeout, "", 60},
        LineRow{":max-bytes 10", A::SetMaxBytes, "", 10},
        // Shell words used wrongly.
        LineRow{":write", A::Invalid, "", 0},
        LineRow{":read now", A::Invalid, "", 0},
        LineRow{":quit now", A::Invalid, "", 0},
        LineRow{":mode", A::Invalid, "", 0},
        LineRow{":mode 2", A::Invalid, "", 0},  // raw bytes are not a transaction mode
        LineRow{":mode -1", A::Invalid, "", 0},
        LineRow{":mode 1x", A::Invalid, "", 0},
        LineRow{":timeout 0", A::Invalid, "", 0},
        LineRow{":timeout 61", A::Invalid, "", 0},
        LineRow{":timeout 99999999999", A::Invalid, "", 0},
        LineRow{":max-bytes 0", A::Invalid, "", 0}));

}  // namespace
}  // namespace tavlib::tavctl
