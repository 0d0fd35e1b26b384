#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "calls.h"
#include "fake_device.h"
#include "vxi11.h"

namespace {

using namespace tavlib::gateway::vxi11;
using vxi11_test::FakeDevice;
using vxi11_test::text_bytes;
using Clock = std::chrono::steady_clock;

class DispatcherTest : public ::testing::Test {
protected:
    DispatcherTest() : dispatcher_(limits()) {
        dispatcher_.add_device("inst0", device_);
        dispatcher_.set_wake([this](ConnectionId id) { woken_.push_back(id); });
    }
    static Limits limits() {
        Limits l;
        l.maxLinks = 8;
        l.maxLinksPerConnection = 4;
        l.maxMessage = 4096;
        l.maxRecvSize = 8192;
        l.abortPort = 4321;
        return l;
    }

    // The reply to one call: its accept_stat and the results.
    vxi11_test::ReplyView run(ConnectionId c, std::uint32_t proc, const std::function<void(XdrWriter&)>& args,
                              std::uint32_t prog = kCoreProgram, std::uint32_t vers = kVersion) {
        const Bytes message = vxi11_test::call_message(++xid_, prog, vers, proc, args);
        const rpc::Call call = rpc::parse_call(message);
        last_ = dispatcher_.call(c, call, now_);
        return taken(last_);
    }
    vxi11_test::ReplyView taken(const Outcome& outcome) {
        if (!outcome.reply) return {0, 999, {}};
        auto view = vxi11_test::parse_reply(*outcome.reply, true);
        EXPECT_TRUE(view);
        return view ? *view : vxi11_test::ReplyView{0, 998, {}};
    }
    // The first result word: Device_ErrorCode of every reply.
    static std::int32_t error_of(const vxi11_test::ReplyView& view) {
        XdrReader r(view.results);
        std::int32_t error = -1;
        r.i32(error);
        return error;
    }

    std::int32_t create_link(ConnectionId c, std::string device = "inst0", bool lock = false,
                             std::uint32_t lockTimeout = 0, std::int32_t* error = nullptr) {
        const auto view = run(c, kCreateLink, [&](XdrWriter& w) {
            w.i32(1);
            w.boolean(lock);
            w.u32(lockTimeout);
            w.string(device);
        });
        if (!last_.reply) return -1;  // parked
        XdrReader r(view.results);
        CreateLinkResp resp;
        r.i32(resp.error);
        r.i32(resp.lid);
        r.u32(resp.abortPort);
        r.u32(resp.maxRecvSize);
        EXPECT_TRUE(r.ok() && r.remaining() == 0);
        if (error != nullptr) *error = resp.error;
        if (resp.error == 0) {
            EXPECT_EQ(resp.abortPort, 4321u);
            EXPECT_EQ(resp.maxRecvSize, 8192u);
        }
        return resp.error == 0 ? resp.lid : -1;
    }
    WriteResp write(ConnectionId c, std::int32_t lid, std::string_view data, bool end, std::int32_t flags = 0,
                    std::uint32_t lockTimeout = 0) {
        const auto view = run(c, kDeviceWrite, [&](XdrWriter& w) {
            w.i32(lid);
            w.u32(2000);
            w.u32(lockTimeout);
            w.i32(flags | (end ? kEndFlag : 0));
            w.opaque(text_bytes(data));
        });
        WriteResp resp{-1, 0};
        if (!last_.reply) return resp;  // parked
        XdrReader r(view.results);
        r.i32(resp.error);
        r.u32(resp.size);
        EXPECT_TRUE(r.ok() && r.remaining() == 0);
        return resp;
    }
    struct Read {
        std::int32_t error = -1;
        std::int32_t reason = -1;
        std::string data;
    };
    Read read(ConnectionId c, std::int32_t lid, std::uint32_t size, std::optional<char> termChar = {},
              std::int32_t flags = 0, std::uint32_t lockTimeout = 0) {
        const auto view = run(c, kDeviceRead, [&](XdrWriter& w) {
            w.i32(lid);
            w.u32(size);
            w.u32(1500);
            w.u32(lockTimeout);
            w.i32(flags | (termChar ? kTermCharSet : 0));
            w.i32(termChar ? *termChar : 0);
        });
        Read result;
        if (!last_.reply) return result;  // parked
        XdrReader r(view.results);
        ByteView data;
        r.i32(result.error);
        r.i32(result.reason);
        r.opaque(data, 1 << 24);
        EXPECT_TRUE(r.ok() && r.remaining() == 0);
        result.data.assign(data.begin(), data.end());
        return result;
    }
    std::int32_t generic(ConnectionId c, std::uint32_t proc, std::int32_t lid, std::int32_t flags = 0,
                         std::uint32_t lockTimeout = 0) {
        return error_of(run(c, proc, [&](XdrWriter& w) {
            w.i32(lid);
            w.i32(flags);
            w.u32(lockTimeout);
            w.u32(1000);
        }));
    }
    std::int32_t lock(ConnectionId c, std::int32_t lid, std::int32_t flags = 0, std::uint32_t lockTimeout = 0) {
        return error_of(run(c, kDeviceLock, [&](XdrWriter& w) {
            w.i32(lid);
            w.i32(flags);
            w.u32(lockTimeout);
        }));
    }
    std::int32_t by_link(ConnectionId c, std::uint32_t proc, std::int32_t lid) {
        return error_of(run(c, proc, [&](XdrWriter& w) { w.i32(lid); }));
    }
    std::string whole_answer(ConnectionId c, std::int32_t lid, std::uint32_t size) {
        std::string all;
        for (int reads = 0; reads < 1000; ++reads) {
            const Read r = read(c, lid, size);
            EXPECT_EQ(r.error, 0);
            all += r.data;
            if (r.error != 0 || (r.reason & kReasonEnd) != 0) break;
        }
        return all;
    }

