#include <gtest/gtest.h>

#include <vector>

#include "xdr.h"

namespace {

using tavlib::gateway::vxi11::ByteView;
using tavlib::gateway::vxi11::Bytes;
using tavlib::gateway::vxi11::XdrReader;
using tavlib::gateway::vxi11::XdrWriter;

TEST(Xdr, WriterEncodesBigEndianAndPads) {
    XdrWriter w;
    w.u32(0x01020304);
    w.i32(-2);
    w.boolean(true);
    w.string("abcde");
    w.opaque(Bytes{});
    const Bytes expected{1, 2, 3, 4, 0xff, 0xff, 0xff, 0xfe, 0, 0, 0, 1, 0, 0, 0, 5,
                         'a', 'b', 'c', 'd', 'e', 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(w.bytes(), expected);
}

TEST(Xdr, ReaderRoundTrip) {
    XdrWriter w;
    w.u32(0xdeadbeef);
    w.i32(-7);
    w.boolean(false);
    w.string("inst0");
    w.opaque(Bytes{9, 8, 7, 6});
    XdrReader r(w.bytes());
    std::uint32_t u = 0;
    std::int32_t i = 0;
    bool b = true;
    std::string s;
    ByteView o;
    ASSERT_TRUE(r.u32(u) && r.i32(i) && r.boolean(b) && r.string(s, 16) && r.opaque(o, 4));
    EXPECT_EQ(u, 0xdeadbeefu);
    EXPECT_EQ(i, -7);
    EXPECT_FALSE(b);
    EXPECT_EQ(s, "inst0");
    EXPECT_EQ(Bytes(o.begin(), o.end()), (Bytes{9, 8, 7, 6}));
    EXPECT_EQ(r.remaining(), 0u);
}

// Inputs a reader must refuse, each read as one opaque<8>, string<8> or bool.
struct BadInput {
    const char* name;
    Bytes bytes;
    enum { opaque, string, boolean, u32 } item;
};

TEST(Xdr, RefusesShortOrBadInput) {
    const std::vector<BadInput> cases = {
        {"empty", {}, BadInput::u32},
        {"three bytes", {0, 0, 1}, BadInput::u32},
        {"bool 2", {0, 0, 0, 2}, BadInput::boolean},
        {"bool negative", {0xff, 0xff, 0xff, 0xff}, BadInput::boolean},
        {"opaque over its limit", {0, 0, 0, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0}, BadInput::opaque},
        {"opaque longer than the input", {0, 0, 0, 4, 1, 2}, BadInput::opaque},
        {"padding missing", {0, 0, 0, 5, 1, 2, 3, 4, 5}, BadInput::opaque},
        {"length that wraps when rounded up", {0xff, 0xff, 0xff, 0xff, 1, 2, 3, 4}, BadInput::opaque},
        {"string over its limit", {0, 0, 0, 9, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 0, 0, 0},
         BadInput::string},
    };
    for (const BadInput& c : cases) {
        XdrReader r(c.bytes);
        ByteView o;
        std::string s;
        bool b = false;
        std::uint32_t u = 0;
        bool read = false;
        switch (c.item) {
        case BadInput::opaque: read = r.opaque(o, 8); break;
        case BadInput::string: read = r.string(s, 8); break;
        case BadInput::boolean: read = r.boolean(b); break;
        case BadInput::u32: read = r.u32(u); break;
        }
        EXPECT_FALSE(read) << c.name;
        EXPECT_FALSE(r.ok()) << c.name;
        // Failed for good: not even a later well-formed item is read.
        EXPECT_FALSE(r.u32(u)) << c.name;
        EXPECT_TRUE(r.rest().empty()) << c.name;
    }
}

TEST(Xdr, OpaqueOfExactlyItsLimitAndNonZeroPaddingAreTaken) {
    const Bytes bytes{0, 0, 0, 3, 'x', 'y', 'z', 0x55};
    XdrReader r(bytes);
    std::string s;
    ASSERT_TRUE(r.string(s, 3));
    EXPECT_EQ(s, "xyz");
    EXPECT_EQ(r.remaining(), 0u);
}

}  // namespace
