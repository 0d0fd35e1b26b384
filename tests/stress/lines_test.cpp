// The stress program's judge of what a read brings back: which message is
// the next answer of a line, which follows a cut-short rest, which is a
// piece of a line or of its answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "data_pattern.h"
#include "gateway_lines.h"

namespace {

using tavlib::stress::gateway::Kind;
using tavlib::stress::gateway::Line;
using tavlib::stress::gateway::Tag;

TEST(StressLines, AMessageIsMatchedToTheLineWhoseAnswerItIs) {
    tavlib::stress::gateway::prepare_pattern(64);
    const std::string identity = "VESPARO,ZQ907,SN000001,1.0.0";
    const auto line = [&](Kind kind, std::size_t dataSize = 0) {
        return tavlib::stress::gateway::make_line(kind, Tag{0, 179, 16}, identity, dataSize, 8);
    };
    struct Case {
        const char* name;
        Line line;
        std::string message;
        bool is, ends, piece;
    };
    const Line data12 = line(Kind::data, 12);
    const std::string answer12 = tavlib::sim::data_pattern(12).substr(0, 10);
    const Case cases[] = {
        {"query, its answer", line(Kind::query), "Q0.179.16?", true, false, true},
        {"query, after a rest", line(Kind::query), "TRUNCQ0.179.16?", false, true, false},
        {"query, another line", line(Kind::query), "Q0.179.17?", false, false, false},
        {"pair, first", line(Kind::pair), "PAIR ONE", true, false, true},
        {"identity", line(Kind::identity), identity, true, false, true},
        {"data, its answer", data12, answer12, true, false, true},
        {"data, after a rest", data12, "xy" + answer12, false, true, false},
        {"data, an unsolicited message", data12, "UNSOLICITED 0.190", false, false, false},
        // "0" answers DATA? 3; unsolicited output and tagged answers that end with it are whole.
        {"short data, after a rest", line(Kind::data, 3), "xyz0", false, true, false},
        {"short data, an unsolicited message", line(Kind::data, 3), "UNSOLICITED 1.800", false, false, false},
        {"short data, a tagged answer", line(Kind::data, 3), "S0.179.10", false, false, false},
        // The empty answer of DATA? 2: itself, and never the end of another.
        {"empty data, itself", line(Kind::data, 2), "", true, false, true},
        {"empty data, an unsolicited message", line(Kind::data, 2), "UNSOLICITED 0.190", false, false, false},
        {"empty data, a query's answer", line(Kind::data, 2), "Q0.179.16?", false, false, false},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(k.line.next_is(k.message), k.is) << k.name;
        EXPECT_EQ(k.line.next_ends(k.message), k.ends) << k.name;
        EXPECT_EQ(k.line.holds_piece(k.message), k.piece) << k.name;
    }
}

// After a removal, a line its client sent then never gets its answer; the
// same kind of line sent later does, and a message that names no line goes
// to the first of them.  The later one is then not to be counted as lost.
TEST(StressLines, AnUntaggedAnswerTakenByAnEarlierLineExcusesTheLaterLinesItMayAnswer) {
    const auto line = [](Kind kind, std::uint64_t seq) {
        return tavlib::stress::gateway::make_line(kind, Tag{1, 1, seq}, "VESPARO,ZQ907,SN000002,1.0.0", 0, 8);
    };
    struct Case {
        const char* name;
        std::string message;
        bool firstMayHaveLost;
        std::vector<bool> excused;  // of each line after the first
    };
    const Case cases[] = {
        {"untagged, the first sent in a removal", "PAIR ONE", true, {false, true, false}},
        {"untagged, the first undisturbed", "PAIR ONE", false, {false, false, false}},
    };
    for (const Case& k : cases) {
        std::deque<Line> outstanding = {line(Kind::pair, 1), line(Kind::setting, 2), line(Kind::pair, 3),
                                        line(Kind::query, 4)};
        const auto match = std::find_if(outstanding.begin(), outstanding.end(),
                                        [&](const Line& one) { return one.next_is(k.message); });
        ASSERT_EQ(match, outstanding.begin()) << k.name;
        tavlib::stress::gateway::excuse_later_candidates(outstanding, match, k.message, k.firstMayHaveLost);
        for (std::size_t i = 1; i < outstanding.size(); ++i)
            EXPECT_EQ(outstanding[i].excused, k.excused[i - 1]) << k.name << ", line " << i;
    }
}

}  // namespace
