// The I/O trace over the fake platform: SHA-256 and the record text, the
// record of each call and result, the settings, the bound and its end
// record, a file that cannot be opened or written, many threads, and a
// forked child.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "fake_fixture.h"
#include "trace/record_text.h"
#include "trace/sha256.h"
#include "trace/trace.h"

namespace tavlib::test {
namespace {

using json = nlohmann::json;
using namespace std::string_literals;

// ---- SHA-256 and the record text -------------------------------------------------

struct DigestRow {
    std::string message;
    std::size_t piece;  // given to update() in pieces of this size
    const char* digest;
};

class Sha256Test : public ::testing::TestWithParam<DigestRow> {};

TEST_P(Sha256Test, GivesTheStandardDigest) {
    const DigestRow& row = GetParam();
    trace::Sha256 hash;
    for (std::size_t at = 0; at < row.message.size(); at += row.piece)
        hash.update(row.message.data() + at, std::min(row.piece, row.message.size() - at));
    std::string hex;
    for (const std::uint8_t byte : hash.finish()) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    EXPECT_EQ(hex, row.digest);
    if (row.piece == row.message.size() || row.message.empty()) {
        EXPECT_EQ(trace::sha256_hex(row.message.data(), row.message.size()), row.digest);
    }
}

const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
INSTANTIATE_TEST_SUITE_P(
    NistVectors, Sha256Test,
    ::testing::Values(
        DigestRow{"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        DigestRow{"abc", 3, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        DigestRow{k448, k448.size(), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        DigestRow{k448, 1, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        DigestRow{std::string(1000000, 'a'), 1000000,
                  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        DigestRow{std::string(1000000, 'a'), 63,
                  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        DigestRow{std::string(1000000, 'a'), 65,
                  "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}));

struct DataRow {
    std::string bytes;
    std::uint64_t limit;
    const char* shown;
};

class DataBlockTest : public ::testing::TestWithParam<DataRow> {};

TEST_P(DataBlockTest, ShowsTextBase64OrTheDigestOfTheRest) {
    std::string out;
    trace::append_data(out, GetParam().bytes.data(), GetParam().bytes.size(), GetParam().limit);
    EXPECT_EQ(out, GetParam().shown);
    EXPECT_TRUE(json::accept(out));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DataBlockTest,
    ::testing::Values(
        DataRow{"", 4096, R"({"len":0,"text":""})"},
        DataRow{"*IDN?\r\n", 4096, R"({"len":7,"text":"*IDN?\r\n"})"},
        DataRow{"say \"hi\"\t\\", 4096, R"({"len":10,"text":"say \"hi\"\t\\"})"},
        DataRow{"\x00\x01\x02\xff"s, 4096, R"({"len":4,"base64":"AAEC/w=="})"},
        DataRow{"\x80", 4096, R"({"len":1,"base64":"gA=="})"},
        DataRow{"\x80\x81", 4096, R"({"len":2,"base64":"gIE="})"},
        DataRow{"\x80\x81\x82", 4096, R"({"len":3,"base64":"gIGC"})"},
        DataRow{"A\x7f", 4096, R"({"len":2,"base64":"QX8="})"},
        DataRow{"0123456789", 4,
                R"({"len":10,"text":"0123","kept":4,"rest_sha256":"472bbe83616e93d3c09a79103ae47d8f71e3d35a966d6e8b22f743218d04171d"})"},
        DataRow{"abc", 0,
                R"({"len":3,"text":"","kept":0,"rest_sha256":"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"})"},
        // The kept bytes alone decide between text and base64.
        DataRow{"ab\xff\xff\xff\xff\xff\xff", 2,
                R"({"len":8,"text":"ab","kept":2,"rest_sha256":"ce8bee525d6736e9825261b19a9b51719f9dc4bb728e95cf7067a2142b03b362"})"}));

TEST(RecordTextTest, StringsEscapeEveryByteOutsidePrintableAscii) {
    std::string out;
    const std::string bytes = "a\x01\xb5\"\\\n"s;
    trace::append_string(out, bytes.data(), bytes.size());
    EXPECT_EQ(out, R"("a\u0001\u00b5\"\\\n")");
    EXPECT_EQ(json::parse(out).get<std::string>(), "a\x01\xc2\xb5\"\\\n");
}

TEST(RecordTextTest, TimesAreUtcWithMicroseconds) {
    const std::pair<std::int64_t, const char*> rows[] = {
        {0, "\"1970-01-01T00:00:00.000000Z\""},
        {951825600000001, "\"2000-02-29T12:00:00.000001Z\""},
        {1735689599999999, "\"2024-12-31T23:59:59.999999Z\""},
        {fake::kDefaultWallClock, "\"2026-12-09T20:38:15.120001Z\""},
        {4107542399999999, "\"2100-02-28T23:59:59.999999Z\""}};
    for (const auto& [microseconds, text] : rows) {
        std::string out;
        trace::append_utc_time(out, microseconds);
        EXPECT_EQ(out, text);
    }
}

TEST(RecordTextTest, SettingsTakeDecimalNumbersAndTheProcessId) {
    const std::pair<const char*, std::optional<std::uint64_t>> counts[] = {
        {"0", 0}, {"4096", 4096}, {"18446744073709551615", UINT64_MAX}, {"18446744073709551616", {}},
        {"", {}}, {"-1", {}}, {"+5", {}}, {"12k", {}}, {" 12", {}}};
    for (const auto& [text, expected] : counts) {
        std::uint64_t value = 77;
        EXPECT_EQ(trace::parse_count(text, &value), expected.has_value()) << text;
        EXPECT_EQ(value, expected.value_or(77)) << text;
    }
    EXPECT_EQ(trace::expand_process_id("/tmp/t-%p.jsonl", 4242), "/tmp/t-4242.jsonl");
    EXPECT_EQ(trace::expand_process_id("%p/%p%", 7), "7/7%");
    EXPECT_EQ(trace::expand_process_id("/tmp/plain", 7), "/tmp/plain");
}

// ---- records of the calls ---------------------------------------------------------

constexpr const char* kTracePath = "/traces/t.jsonl";
const std::string kIdentityLine = "VESPARO,ZQ907,SN123,FW1.2";

std::string hex_of(TavrilHandle handle) {
    std::ostringstream text;
    text << "0x" << std::hex << reinterpret_cast<std::uintptr_t>(handle);
    return text.str();
}

// What a call gave its caller: compared with and without the trace.
struct Outcome {
    std::int32_t result = 0;
    std::uint32_t error = 0;
    std::uint32_t lastError = 0;
    std::string out;  // the out-parameters
    bool operator==(const Outcome&) const = default;
    friend std::ostream& operator<<(std::ostream& os, const Outcome& o) {
        return os << "result " << o.result << " error " << o.error << " last error " << o.lastError
                  << " out " << ::testing::PrintToString(o.out);
    }
};

class TraceTest : public FakePlatformTest {
protected:
    void SetUp() override {
        FakePlatformTest::SetUp();
        start_trace({{"TAVRIL_TRACE", kTracePath}});
    }
    void TearDown() override { trace::stop(); }

    void start_trace(std::map<std::string, std::string> variables) {
        fake::environment() = std::move(variables);
        trace::start_from_environment();
    }

    // The records of a file, each line checked to be one whole JSON object.
    std::vector<json> records(const std::string& path = kTracePath) {
        std::vector<json> result;
        std::istringstream lines(fake().files[path]);
        std::string line;
        while (std::getline(lines, line)) result.push_back(json::parse(line));
        EXPECT_TRUE(fake().files[path].empty() || fake().files[path].back() == '\n');
        return result;
    }

    TavrilHandle open_slot0() {
        fake().devices = {"/dev/fake0"};
        fake().responses = {kIdentityLine + "\r\n"};
        TavrilHandle handle = TAVRIL_INVALID_HANDLE;
        InstrumentIdentity identity{};
        std::uint32_t error = 0;
        EXPECT_EQ(Open_Tavril(0, &handle, &identity, &error), TAVRIL_OPEN_OK);
        return handle;
    }
};

using Call = std::function<Outcome(TavrilHandle)>;

Outcome open_call(std::uint32_t slot) {
    Outcome o;
    TavrilHandle handle = reinterpret_cast<TavrilHandle>(std::uintptr_t{0x5a5a});
    InstrumentIdentity identity{};
    o.result = Open_Tavril(slot, &handle, &identity, &o.error);
    o.lastError = platform::GetLastError();
    o.out = hex_of(handle) + "|" + identity.model + "|" + identity.serialNumber;
    return o;
}

Outcome write_call(TavrilHandle h, const char* text, std::uint32_t timeout) {
    Outcome o;
    std::uint32_t written = kSentinel;
    o.result = Write_Tavril(h, text, timeout, &written, &o.error);
    o.lastError = platform::GetLastError();
    o.out = std::to_string(written);
    return o;
}

Outcome read_call(TavrilHandle h, std::int32_t mode) {
    Outcome o;
    char buffer[101];
    std::memset(buffer, '#', sizeof buffer);
    std::uint32_t count = kSentinel;
    o.result = Read_Tavril(h, 100, mode, 5, buffer, &count, &o.error);
    o.lastError = platform::GetLastError();
    o.out = std::to_string(count) + "|" + std::string(buffer, sizeof buffer);
    return o;
}

Outcome scmd_call(TavrilHandle h, std::int32_t mode, std::uint32_t readTimeout = 5) {
    Outcome o;
    char response[101];
    std::memset(response, '#', sizeof response);
    o.result = Scmd_Tavril(h, "CONF:RANGE 9", 100, mode, 5, readTimeout, response, &o.error);
    o.lastError = platform::GetLastError();
    o.out = std::string(response, sizeof response);
    return o;
}

Outcome conf_call(TavrilHandle h, std::uint32_t* errorCode) {
    Outcome o;
    InstrumentIdentity identity{};
    o.result = Conf_Tavril(h, &identity, errorCode);
    o.error = errorCode != nullptr ? *errorCode : 0;
    o.lastError = platform::GetLastError();
    o.out = std::string(identity.model) + "|" + identity.firmwareVersion;
    return o;
}

struct RecordRow {
    const char* name;
    bool opensFirst;  // slot 0 is opened (and traced) before the call
    std::function<void(fake::State&)> script;
    Call call;
    json expected;  // members of the call's record ("handle": "opened" for the open one)
    std::vector<const char*> absent;
};

void PrintTo(const RecordRow& row, std::ostream* os) { *os << row.name; }

class TraceRecordTest : public TraceTest, public ::testing::WithParamInterface<RecordRow> {
protected:
    Outcome run_row() {
        const RecordRow& row = GetParam();
        TavrilHandle handle = row.opensFirst ? open_slot0() : TAVRIL_INVALID_HANDLE;
        row.script(fake());
        platform::SetLastError(0x4711);  // what a call that sets none leaves
        return row.call(handle);
    }
};

TEST_P(TraceRecordTest, RecordsTheCallAndChangesNothingOfIt) {
    const RecordRow& row = GetParam();
    const Outcome traced = run_row();
    const std::vector<json> lines = records();
    ASSERT_EQ(lines.size(), row.opensFirst ? 3u : 2u);
    const json& record = lines.back();
    for (const char* name : {"v", "seq", "time", "mono_us", "pid", "tid", "call", "dur_us", "slot",
                             "handle", "result", "error"})
        EXPECT_TRUE(record.contains(name)) << name;
    EXPECT_EQ(record["seq"], lines.size() - 1);
    for (const auto& [name, value] : row.expected.items()) {
        ASSERT_TRUE(record.contains(name)) << name << " in " << record.dump();
        if (value == "opened")
            EXPECT_EQ(record[name], hex_of(reinterpret_cast<TavrilHandle>(std::uintptr_t{0x1000})));
        else
            EXPECT_EQ(record[name], value) << name << " in " << record.dump();
    }
    for (const char* name : row.absent) EXPECT_FALSE(record.contains(name)) << name;
    EXPECT_EQ(record["result"], traced.result);

    // The same call with the trace off: the same outcome, to the last error.
    fake::reset();
    start_trace({});
    ASSERT_FALSE(trace::on());
    EXPECT_EQ(run_row(), traced);
}

fake::TransferStep fails_with(std::uint32_t code) {
    fake::TransferStep s;
    s.start = fake::TransferStep::Start::kFails;
    s.startError = code;
    return s;
}

const json kIdentityRecord = {{"model", "ZQ907"}, {"serialNumber", "SN123"}, {"firmwareVersion", "FW1.2"}};
const json kIdentityData = {{"len", kIdentityLine.size()}, {"text", kIdentityLine}};
const std::string kInvalidHex = hex_of(TAVRIL_INVALID_HANDLE);
auto nothing = [](fake::State&) {};

INSTANTIATE_TEST_SUITE_P(
    Calls, TraceRecordTest,
    ::testing::Values(
        RecordRow{"OpenIdentifies", false,
                  [](fake::State& s) {
                      s.devices = {"/dev/fake0"};
                      s.responses = {"stale\r\n", kIdentityLine + "\r\n"};
                  },
                  [](TavrilHandle) { return open_call(0); },
                  {{"call", "Open_Tavril"}, {"slot", 0}, {"handle", "opened"}, {"result", 0},
                   {"error", 0}, {"identity", kIdentityRecord}, {"idn", kIdentityData}},
                  {}},
        RecordRow{"OpenNotIdentified", false, [](fake::State& s) { s.devices = {"/dev/fake0"}; },
                  [](TavrilHandle) { return open_call(0); },
                  {{"slot", 0}, {"handle", "opened"}, {"result", -2}, {"error", 1460}},
                  {"identity", "idn"}},
        RecordRow{"OpenNoDevice", false, nothing, [](TavrilHandle) { return open_call(1); },
                  {{"slot", 1}, {"handle", nullptr}, {"result", -1}, {"error", 259}},
                  {"identity", "idn"}},
        RecordRow{"OpenBadSlot", false, nothing, [](TavrilHandle) { return open_call(7); },
                  {{"slot", 7}, {"handle", nullptr}, {"result", -3}, {"error", 0}}, {"identity"}},
        RecordRow{"CloseOpened", true, nothing,
                  [](TavrilHandle h) {
                      Outcome o;
                      o.result = Close_Tavril(h, &o.error);
                      o.lastError = platform::GetLastError();
                      return o;
                  },
                  {{"call", "Close_Tavril"}, {"slot", 0}, {"handle", "opened"}, {"result", 0}}, {}},
        RecordRow{"CloseInvalid", false, nothing,
                  [](TavrilHandle h) {
                      Outcome o;
                      o.result = Close_Tavril(h, &o.error);
                      return o;
                  },
                  {{"slot", nullptr}, {"handle", kInvalidHex}, {"result", -1}, {"error", 0}}, {}},
        RecordRow{"WriteSends", true, nothing, [](TavrilHandle h) { return write_call(h, "MEAS?", 5); },
                  {{"call", "Write_Tavril"}, {"slot", 0}, {"result", 0}, {"timeout", 5},
                   {"text", {{"len", 5}, {"text", "MEAS?"}}}, {"bytesWritten", 7}},
                  {}},
        RecordRow{"WriteTimesOut", true, [](fake::State& s) { s.transfers = {times_out()}; },
                  [](TavrilHandle h) { return write_call(h, "MEAS?", 5); },
                  {{"result", -3}, {"bytesWritten", 0}, {"text", {{"len", 5}, {"text", "MEAS?"}}}}, {}},
        RecordRow{"WriteBadTimeOut", true, nothing, [](TavrilHandle h) { return write_call(h, "X", 0); },
                  {{"result", -2}, {"timeout", 0}}, {}},
        RecordRow{"WriteNullText", true, nothing, [](TavrilHandle h) { return write_call(h, nullptr, 5); },
                  {{"result", -1}, {"error", 998}, {"text", nullptr}}, {}},
        RecordRow{"ReadRawBytes", true, [](fake::State& s) { s.responses = {"\x00\x01\xff"s}; },
                  [](TavrilHandle h) { return read_call(h, TAVRIL_MODE_RAW); },
                  {{"call", "Read_Tavril"}, {"result", 0}, {"maxBytes", 100}, {"mode", 2},
                   {"timeout", 5}, {"bytesRead", 3}, {"data", {{"len", 3}, {"base64", "AAH/"}}}},
                  {}},
        // bytesRead counts the response less the CR LF that ended its line.
        RecordRow{"ReadFirstLine", true, [](fake::State& s) { s.responses = {"42.0\r\nmore"}; },
                  [](TavrilHandle h) { return read_call(h, TAVRIL_MODE_LINE); },
                  {{"bytesRead", 8}, {"data", {{"len", 4}, {"text", "42.0"}}}}, {}},
        // Text mode delivers the text before a NUL; bytesRead counts it all.
        RecordRow{"ReadTextUpToItsNul", true, [](fake::State& s) { s.responses = {"ab\0cd"s}; },
                  [](TavrilHandle h) { return read_call(h, TAVRIL_MODE_TEXT); },
                  {{"bytesRead", 5}, {"data", {{"len", 2}, {"text", "ab"}}}}, {}},
        RecordRow{"ReadTimesOut", true, nothing, [](TavrilHandle h) { return read_call(h, 0); },
                  {{"result", -3}, {"error", 0}, {"bytesRead", 0}}, {"data"}},
        RecordRow{"ReadFails", true, [](fake::State& s) { s.transfers = {fails_with(1167)}; },
                  [](TavrilHandle h) { return read_call(h, 0); },
                  {{"result", -1}, {"error", 1167}}, {"data"}},
        RecordRow{"ScmdAnswerCode", true,
                  [](fake::State& s) { s.responses = {"RANGE REFUSED ANS40\r\n"}; },
                  [](TavrilHandle h) { return scmd_call(h, TAVRIL_MODE_LINE); },
                  {{"call", "Scmd_Tavril"}, {"slot", 0}, {"result", 40}, {"error", 0},
                   {"command", {{"len", 12}, {"text", "CONF:RANGE 9"}}}, {"maxBytes", 100},
                   {"mode", 1}, {"writeTimeout", 5}, {"readTimeout", 5},
                   {"response", {{"len", 19}, {"text", "RANGE REFUSED ANS40"}}}},
                  {}},
        RecordRow{"ScmdTextMode", true, [](fake::State& s) { s.responses = {"1\r\n2\r\n"}; },
                  [](TavrilHandle h) { return scmd_call(h, TAVRIL_MODE_TEXT); },
                  {{"result", 0}, {"response", {{"len", 6}, {"text", "1\r\n2\r\n"}}}}, {}},
        RecordRow{"ScmdReadTimesOut", true, nothing, [](TavrilHandle h) { return scmd_call(h, 1); },
                  {{"result", -5}, {"command", {{"len", 12}, {"text", "CONF:RANGE 9"}}}},
                  {"response"}},
        RecordRow{"ScmdBadArgument", true, nothing, [](TavrilHandle h) { return scmd_call(h, 1, 0); },
                  {{"result", -3}, {"readTimeout", 0}}, {"response"}},
        RecordRow{"ConfIdentifies", true, [](fake::State& s) { s.responses = {kIdentityLine + "\r\n"}; },
                  [](TavrilHandle h) {
                      std::uint32_t error = kSentinel;
                      return conf_call(h, &error);
                  },
                  {{"call", "Conf_Tavril"}, {"slot", 0}, {"result", 0}, {"error", 0},
                   {"identity", kIdentityRecord}, {"idn", kIdentityData}},
                  {}},
        RecordRow{"ConfAnswerCode", true, [](fake::State& s) { s.responses = {"BUSY ANS90\r\n"}; },
                  [](TavrilHandle h) {
                      std::uint32_t error = kSentinel;
                      return conf_call(h, &error);
                  },
                  {{"result", -1}, {"error", 0}}, {"identity", "idn"}},
        // An invalid handle leaves errorCode untouched, so it may be null.
        RecordRow{"ConfInvalidNoErrorWord", false, nothing,
                  [](TavrilHandle h) { return conf_call(h, nullptr); },
                  {{"slot", nullptr}, {"result", -1}, {"error", nullptr}}, {"identity"}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(TraceTest, TheStartRecordAndEachCallCarryTheClocksProcessAndThread) {
    trace::stop();
    fake::set_clocks(fake::kDefaultWallClock, 1000, 250);
    fake().processId = 4242;
    start_trace({{"TAVRIL_TRACE", kTracePath}});  // reads the monotonic clock once: 1000
    std::uint32_t error = 0;
    Close_Tavril(TAVRIL_INVALID_HANDLE, &error);  // reads 1250 and 1500
    const auto lines = records();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], json::parse(R"({"v":1,"seq":0,"time":"2026-12-09T20:38:15.120001Z",
        "mono_us":0,"pid":4242,"tid":)" + std::to_string(platform::GetCurrentThreadId()) +
        R"(,"call":"start","library":"1.0.0","platform":"fake","data_limit":4096,
        "max_bytes":268435456})"));
    EXPECT_EQ(lines[1]["seq"], 1);
    EXPECT_EQ(lines[1]["time"], "2026-12-09T20:38:15.120001Z");
    EXPECT_EQ(lines[1]["mono_us"], 250);
    EXPECT_EQ(lines[1]["dur_us"], 250);
    EXPECT_EQ(lines[1]["pid"], 4242);
    EXPECT_EQ(lines[1]["tid"], platform::GetCurrentThreadId());
}

TEST_F(TraceTest, HandlesNameTheirSlotsUntilClosed) {
    fake().devices = {"/dev/fake0", "/dev/fake1"};
    fake().responses = {kIdentityLine + "\r\n", kIdentityLine + "\r\n"};
    TavrilHandle handles[2];
    InstrumentIdentity identity{};
    std::uint32_t error = 0;
    for (std::uint32_t slot : {1u, 0u})
        ASSERT_EQ(Open_Tavril(slot, &handles[slot], &identity, &error), TAVRIL_OPEN_OK);
    std::uint32_t written = 0;
    Write_Tavril(handles[1], "A", 5, &written, &error);
    Write_Tavril(handles[0], "B", 5, &written, &error);
    ASSERT_EQ(Close_Tavril(handles[1], &error), TAVRIL_CLOSE_OK);
    Write_Tavril(handles[1], "C", 5, &written, &error);
    Write_Tavril(handles[0], "D", 5, &written, &error);
    std::vector<json> slots;
    for (const json& record : records())
        if (record["call"] != "start" && record["call"] != "Open_Tavril") slots.push_back(record["slot"]);
    EXPECT_EQ(slots, (std::vector<json>{1, 0, 1, nullptr, 0}));
}

// ---- settings, the bound, failures --------------------------------------------------

struct SettingsRow {
    std::map<std::string, std::string> variables;
    std::uint64_t dataLimit;
    std::uint64_t maxBytes;
    const char* standardError;
};

class TraceSettingsTest : public TraceTest, public ::testing::WithParamInterface<SettingsRow> {};

TEST_P(TraceSettingsTest, AreReadFromTheEnvironment) {
    trace::stop();
    auto variables = GetParam().variables;
    variables["TAVRIL_TRACE"] = kTracePath;
    start_trace(variables);
    std::uint32_t error = 0;
    Close_Tavril(TAVRIL_INVALID_HANDLE, &error);
    const auto lines = records();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0]["data_limit"], GetParam().dataLimit);
    EXPECT_EQ(lines[0]["max_bytes"], GetParam().maxBytes);
    EXPECT_EQ(fake().standardError, GetParam().standardError);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TraceSettingsTest,
    ::testing::Values(
        SettingsRow{{}, 4096, 268435456, ""},
        SettingsRow{{{"TAVRIL_TRACE_DATA", "16"}, {"TAVRIL_TRACE_MAX", "100000"}}, 16, 100000, ""},
        SettingsRow{{{"TAVRIL_TRACE_DATA", "0"}}, 0, 268435456, ""},
        SettingsRow{{{"TAVRIL_TRACE_DATA", "4k"}, {"TAVRIL_TRACE_MAX", "-1"}}, 4096, 268435456,
                    "tavlib: TAVRIL_TRACE_DATA is not a number of bytes; 4096 used\n"
                    "tavlib: TAVRIL_TRACE_MAX is not a number of bytes; 268435456 used\n"}));

TEST_F(TraceTest, OffWhenTheVariableIsUnsetOrEmpty) {
    for (const auto& variables : {std::map<std::string, std::string>{},
                                  std::map<std::string, std::string>{{"TAVRIL_TRACE", ""}}}) {
        start_trace(variables);
        EXPECT_FALSE(trace::on());
        std::uint32_t error = 0;
        Close_Tavril(TAVRIL_INVALID_HANDLE, &error);
        EXPECT_TRUE(fake().files.empty());
    }
}

TEST_F(TraceTest, StopsAtTheBoundWithAnEndRecordAndStaysWithinIt) {
    for (std::uint64_t bound = 700; bound < 1400; bound += 7) {
        trace::stop();
        fake::reset();
        start_trace({{"TAVRIL_TRACE", kTracePath}, {"TAVRIL_TRACE_MAX", std::to_string(bound)}});
        std::uint32_t error = 0;
        for (int i = 0; i < 12; ++i) EXPECT_EQ(Close_Tavril(TAVRIL_INVALID_HANDLE, &error), -1);
        EXPECT_FALSE(trace::on());
        const std::string file = fake().files[kTracePath];
        EXPECT_LE(file.size(), bound);
        const auto lines = records();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines.back()["call"], "end");
        EXPECT_EQ(lines.back()["reason"], "limit");
        EXPECT_EQ(lines.back()["max_bytes"], bound);
        EXPECT_EQ(lines.back()["seq"], lines.size() - 1);
        // The last call record left too little room for another one (no
        // shorter) and the end record.
        const std::size_t endStart = file.rfind('\n', file.size() - 2) + 1;
        const std::size_t lastStart = file.rfind('\n', endStart - 2) + 1;
        EXPECT_GT(endStart + (endStart - lastStart) + 256, bound);
    }
    EXPECT_TRUE(fake().standardError.empty());
}

struct FailureRow {
    const char* name;
    std::optional<std::uint32_t> openError;
    std::optional<int> writesBeforeFailure;
    std::size_t linesLeft;
    const char* standardError;
};

class TraceFailureTest : public TraceTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(TraceFailureTest, StopsTheTraceWithOneLineAndLeavesTheCallsAlone) {
    const FailureRow& row = GetParam();
    trace::stop();
    const auto call = [] {
        std::vector<Outcome> outcomes;
        for (int i = 0; i < 3; ++i) {
            outcomes.push_back(read_call(bogus_handle(), TAVRIL_MODE_LINE));
            outcomes.push_back(conf_call(bogus_handle(), &outcomes.back().error));
        }
        return outcomes;
    };
    const std::vector<Outcome> untraced = call();
    fake::reset();
    fake().traceOpenError = row.openError;
    fake().traceWritesBeforeFailure = row.writesBeforeFailure;
    start_trace({{"TAVRIL_TRACE", kTracePath}});
    EXPECT_EQ(call(), untraced);
    EXPECT_FALSE(trace::on());
    EXPECT_EQ(fake().standardError, row.standardError);
    EXPECT_EQ(records().size(), row.linesLeft);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TraceFailureTest,
    ::testing::Values(
        FailureRow{"CannotOpen", 5u, {}, 0,
                   "tavlib: trace /traces/t.jsonl: cannot open the file (error 5); tracing stopped\n"},
        FailureRow{"CannotWriteTheStart", {}, 0, 0,
                   "tavlib: trace /traces/t.jsonl: cannot write to the file (error 112); tracing stopped\n"},
        FailureRow{"CannotWriteTheSecond", {}, 2, 2,
                   "tavlib: trace /traces/t.jsonl: cannot write to the file (error 112); tracing stopped\n"}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- threads and processes -------------------------------------------------------------

TEST_F(TraceTest, RecordsOfManyThreadsAreWholeAndNumberedInFileOrder) {
    constexpr int kThreads = 8;
    constexpr int kCalls = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < kCalls; ++i) {
                std::uint32_t error = 0;
                InstrumentIdentity identity{};
                Close_Tavril(TAVRIL_INVALID_HANDLE, &error);
                Conf_Tavril(TAVRIL_INVALID_HANDLE, &identity, &error);
            }
        });
    for (auto& thread : threads) thread.join();
    const auto lines = records();  // each parses as one object
    ASSERT_EQ(lines.size(), 1u + kThreads * kCalls * 2);
    std::map<std::uint32_t, int> perThread;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i]["seq"], i);
        if (i > 0) ++perThread[lines[i]["tid"].get<std::uint32_t>()];
    }
    EXPECT_EQ(perThread.size(), std::size_t{kThreads});
    for (const auto& [tid, count] : perThread) EXPECT_EQ(count, kCalls * 2) << tid;
}

