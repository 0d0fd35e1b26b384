#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "calls.h"
#include "rpc.h"

namespace {

using tavlib::gateway::vxi11::ByteView;
using tavlib::gateway::vxi11::Bytes;
using namespace tavlib::gateway::vxi11::rpc;
using vxi11_test::call_message;
using vxi11_test::parse_reply;

Bytes mark(std::uint32_t length, bool last) {
    const std::uint32_t word = length | (last ? kLastFragment : 0);
    return {static_cast<std::uint8_t>(word >> 24), static_cast<std::uint8_t>(word >> 16),
            static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word)};
}

// A record of `size` bytes cut into fragments of the given sizes.
Bytes fragments(const std::vector<std::uint32_t>& sizes, std::uint8_t fill) {
    Bytes stream;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const Bytes m = mark(sizes[i], i + 1 == sizes.size());
        stream.insert(stream.end(), m.begin(), m.end());
        stream.insert(stream.end(), sizes[i], fill);
    }
    return stream;
}

struct IntakeCase {
    const char* name;
    std::vector<std::uint32_t> sizes;  // fragments of one record
    std::size_t maxRecord;
    bool fails;
};

TEST(RecordIntake, ReassemblesFragmentsAndRefusesOversizedRecords) {
    const std::vector<IntakeCase> cases = {
        {"one fragment", {10}, 64, false},
        {"three fragments", {3, 0, 7}, 64, false},
        {"exactly the limit", {32, 32}, 64, false},
        {"empty record", {0}, 64, false},
        {"one fragment over the limit", {65}, 64, true},
        {"fragments over the limit together", {40, 25}, 64, true},
        {"a mark announcing 2 GiB", {0x7fffffff}, 64, true},
    };
    for (const IntakeCase& c : cases) {
        std::uint32_t total = 0;
        for (const std::uint32_t s : c.sizes) total += c.fails ? 0 : s;
        const Bytes stream = c.sizes.front() == 0x7fffffff ? mark(0x7fffffff, true) : fragments(c.sizes, 0xab);
        // Whole, and a byte at a time: the same outcome.
        for (const std::size_t piece : {stream.size(), std::size_t{1}}) {
            RecordIntake intake(c.maxRecord);
            for (std::size_t at = 0; at < stream.size(); at += piece)
                intake.feed(ByteView(stream).subspan(at, std::min(piece, stream.size() - at)));
            const auto record = intake.next();
            EXPECT_EQ(intake.failed(), c.fails) << c.name << " piece " << piece;
            if (c.fails) {
                EXPECT_FALSE(record) << c.name;
                EXPECT_FALSE(intake.failure().empty()) << c.name;
            } else {
                ASSERT_TRUE(record) << c.name << " piece " << piece;
                EXPECT_EQ(*record, Bytes(total, 0xab)) << c.name;
                EXPECT_FALSE(intake.partial()) << c.name;
            }
        }
    }
}

TEST(RecordIntake, KeepsRecordsApartAndTellsATruncatedEnd) {
    Bytes stream = fragments({4}, 1);
    const Bytes second = fragments({2, 2}, 2);
    stream.insert(stream.end(), second.begin(), second.end());
    const Bytes cut = fragments({8}, 3);
    stream.insert(stream.end(), cut.begin(), cut.begin() + 6);  // mark and 2 of 8 bytes
    RecordIntake intake(64);
    intake.feed(stream);
    EXPECT_EQ(intake.next(), Bytes(4, 1));
    EXPECT_EQ(intake.next(), Bytes(4, 2));
    EXPECT_FALSE(intake.next());
    EXPECT_TRUE(intake.partial());
    EXPECT_FALSE(intake.failed());

    RecordIntake halfMark(64);
    halfMark.feed(Bytes{0x80, 0});
    EXPECT_TRUE(halfMark.partial());
}

Bytes with_auth(std::uint32_t credFlavor, std::uint32_t credLength, std::uint32_t verfFlavor) {
    tavlib::gateway::vxi11::XdrWriter w;
    for (const std::uint32_t word : {7u, 0u, 2u, 0x0607AFu, 1u, 10u, credFlavor, credLength}) w.u32(word);
    for (std::uint32_t i = 0; i < tavlib::gateway::vxi11::xdr_padded(credLength) / 4; ++i) w.u32(0);
    w.u32(verfFlavor);
    w.u32(0);
    w.u32(0x11223344);  // the first word of the arguments
    return w.take();
}

