// The trace reader: what it refuses, where, and why; records cut into
// pieces as they arrive; the table and the summary of tavctl trace.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "trace_builder.h"
#include "trace_reader.h"
#include "trace_view.h"
#include "tool_process.h"

namespace tavlib::tavctl::test {
namespace {

using trace::Entry;
using trace::TraceError;

const std::string kStart =
    R"({"v":1,"seq":0,"time":"2026-12-09T20:38:15.120001Z","mono_us":0,"pid":7,"tid":7,"call":"start","library":"1.0.0","platform":"linux-x86_64","data_limit":4096,"max_bytes":268435456})";
const std::string kWrite =
    R"({"v":1,"seq":1,"time":"2026-12-09T20:38:15.120050Z","mono_us":49,"pid":7,"tid":7,"call":"Write_Tavril","dur_us":40,"slot":0,"handle":"0x3","result":0,"error":0,"timeout":5,"text":{"len":5,"text":"*IDN?"},"bytesWritten":7})";

std::string with(std::string line, const std::string& from, const std::string& to) {
    const auto at = line.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? line : line.replace(at, from.size(), to);
}

struct BadTrace {
    const char* name;
    std::string text;
    std::string message;  // after "FILE:"
};

std::ostream& operator<<(std::ostream& os, const BadTrace& c) { return os << c.name; }

class BadTraces : public ::testing::TestWithParam<BadTrace> {
protected:
    TempDir dir;
};

TEST_P(BadTraces, NameTheFileAndTheLine) {
    const auto file = dir.path() / "run.trace";
    std::ofstream(file, std::ios::binary) << GetParam().text;
    try {
        trace::read_trace_file(file.string());
        FAIL() << "accepted";
    } catch (const TraceError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(file.string() + ":" + GetParam().message, 0), 0u) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Reader, BadTraces,
    ::testing::Values(
        BadTrace{"cut_in_a_line", kStart + "\n" + kWrite.substr(0, 60),
                 "2: the trace ends in the middle of a line (60 bytes without a line end)"},
        BadTrace{"not_json", kStart + "\nhello\n", "2: not a trace record: parse error at column 1: syntax error while parsing value - invalid literal"},
        BadTrace{"empty_line", "\n" + kStart + "\n", "1: not a trace record: parse error"},
        BadTrace{"not_an_object", "[1,2]\n", "1: not a trace record: not a JSON object"},
        BadTrace{"no_version", with(kStart, R"("v":1,)", "") + "\n", "1: not a trace record: no member 'v'"},
        BadTrace{"unknown_version", kStart + "\n" + with(kWrite, R"("v":1)", R"("v":2)") + "\n",
                 "2: record version 2 is not known to this reader (it reads version 1)"},
        BadTrace{"version_as_text", with(kStart, R"("v":1)", R"("v":"1")") + "\n",
                 "1: record version \"1\" is not known"},
        BadTrace{"unknown_call", with(kWrite, "Write_Tavril", "Poke_Tavril") + "\n",
                 "1: 'call' names no call of the library: \"Poke_Tavril\""},
        BadTrace{"member_missing", with(kWrite, R"("timeout":5,)", "") + "\n", "1: no member 'timeout'"},
        BadTrace{"wrong_type", with(kWrite, R"("result":0)", R"("result":"ok")") + "\n",
                 "1: 'result' must be a whole number"},
        BadTrace{"result_beyond_32_bits", with(kWrite, R"("result":0)", R"("result":4294967296)") + "\n",
                 "1: 'result' is out of range"},
        BadTrace{"bad_time", with(kWrite, "20:38:15", "25:38:15") + "\n", "1: 'time' is not a UTC time"},
        BadTrace{"length_differs", with(kWrite, R"("len":5)", R"("len":6)") + "\n",
                 "1: 'text' holds 5 bytes, not the 6 of 'len'"},
        BadTrace{"bad_base64", with(kWrite, R"("text":"*IDN?")", R"("base64":"*IDN?")") + "\n",
                 "1: 'text': 'base64' is not base64"},
        BadTrace{"text_and_base64", with(kWrite, R"("text":"*IDN?")", R"("text":"*IDN?","base64":"KklETj8=")") + "\n",
                 "1: 'text' needs one of 'text' and 'base64'"},
        BadTrace{"kept_without_digest", with(kWrite, R"("len":5)", R"("len":9,"kept":5)") + "\n",
                 "1: 'text' needs both 'kept' and 'rest_sha256' or neither"}),
    [](const auto& bad) { return std::string(bad.param.name); });

// A trace read as it is written: records in any pieces give the same
// records, and a line still being written is waited for.
TEST(TraceParser, PiecesMakeTheSameRecordsAndACutLineWaits) {
    const std::string text = kStart + "\r\n" + kWrite + "\n";
    for (const std::size_t cut : {std::size_t{1}, kStart.size(), kStart.size() + 1, kStart.size() + 3, text.size() - 1}) {
        trace::TraceParser parser("p.trace");
        std::vector<Entry> got;
        parser.feed(text.substr(0, cut));
        while (auto entry = parser.next()) got.push_back(std::move(*entry));
        EXPECT_TRUE(parser.waiting_inside_a_line()) << cut;
        EXPECT_THROW(parser.finish(), TraceError) << cut;
        parser.feed(text.substr(cut));
        while (auto entry = parser.next()) got.push_back(std::move(*entry));
        EXPECT_NO_THROW(parser.finish()) << cut;
        ASSERT_EQ(got.size(), 2u) << cut;
        EXPECT_EQ(got[1].place.text(), "p.trace:2");
        EXPECT_EQ(got[1].record.text->bytes, "*IDN?");
        EXPECT_EQ(got[1].record.end_us() - got[0].record.timeUs, 89);
    }
}

// Blocks as the trace holds them: text with JSON's escapes, base64, and a
// block kept only in part.
TEST(TraceRecord, BlocksDecodeToTheirBytes) {
    TraceBuilder trace;
    trace.open().write(std::string("A\tB\x01\r\n", 6)).read(std::string("\x00\xff\x80", 3)).data_limit(4).read("123456789");
    std::istringstream lines(trace.text());
    std::vector<trace::Record> records;
    for (std::string line; std::getline(lines, line);) records.push_back(trace::parse_record(line));
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(*records[1].idn, kTestIdn);
    EXPECT_EQ(records[1].identity->serialNumber, "SN000001");
    EXPECT_EQ(records[2].text->bytes, std::string("A\tB\x01\r\n", 6));
    EXPECT_EQ(records[3].data->bytes, std::string("\x00\xff\x80", 3));
    EXPECT_TRUE(records[3].data->whole());
    EXPECT_EQ(records[4].data->bytes, "1234");
    EXPECT_EQ(records[4].data->length, 9u);
    EXPECT_FALSE(records[4].data->whole());
}

TEST(TraceView, RowsNameResultsAndFiltersChooseThem) {
    TraceBuilder trace;
    trace.open().scmd("MEAS:CURR?", "+4.2E-03", 0, 150'300).scmd("SELFTEST?", "SELFTEST ANS40", 40)
        .scmd("NOTHING", std::nullopt, -5, 1'000'200).close();
    std::istringstream lines(trace.text());
    std::vector<std::string> rows;
    std::vector<std::string> errors;
    const TraceFilter onlyErrors{std::nullopt, true};
    for (std::string line; std::getline(lines, line);) {
        const trace::Record record = trace::parse_record(line);
        rows.push_back(trace_table_row(record));
        if (onlyErrors.admits(record)) errors.push_back(trace_table_row(record));
    }
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_NE(rows[2].find("\"MEAS:CURR?\" -> \"+4.2E-03\""), std::string::npos) << rows[2];
    EXPECT_NE(rows[2].find("0 TAVRIL_SCMD_OK"), std::string::npos) << rows[2];
    EXPECT_TRUE(rows[2].ends_with("150.3 ms")) << rows[2];
    EXPECT_NE(rows[3].find("40 answer code"), std::string::npos) << rows[3];
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("-5 TAVRIL_SCMD_READ_TIMEOUT"), std::string::npos) << errors[0];
    EXPECT_TRUE(errors[0].ends_with("1.000 s")) << errors[0];
    EXPECT_FALSE((TraceFilter{1, false}.admits(trace::parse_record(kWrite))));
}

TEST(TraceView, SummaryPerCommandWithPercentiles) {
    TraceBuilder trace;
    trace.open();
    // 20 answers of 100..2000 us: p50 1000 us, p95 1900 us, max 2000 us.
    for (int i = 1; i <= 20; ++i) trace.scmd("MEAS?", "1", 0, i * 100);
    trace.scmd("MEAS?", std::nullopt, -5, 1'000'000).write("*RST").write("X").read(std::nullopt, -3);
    TraceSummary summary;
    std::istringstream lines(trace.text());
    std::uint64_t line = 0;
    for (std::string text; std::getline(lines, text);) summary.add(Entry{trace::parse_record(text), {"s", ++line}});
    std::ostringstream out;
    summary.print(out);
    const std::string shown = out.str();
    EXPECT_NE(shown.find("\"MEAS?\"                           21     -5 TAVRIL_SCMD_READ_TIMEOUT x1, 0 x20 1.0 ms     1.9 ms     2.0 ms"),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("\"*RST\"                            1      no read x1"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\"X\"                               1      -3 TAVRIL_READ_TIMEOUT x1"), std::string::npos)
        << shown;
}

}  // namespace
}  // namespace tavlib::tavctl::test