TEST_F(TraceTest, AForkedChildStartsItsOwnRecordsInItsOwnFileWhereTheNameHasPid) {
    for (const std::string pattern : {"/traces/t-%p.jsonl", "/traces/shared.jsonl"}) {
        trace::stop();
        fake::reset();
        fake().processId = 100;
        start_trace({{"TAVRIL_TRACE", pattern}});
        const TavrilHandle parentHandle = open_slot0();
        fake().processId = 101;  // the next call comes from a forked child
        std::uint32_t written = 0, error = 0;
        Write_Tavril(parentHandle, "X", 5, &written, &error);
        const std::string parentFile = trace::expand_process_id(pattern, 100);
        const std::string childFile = trace::expand_process_id(pattern, 101);
        std::vector<std::pair<json, json>> seen;  // (pid, call)
        for (const json& r : records(childFile)) seen.emplace_back(r["pid"], r["call"]);
        const std::vector<std::pair<json, json>> child = {{101, "start"}, {101, "Write_Tavril"}};
        if (parentFile != childFile) {
            EXPECT_EQ(records(parentFile).size(), 2u) << pattern;
            EXPECT_EQ(seen, child) << pattern;
        } else {
            ASSERT_EQ(seen.size(), 4u);
            EXPECT_EQ(std::vector(seen.begin() + 2, seen.end()), child);
        }
        const json last = records(childFile).back();
        EXPECT_EQ(last["seq"], 1) << pattern;
        EXPECT_EQ(last["slot"], nullptr) << "the parent's handles are not the child's";
    }
}

}  // namespace
}  // namespace tavlib::test