struct HeaderCase {
    const char* name;
    Bytes message;
    CallCheck check;
    std::optional<std::uint32_t> replyStat;  // of header_reply, when one is due
};

TEST(CallHeader, ParsesOrNamesTheAnswer) {
    Bytes reply = call_message(5, 1, 1, 1);
    reply[7] = 1;  // a REPLY message, not a CALL
    Bytes badVersion = call_message(5, 0x0607AF, 1, 10);
    badVersion[11] = 3;
    Bytes shortHeader = call_message(5, 0x0607AF, 1, 10);
    shortHeader.resize(30);
    const std::vector<HeaderCase> cases = {
        {"AUTH_NONE", with_auth(kAuthNone, 0, kAuthNone), CallCheck::ok, std::nullopt},
        {"AUTH_SYS with a body", with_auth(kAuthSys, 52, kAuthNone), CallCheck::ok, std::nullopt},
        {"credentials of 400 bytes", with_auth(kAuthSys, 400, kAuthNone), CallCheck::ok, std::nullopt},
        {"credentials over 400 bytes", with_auth(kAuthSys, 404, kAuthNone), CallCheck::malformed, std::nullopt},
        {"an unknown credential flavour", with_auth(6, 0, kAuthNone), CallCheck::bad_cred, 101},
        {"an unknown verifier flavour", with_auth(kAuthNone, 0, 6), CallCheck::bad_verf, 101},
        {"rpcvers 3", badVersion, CallCheck::rpc_mismatch, 100},
        {"a reply", reply, CallCheck::ignore, std::nullopt},
        {"three bytes", Bytes{0, 0, 0}, CallCheck::ignore, std::nullopt},
        {"cut in the credentials", shortHeader, CallCheck::malformed, std::nullopt},
    };
    for (const HeaderCase& c : cases) {
        const Call call = parse_call(c.message);
        EXPECT_EQ(call.check, c.check) << c.name;
        const auto answer = header_reply(call, false);
        EXPECT_EQ(answer.has_value(), c.replyStat.has_value()) << c.name;
        if (answer && c.replyStat) {
            const auto view = parse_reply(*answer, false);
            ASSERT_TRUE(view) << c.name;
            EXPECT_EQ(view->xid, call.header.xid) << c.name;
            EXPECT_EQ(view->stat, *c.replyStat) << c.name;
        }
        if (c.check == CallCheck::ok) {
            EXPECT_EQ(call.header.prog, 0x0607AFu);
            EXPECT_EQ(call.header.proc, 10u);
            ASSERT_EQ(call.args.size(), 4u) << c.name;
            EXPECT_EQ(call.args[0], 0x11);
        }
    }
}

TEST(Replies, EncodeAsTheProtocolSays) {
    // xid 9, REPLY, MSG_DENIED, RPC_MISMATCH 2..2, one fragment of 24 bytes.
    const Bytes denied{0x80, 0, 0, 24, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 1,
                       0,    0, 0, 0,  0, 0, 0, 2, 0, 0, 0, 2};
    EXPECT_EQ(rpc_mismatch_reply(9, true), denied);
    // xid 9, REPLY, MSG_ACCEPTED, AUTH_NONE verifier, PROG_MISMATCH 1..1.
    const Bytes mismatch{0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                         0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(prog_mismatch_reply(9, 1, 1, false), mismatch);
    for (const AcceptStat stat : {kProgUnavail, kProcUnavail, kGarbageArgs, kSystemErr}) {
        const auto view = parse_reply(accepted_reply(3, stat, true), true);
        ASSERT_TRUE(view);
        EXPECT_EQ(view->stat, stat);
        EXPECT_TRUE(view->results.empty());
    }
    Reply reply(4, true);
    reply.body().u32(77);
    const Bytes framed = reply.finish();
    EXPECT_EQ(framed.size(), 4u + 28u);
    EXPECT_EQ(framed[3], 28);
    EXPECT_EQ(framed[0], 0x80);
}

}  // namespace