    FakeDevice device_{1000};  // pieces of 1000 bytes
    Dispatcher dispatcher_;
    std::vector<ConnectionId> woken_;
    Outcome last_;
    Clock::time_point now_ = Clock::now();
    std::uint32_t xid_ = 0;
};

TEST_F(DispatcherTest, ProgramsVersionsAndProcedures) {
    const ConnectionId c = dispatcher_.connect(Channel::core);
    const ConnectionId a = dispatcher_.connect(Channel::abort);
    const std::int32_t lid = create_link(c);
    const auto generic = [&](XdrWriter& w) {
        w.i32(lid);
        w.i32(0);
        w.u32(0);
        w.u32(0);
    };
    struct Case {
        const char* name;
        ConnectionId connection;
        std::uint32_t prog, vers, proc;
        std::function<void(XdrWriter&)> args;
        std::uint32_t stat;
        std::optional<std::int32_t> error;  // the VXI-11 error of a successful reply
    };
    const std::vector<Case> cases = {
        {"other program", c, 0x0607B1, 1, 10, {}, rpc::kProgUnavail, {}},
        {"abort program on the core channel", c, kAbortProgram, 1, 1, {}, rpc::kProgUnavail, {}},
        {"version 2", c, kCoreProgram, 2, 10, {}, rpc::kProgMismatch, {}},
        {"procedure 99", c, kCoreProgram, 1, 99, {}, rpc::kProcUnavail, {}},
        {"procedure 21", c, kCoreProgram, 1, 21, {}, rpc::kProcUnavail, {}},
        {"device_remote", c, kCoreProgram, 1, kDeviceRemote, generic, rpc::kSuccess, kNotSupported},
        {"device_local", c, kCoreProgram, 1, kDeviceLocal, generic, rpc::kSuccess, kNotSupported},
        {"device_enable_srq", c, kCoreProgram, 1, kDeviceEnableSrq,
         [&](XdrWriter& w) { w.i32(lid); w.boolean(true); w.opaque(text_bytes("handle")); }, rpc::kSuccess,
         kNotSupported},
        {"device_docmd", c, kCoreProgram, 1, kDeviceDocmd,
         [&](XdrWriter& w) { w.i32(lid); for (int i = 0; i < 3; ++i) w.u32(0); w.i32(1); w.boolean(false); w.i32(0); w.opaque({}); },
         rpc::kSuccess, kNotSupported},
        // The link is checked before anything else.
        {"device_remote of no link", c, kCoreProgram, 1, kDeviceRemote,
         [&](XdrWriter& w) { w.i32(lid + 100); w.i32(0); w.u32(0); w.u32(0); }, rpc::kSuccess, kInvalidLink},
        {"device_docmd of no link", c, kCoreProgram, 1, kDeviceDocmd,
         [&](XdrWriter& w) { w.i32(lid + 100); for (int i = 0; i < 3; ++i) w.u32(0); w.i32(1); w.boolean(false); w.i32(0); w.opaque({}); },
         rpc::kSuccess, kInvalidLink},
        {"NULL on the core channel", c, kCoreProgram, 1, 0, {}, rpc::kSuccess, {}},
        {"NULL on the abort channel", a, kAbortProgram, 1, 0, {}, rpc::kSuccess, {}},
        {"create_intr_chan", c, kCoreProgram, 1, kCreateIntrChan,
         [&](XdrWriter& w) { for (int i = 0; i < 5; ++i) w.u32(0); }, rpc::kSuccess, kNotSupported},
        {"destroy_intr_chan", c, kCoreProgram, 1, kDestroyIntrChan, {}, rpc::kSuccess, kNotSupported},
        {"device_abort", a, kAbortProgram, 1, kDeviceAbort, [&](XdrWriter& w) { w.i32(lid); }, rpc::kSuccess, 0},
        {"device_abort of no link", a, kAbortProgram, 1, kDeviceAbort, [&](XdrWriter& w) { w.i32(lid + 100); },
         rpc::kSuccess, kInvalidLink},
        {"abort channel procedure 2", a, kAbortProgram, 1, 2, {}, rpc::kProcUnavail, {}},
        {"core program on the abort channel", a, kCoreProgram, 1, 10, {}, rpc::kProgUnavail, {}},
        // Arguments too short for each procedure.
        {"create_link cut", c, kCoreProgram, 1, kCreateLink, [](XdrWriter& w) { w.i32(1); }, rpc::kGarbageArgs, {}},
        {"create_link bool 7", c, kCoreProgram, 1, kCreateLink,
         [](XdrWriter& w) { w.i32(1); w.u32(7); w.u32(0); w.string("inst0"); }, rpc::kGarbageArgs, {}},
        {"device_write data cut", c, kCoreProgram, 1, kDeviceWrite,
         [&](XdrWriter& w) { w.i32(lid); w.u32(0); w.u32(0); w.i32(8); w.u32(100); }, rpc::kGarbageArgs, {}},
        {"device_write over maxRecvSize", c, kCoreProgram, 1, kDeviceWrite,
         [&](XdrWriter& w) { w.i32(lid); w.u32(0); w.u32(0); w.i32(8); w.opaque(Bytes(8193, 'x')); },
         rpc::kSuccess, kParameterError},
        {"device_read cut", c, kCoreProgram, 1, kDeviceRead, [&](XdrWriter& w) { w.i32(lid); }, rpc::kGarbageArgs, {}},
        {"device_readstb cut", c, kCoreProgram, 1, kDeviceReadStb, [&](XdrWriter& w) { w.i32(lid); }, rpc::kGarbageArgs, {}},
        {"device_lock cut", c, kCoreProgram, 1, kDeviceLock, [&](XdrWriter& w) { w.i32(lid); }, rpc::kGarbageArgs, {}},
        {"device_unlock empty", c, kCoreProgram, 1, kDeviceUnlock, {}, rpc::kGarbageArgs, {}},
        {"destroy_link empty", c, kCoreProgram, 1, kDestroyLink, {}, rpc::kGarbageArgs, {}},
        {"device_enable_srq handle of 41", c, kCoreProgram, 1, kDeviceEnableSrq,
         [&](XdrWriter& w) { w.i32(lid); w.boolean(true); w.opaque(Bytes(41, 1)); }, rpc::kGarbageArgs, {}},
        {"device_abort empty", a, kAbortProgram, 1, kDeviceAbort, {}, rpc::kGarbageArgs, {}},
    };
    for (const Case& k : cases) {
        const auto view = run(k.connection, k.proc, k.args, k.prog, k.vers);
        EXPECT_EQ(view.stat, k.stat) << k.name;
        EXPECT_EQ(view.xid, xid_) << k.name;
        if (k.error) {
            EXPECT_EQ(error_of(view), *k.error) << k.name;
        }
    }
    EXPECT_EQ(dispatcher_.link_count(), 1u);  // nothing above made or lost a link
}

TEST_F(DispatcherTest, LinksOfNoneOrOfAnotherConnection) {
    const ConnectionId c = dispatcher_.connect(Channel::core);
    const ConnectionId other = dispatcher_.connect(Channel::core);
    const std::int32_t theirs = create_link(other);
    for (const std::int32_t lid : {theirs, theirs + 50, 0}) {
        EXPECT_EQ(write(c, lid, "*IDN?\n", true).error, kInvalidLink) << lid;
        EXPECT_EQ(read(c, lid, 100).error, kInvalidLink) << lid;
        for (const std::uint32_t proc : {kDeviceReadStb, kDeviceTrigger, kDeviceClear})
            EXPECT_EQ(generic(c, proc, lid), kInvalidLink) << proc;
        EXPECT_EQ(lock(c, lid), kInvalidLink);
        EXPECT_EQ(by_link(c, kDeviceUnlock, lid), kInvalidLink);
        EXPECT_EQ(by_link(c, kDestroyLink, lid), kInvalidLink);
    }
    EXPECT_TRUE(device_.writes.empty());
    std::int32_t error = 0;
    EXPECT_EQ(create_link(c, "inst7", false, 0, &error), -1);
    EXPECT_EQ(error, kDeviceNotAccessible);
    EXPECT_GT(create_link(c, "INST0"), 0);  // names without regard to case
}

TEST_F(DispatcherTest, LinkLimitsAndThousandsOfLinks) {
    std::vector<ConnectionId> connections;
    for (int i = 0; i < 3; ++i) connections.push_back(dispatcher_.connect(Channel::core));
    std::vector<std::int32_t> errors;
    for (int i = 0; i < 5; ++i) {
        std::int32_t error = 0;
        create_link(connections[0], "inst0", false, 0, &error);
        errors.push_back(error);
    }
    EXPECT_EQ(errors, (std::vector<std::int32_t>{0, 0, 0, 0, kOutOfResources}));
    // 4 more fill the total of 8; then every connection is refused.
    for (int i = 0; i < 4; ++i) EXPECT_GT(create_link(connections[1]), 0);
    for (int i = 0; i < 2000; ++i) {
        std::int32_t error = 0;
        create_link(connections[2], "inst0", false, 0, &error);
        ASSERT_EQ(error, kOutOfResources);
    }
    EXPECT_EQ(dispatcher_.link_count(), 8u);
    dispatcher_.disconnect(connections[0]);
    EXPECT_EQ(dispatcher_.link_count(), 4u);
    EXPECT_GT(create_link(connections[2]), 0);
    // Ids are not handed out twice while in use.
    std::vector<std::int32_t> seen;
    for (const ConnectionId c : {connections[2]})
        for (int i = 0; i < 3; ++i) seen.push_back(create_link(c));
    for (std::int32_t lid : seen) EXPECT_GT(lid, 0);
    EXPECT_EQ(std::set<std::int32_t>(seen.begin(), seen.end()).size(), seen.size());
}

TEST_F(DispatcherTest, WritesAreAStreamUpToEnd) {
    const ConnectionId c = dispatcher_.connect(Channel::core);
    const std::int32_t lid = create_link(c);
    struct Step {
        std::string data;
        bool end;
        std::int32_t error;
        std::size_t writesAfter;
    };
    const std::vector<Step> steps = {
        {"CONF:RANGE ", false, 0, 0},
        {"1000", false, 0, 0},
        {"\n", true, 0, 1},
        {std::string(3000, 'a'), false, 0, 1},
        {std::string(1096, 'b'), false, 0, 1},  // 4096 in all: the limit
        {"x", true, kParameterError, 1},        // one more: refused, and dropped whole
        {"*IDN?\n", true, 0, 2},
    };
    for (const Step& s : steps) {
        const WriteResp resp = write(c, lid, s.data, s.end);
        EXPECT_EQ(resp.error, s.error) << s.data.substr(0, 10);
        EXPECT_EQ(resp.size, s.error == 0 ? s.data.size() : 0u);
        EXPECT_EQ(device_.writes.size(), s.writesAfter) << s.data.substr(0, 10);
    }
    EXPECT_EQ(device_.writes[0], Bytes(text_bytes("CONF:RANGE 1000\n").begin(), text_bytes("CONF:RANGE 1000\n").end()));
    EXPECT_EQ(device_.writes[1].size(), 6u);
    EXPECT_EQ(device_.lastTimeout, 2u);  // io_timeout 2000 ms

    // A message without END goes out when its answer is read.
    EXPECT_EQ(write(c, lid, "*IDN?\n", false).error, 0);
    EXPECT_EQ(device_.writes.size(), 2u);
    EXPECT_EQ(whole_answer(c, lid, 4096), "OK ANS40\n");  // the answer to CONF, first
    EXPECT_EQ(device_.writes.size(), 3u);
    EXPECT_EQ(whole_answer(c, lid, 4096), "TAVRIL,FAKE1,SN000042,0.1\n");
    EXPECT_EQ(whole_answer(c, lid, 4096), "TAVRIL,FAKE1,SN000042,0.1\n");

    // ... or at destroy_link; a connection that closes drops it.
    write(c, lid, "TRIG\n", false);
    EXPECT_EQ(by_link(c, kDestroyLink, lid), 0);
    EXPECT_EQ(device_.writes.size(), 4u);
    const std::int32_t second = create_link(c);
    write(c, second, "LOST\n", false);
    dispatcher_.disconnect(c);
    EXPECT_EQ(device_.writes.size(), 4u);

    // A failed write reports its error, and nothing of it is kept.
    const ConnectionId d = dispatcher_.connect(Channel::core);
    const std::int32_t third = create_link(d);
    device_.failWrite = DeviceStatus::timeout;
    EXPECT_EQ(write(d, third, "A\n", true).error, kIoTimeout);
    device_.failWrite = DeviceStatus::not_accessible;
    EXPECT_EQ(write(d, third, "B\n", true).error, kDeviceNotAccessible);
    EXPECT_EQ(write(d, third, "C\n", true).error, 0);
    EXPECT_EQ(device_.writes.back(), (Bytes{'C', '\n'}));

    // A message refused before its END is dropped up to it: its later
    // blocks are refused too, and nothing of it reaches the instrument.
    const std::size_t before = device_.writes.size();
    for (const auto& [data, end, error] : std::vector<std::tuple<std::string, bool, std::int32_t>>{
             {std::string(4097, 'x'), false, kParameterError},
             {"STILL THE SAME MESSAGE\n", false, kParameterError},
             {"ITS END\n", true, kParameterError},
             {"NEXT\n", true, 0}}) {
        EXPECT_EQ(write(d, third, data, end).error, error) << data.substr(0, 10);
    }
    ASSERT_EQ(device_.writes.size(), before + 1);
    EXPECT_EQ(device_.writes.back(), (Bytes{'N', 'E', 'X', 'T', '\n'}));
}

TEST_F(DispatcherTest, ReadsHonourRequestSizeTermCharAndEnd) {
    const ConnectionId c = dispatcher_.connect(Channel::core);
    const std::int32_t lid = create_link(c);
    const std::string trace = vxi11_test::pattern(vxi11_test::kTraceSize - 1) + "\n";
    // TRACE? comes in pieces of 1000 bytes; reads of any size get it whole.
    for (const std::uint32_t size : {1u, 999u, 1000u, 1001u, 4096u, 8192u, 100000u, 0xffffffffu}) {
        write(c, lid, "TRACE?\n", true);
        std::string all;
        int reads = 0;
        for (Read r{0, 0, {}}; (r.reason & kReasonEnd) == 0 && reads < 200000; ++reads) {
            r = read(c, lid, size);
            ASSERT_EQ(r.error, 0) << size;
            ASSERT_LE(r.data.size(), std::min<std::uint32_t>(size, 8192)) << size;
            // REQCNT exactly when the request was filled.
            ASSERT_EQ((r.reason & kReasonReqCnt) != 0, r.data.size() == size) << size;
            all += r.data;
        }
        EXPECT_EQ(all.size(), trace.size()) << size;
        EXPECT_TRUE(all == trace) << size;
    }
    struct Case {
        const char* name;
        std::string answer;
        std::uint32_t size;
        std::optional<char> termChar;
        std::vector<std::pair<std::string, std::int32_t>> reads;  // data, reason
    };
    const std::vector<Case> cases = {
        {"end and request filled at once", "abc", 3, {}, {{"abc", kReasonEnd | kReasonReqCnt}}},
        {"request filled before the end", "abcdef", 4, {}, {{"abcd", kReasonReqCnt}, {"ef", kReasonEnd}}},
        {"termination character", "a;b;c", 100, ';', {{"a;", kReasonChr}, {"b;", kReasonChr}, {"c", kReasonEnd}}},
        {"termination character last", "ab;", 100, ';', {{"ab;", kReasonChr | kReasonEnd}}},
        {"termination character at the request", "ab;cd", 3, ';', {{"ab;", kReasonChr | kReasonReqCnt}, {"cd", kReasonEnd}}},
        {"no termination character set", "a;b", 100, {}, {{"a;b", kReasonEnd}}},
        {"an empty message", "", 10, {}, {{"", kReasonEnd}}},
        {"exactly one piece: an empty one ends it", std::string(1000, 'z'), 1000, {},
         {{std::string(1000, 'z'), kReasonReqCnt}, {"", kReasonEnd}}},
    };
    for (const Case& k : cases) {
        device_.queue(k.answer);
        for (const auto& [data, reason] : k.reads) {
            const Read r = read(c, lid, k.size, k.termChar);
            EXPECT_EQ(r.error, 0) << k.name;
            EXPECT_EQ(r.data, data) << k.name;
            EXPECT_EQ(r.reason, reason) << k.name;
        }
        EXPECT_FALSE(device_.output_waits()) << k.name;
    }
    const Read zero = read(c, lid, 0);
    EXPECT_EQ(zero.reason, kReasonReqCnt);
}

TEST_F(DispatcherTest, FailedReadsLoseNothing) {
    const ConnectionId c = dispatcher_.connect(Channel::core);
    const std::int32_t lid = create_link(c);
    const Read none = read(c, lid, 100);
    EXPECT_EQ(none.error, kIoTimeout);
    EXPECT_EQ(none.data, "");
    EXPECT_EQ(device_.lastTimeout, 2u);  // io_timeout 1500 ms: 2 s

    device_.queue(std::string(1500, 'q'));  // a piece of 1000, then one of 500
    Read first = read(c, lid, 600);
    EXPECT_EQ(first.data.size(), 600u);
    device_.failRead = DeviceStatus::io_error;  // the second piece fails
    const Read failed = read(c, lid, 2000);
    EXPECT_EQ(failed.error, kIoError);
    EXPECT_EQ(failed.data, "");
    const Read rest = read(c, lid, 2000);
    EXPECT_EQ(rest.error, 0);
    EXPECT_EQ(rest.data, std::string(900, 'q'));
    EXPECT_EQ(rest.reason, kReasonEnd);
}

// A read that nothing can answer is answered at its time-out, which the
// transport waits out; an abort ends that wait with 23.
TEST_F(DispatcherTest, ATimeOutIsAnsweredAtItsTime) {
    const ConnectionId c = dispatcher_.connect(Channel::core);
    const ConnectionId a = dispatcher_.connect(Channel::abort);
    const std::int32_t lid = create_link(c);
    device_.timeoutsAnsweredAt = now_ + std::chrono::seconds(2);
    for (const bool aborted : {false, true}) {
        read(c, lid, 100);
        ASSERT_TRUE(last_.waiting);
        EXPECT_EQ(last_.until, device_.timeoutsAnsweredAt);
        EXPECT_FALSE(dispatcher_.resume(c, now_ + std::chrono::seconds(1)).reply);
        if (aborted) {
            EXPECT_EQ(error_of(run(a, kDeviceAbort, [&](XdrWriter& w) { w.i32(lid); }, kAbortProgram)), 0);
        }
        const Outcome answered = dispatcher_.resume(c, aborted ? now_ : now_ + std::chrono::seconds(2));
        ASSERT_TRUE(answered.reply);
        EXPECT_EQ(error_of(taken(answered)), aborted ? kAborted : kIoTimeout);
    }
    EXPECT_EQ(dispatcher_.waiting_calls(), 0u);
}

TEST_F(DispatcherTest, ClearLeavesNothingStale) {
    const ConnectionId c = dispatcher_.connect(Channel::core);
    const std::int32_t lid = create_link(c);
    const std::int32_t other = create_link(c);
    write(c, lid, "TRACE?\n", true);
    EXPECT_EQ(read(c, lid, 10).data.size(), 10u);  // a piece is kept, more waits
    write(c, other, "*IDN", false);                 // half a message
    EXPECT_EQ(generic(c, kDeviceClear, lid), 0);
    EXPECT_EQ(device_.clears, 1);
    EXPECT_EQ(read(c, lid, 100).error, kIoTimeout);
    write(c, other, "?\n", true);  // the half before the clear is gone
    EXPECT_EQ(device_.writes.back(), (Bytes{'?', '\n'}));
}

TEST_F(DispatcherTest, StatusByteAndTrigger) {
    const ConnectionId c = dispatcher_.connect(Channel::core);
    const std::int32_t lid = create_link(c);
    const auto stb = [&] {
        const auto view = run(c, kDeviceReadStb, [&](XdrWriter& w) {
            w.i32(lid);
            w.i32(0);
            w.u32(0);
            w.u32(1000);
        });
        XdrReader r(view.results);
        std::int32_t error = -1;
        std::uint32_t value = 0;
        r.i32(error);
        r.u32(value);
        EXPECT_EQ(error, 0);
        return value;
    };
    EXPECT_EQ(stb(), 0u);
    write(c, lid, "*IDN?", false);  // readstb sends it first
    EXPECT_EQ(stb(), 0x10u);
    EXPECT_EQ(generic(c, kDeviceTrigger, lid), 0);
    EXPECT_EQ(device_.triggers, 1);
}

TEST_F(DispatcherTest, LocksKeepOtherLinksOut) {
    const ConnectionId c1 = dispatcher_.connect(Channel::core);
    const ConnectionId c2 = dispatcher_.connect(Channel::core);
    const std::int32_t mine = create_link(c1);
    const std::int32_t theirs = create_link(c2);
    EXPECT_EQ(by_link(c1, kDeviceUnlock, mine), kNoLockHeld);
    EXPECT_EQ(lock(c1, mine), 0);
    EXPECT_EQ(lock(c1, mine), kLockedByAnother);  // held already: it cannot be taken twice
    EXPECT_EQ(device_.lockEvents, (std::vector<bool>{true}));
    // Without WAITLOCK every operation of the other link fails at once.
    EXPECT_EQ(lock(c2, theirs), kLockedByAnother);
    EXPECT_EQ(write(c2, theirs, "*RST\n", true).error, kLockedByAnother);
    EXPECT_EQ(read(c2, theirs, 10).error, kLockedByAnother);
    for (const std::uint32_t proc : {kDeviceReadStb, kDeviceTrigger, kDeviceClear})
        EXPECT_EQ(generic(c2, proc, theirs), kLockedByAnother) << proc;
    EXPECT_EQ(by_link(c2, kDeviceUnlock, theirs), kNoLockHeld);
    EXPECT_TRUE(device_.writes.empty());
    EXPECT_EQ(device_.clears, 0);
    // WAITLOCK with lock_timeout 0 does not wait either.
    EXPECT_EQ(lock(c2, theirs, kWaitLock, 0), kLockedByAnother);
    // The holder goes on.
    EXPECT_EQ(write(c1, mine, "*IDN?\n", true).error, 0);
    EXPECT_EQ(whole_answer(c1, mine, 100), std::string(vxi11_test::kIdentity) + "\n");
    EXPECT_EQ(by_link(c1, kDeviceUnlock, mine), 0);
    EXPECT_EQ(device_.lockEvents, (std::vector<bool>{true, false}));
    EXPECT_EQ(write(c2, theirs, "*RST\n", true).error, 0);
}

TEST_F(DispatcherTest, WaitingForALock) {
    const ConnectionId c1 = dispatcher_.connect(Channel::core);
    const ConnectionId c2 = dispatcher_.connect(Channel::core);
    const ConnectionId abortChannel = dispatcher_.connect(Channel::abort);
    const std::int32_t mine = create_link(c1);
    const std::int32_t theirs = create_link(c2);
    ASSERT_EQ(lock(c1, mine), 0);

    // Parked until released: the wake names the connection, resume() runs it.
    const auto parked = run(c2, kDeviceLock, [&](XdrWriter& w) {
        w.i32(theirs);
        w.i32(kWaitLock);
        w.u32(5000);
    });
    EXPECT_EQ(parked.stat, 999u);  // no reply yet
    ASSERT_TRUE(last_.waiting);
    const std::uint32_t parkedXid = xid_;
    EXPECT_EQ(last_.until, now_ + std::chrono::milliseconds(5000));
    EXPECT_FALSE(dispatcher_.resume(c2, now_ + std::chrono::seconds(1)).reply);  // still held
    EXPECT_TRUE(woken_.empty());
    EXPECT_EQ(by_link(c1, kDeviceUnlock, mine), 0);
    EXPECT_EQ(woken_, (std::vector<ConnectionId>{c2}));
    auto done = taken(dispatcher_.resume(c2, now_ + std::chrono::seconds(2)));
    EXPECT_EQ(error_of(done), 0);
    EXPECT_EQ(done.xid, parkedXid);
    EXPECT_EQ(lock(c1, mine), kLockedByAnother);  // the lock went to the waiter

    // Its time runs out: 11.
    write(c1, mine, "*IDN?\n", true, kWaitLock, 300);
    ASSERT_TRUE(last_.waiting);
    EXPECT_FALSE(dispatcher_.resume(c1, now_ + std::chrono::milliseconds(299)).reply);
    const auto late = taken(dispatcher_.resume(c1, now_ + std::chrono::milliseconds(300)));
    EXPECT_EQ(error_of(late), kLockedByAnother);
    EXPECT_TRUE(device_.writes.empty());

    // Aborted on the abort channel: 23, at once.
    read(c1, mine, 10, {}, kWaitLock, 1000);
    ASSERT_TRUE(last_.waiting);
    woken_.clear();
    EXPECT_EQ(error_of(run(abortChannel, kDeviceAbort, [&](XdrWriter& w) { w.i32(mine); }, kAbortProgram)), 0);
    EXPECT_EQ(woken_, (std::vector<ConnectionId>{c1}));
    EXPECT_EQ(error_of(taken(dispatcher_.resume(c1, now_))), kAborted);

    // A connection that closes gives up its lock, and wakes the waiters.
    write(c1, mine, "*IDN?\n", true, kWaitLock, 10000);
    ASSERT_TRUE(last_.waiting);
    woken_.clear();
    dispatcher_.disconnect(c2);
    EXPECT_EQ(woken_, (std::vector<ConnectionId>{c1}));
    EXPECT_EQ(write(c1, mine, "", false).error, 0);  // a new call drops the parked one
    EXPECT_FALSE(dispatcher_.resume(c1, now_).reply);
    EXPECT_EQ(device_.writes.size(), 0u);

    // create_link with lockDevice waits like device_lock.
    const ConnectionId c3 = dispatcher_.connect(Channel::core);
    ASSERT_EQ(lock(c1, mine), 0);
    create_link(c3, "inst0", true, 1000);
    ASSERT_TRUE(last_.waiting);
    EXPECT_EQ(by_link(c1, kDestroyLink, mine), 0);  // frees the link and its lock
    const auto made = taken(dispatcher_.resume(c3, now_));
    XdrReader r(made.results);
    std::int32_t error = -1, lid = 0;
    r.i32(error);
    r.i32(lid);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(lock(c3, lid), kLockedByAnother);  // create_link took the lock
    EXPECT_EQ(by_link(c3, kDeviceUnlock, lid), 0);
}

TEST(IoSeconds, RoundsUpWithinBounds) {
    const std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>> cases = {
        {0, 3600, 1}, {1, 3600, 1}, {1000, 3600, 1}, {1001, 3600, 2}, {2000, 3600, 2},
        {0xffffffff, 3600, 3600}, {0xffffffff, 0, 1}, {4294967000, 5000000, 4294967},
    };
    for (const auto& [ms, max, seconds] : cases) EXPECT_EQ(io_seconds(ms, max), seconds) << ms;
}

}  // namespace
