// Each fault a device can be told to show, as a raw client sees it.
#include "sim_fixture.h"

#include <ostream>

namespace tavlib::sim::test {
namespace {

using Faults = SimTest;

// ---- completion with an error status --------------------------------------------

struct ErrorCase {
    const char* fault_text;
    std::uint32_t type;  // request that meets the fault
    std::uint32_t status;
};

std::ostream& operator<<(std::ostream& os, const ErrorCase& c) { return os << c.fault_text; }

class ErrorFault : public SimTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ErrorFault, CompletesWithTheCodeAndMovesNothing) {
    RawConnection c = connect(1);
    sim().push(1, "WAITING");
    sim().set_fault(1, GetParam().fault_text);
    switch (GetParam().type) {
        case kWrite: c.write(1, "*IDN?\r\n"); break;
        case kRead: c.read(1, 100); break;
        default: c.ioctl(1, kIoctlRecover); break;
    }
    const Completion done = c.expect();
    EXPECT_EQ(done.id, 1u);
    EXPECT_EQ(done.status, GetParam().status);
    EXPECT_EQ(done.count, 0u);
    EXPECT_TRUE(done.payload.empty());
    const SimStats stats = sim().stats(1);
    EXPECT_EQ(stats.value("output-messages"), 1u);  // neither read nor dropped
    EXPECT_EQ(stats.value("pending-commands") + stats.value("partial-bytes"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Requests, ErrorFault,
                         ::testing::Values(ErrorCase{"error 31", kWrite, 31}, ErrorCase{"error 1117", kRead, 1117},
                                           ErrorCase{"error 1167 on=read", kRead, 1167},
                                           ErrorCase{"error 5 on=ioctl", kIoctl, 5},
                                           ErrorCase{"recover-fail 1167", kIoctl, 1167}));

TEST_F(Faults, ErrorOnReadOnlyLeavesWritesAlone) {
    RawConnection c = connect(1);
    sim().set_fault(1, "error 31 on=read");
    c.write(1, "X\r\n");
    const Completion w = c.expect();
    EXPECT_EQ(w.status, 0u);
    EXPECT_EQ(w.count, 3u);
}

TEST_F(Faults, SkipAndTimesPickTheRequest) {
    RawConnection c = connect(1);
    sim().set_fault(1, "error 31 skip=1 times=1");
    std::vector<std::uint32_t> statuses;
    for (std::uint32_t id = 1; id <= 3; ++id) {
        c.write(id, "Z\r\n");
        statuses.push_back(c.expect().status);
    }
    EXPECT_EQ(statuses, (std::vector<std::uint32_t>{0, 31, 0}));
    EXPECT_TRUE(sim().command("faults 1").lines.empty());
}

TEST_F(Faults, ClearSwitchesOff) {
    RawConnection c = connect(1);
    sim().set_fault(1, "error 31");
    sim().set_fault(1, "zero-read");
    ASSERT_EQ(sim().command("faults 1").lines.size(), 2u);
    sim().clear_faults(1, "error");
    ASSERT_EQ(sim().command("faults 1").lines.size(), 1u);
    sim().clear_faults(1);
    c.write(1, "Q\r\n");
    EXPECT_EQ(c.expect().status, 0u);
}

// ---- partial write, zero read ------------------------------------------------------

TEST_F(Faults, PartialWriteTakesFewerBytes) {
    RawConnection c = connect(1);
    sim().set_fault(1, "partial-write 3 times=1");
    c.write(1, "*IDN?\r\n");
    const Completion partial = c.expect();
    EXPECT_EQ(partial.status, 0u);
    EXPECT_EQ(partial.count, 3u);
    EXPECT_EQ(sim().stats(1).value("partial-bytes"), 3u);  // "*ID" reached the instrument
    c.write(2, "N?\r\n");
    EXPECT_EQ(c.expect().count, 4u);
    c.read(3, 100);
    EXPECT_EQ(c.expect().payload, "VESPARO,ZQ907,SN000001,1.0.0\r\n");
}

TEST_F(Faults, ZeroReadCompletesEmptyAndKeepsTheOutput) {
    RawConnection c = connect(1);
    sim().push(1, "DATA");
    sim().set_fault(1, "zero-read times=1");
    c.read(1, 100);
    const Completion empty = c.expect();
    EXPECT_EQ(empty.status, 0u);
    EXPECT_EQ(empty.count, 0u);
    c.read(2, 100);
    EXPECT_EQ(c.expect().payload, "DATA\r\n");
}

// ---- malformed completions -------------------------------------------------------------

struct MalformedFaultCase {
    const char* fault_text;
    std::vector<std::string> messages;  // what a READ of capacity 10 of "DATA" gets, raw
};

std::ostream& operator<<(std::ostream& os, const MalformedFaultCase& c) { return os << c.fault_text; }

// The header of a completion of READ id 1 with the type and count given.
std::string completion_header(std::uint32_t type, std::uint32_t id, std::uint32_t count) {
    return wire::message({type, id, 0, count});
}

class MalformedFault : public SimTest, public ::testing::WithParamInterface<MalformedFaultCase> {};

TEST_P(MalformedFault, BreaksTheCompletionOnceAsItsWaySays) {
    RawConnection c = connect(1);
    sim().push(1, "DATA");
    sim().set_fault(1, GetParam().fault_text);
    c.read(1, 10);
    for (const std::string& want : GetParam().messages) EXPECT_EQ(c.next_raw(), want);
    EXPECT_TRUE(sim().command("faults 1").lines.empty());
    c.write(2, "X\r\n");  // the next request is answered as usual
    EXPECT_EQ(c.expect().count, 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, MalformedFault,
    ::testing::Values(
        MalformedFaultCase{"malformed 1 times=1", {completion_header(kComplete, 1, 11) + "DATA\r\n"}},
        MalformedFaultCase{"malformed 2 times=1", {completion_header(kComplete, 1, 6) + "DATA\r\nX"}},
        MalformedFaultCase{"malformed 3 times=1", {completion_header(0x7f, 1, 6) + "DATA\r\n"}},
        MalformedFaultCase{"malformed 4 times=1", {completion_header(kComplete, 1, 6).substr(0, 12)}},
        MalformedFaultCase{"malformed 5 times=1",
                      {completion_header(kComplete, 0x80000001u, 6) + "DATA\r\n",
                       completion_header(kComplete, 1, 6) + "DATA\r\n"}}));

// ---- delay ---------------------------------------------------------------------------

TEST_F(Faults, DelayedReadCanBeCancelledAndTakesNothing) {
    RawConnection c = connect(1);
    sim().push(1, "READY");
    sim().set_fault(1, "delay 600000 on=read");
    c.read(1, 100);
    sim().wait(1, "requests=1");
    EXPECT_FALSE(c.has_message_now());
    c.cancel(1);
    const Completion done = c.expect();
    EXPECT_EQ(done.status, 995u);
    EXPECT_EQ(done.count, 0u);
    EXPECT_EQ(sim().stats(1).value("output-messages"), 1u);
}

TEST_F(Faults, DelayedWriteCompletesLaterInFull) {
    RawConnection c = connect(1);
    sim().set_fault(1, "delay 20 times=1");
    c.write(1, "*IDN?\r\n");
    c.read(2, 100);  // not delayed: times=1 was used by the WRITE
    const Completion w = c.expect();
    EXPECT_EQ(w.id, 1u);
    EXPECT_EQ(w.count, 7u);
    EXPECT_EQ(c.expect().payload, "VESPARO,ZQ907,SN000001,1.0.0\r\n");
}

TEST_F(Faults, DelayedWriteCancelledNeverReachesTheInstrument) {
    RawConnection c = connect(1);
    sim().set_fault(1, "delay 600000 on=write");
    c.write(1, "*IDN?\r\n");
    c.cancel(1);
    EXPECT_EQ(c.expect().status, 995u);
    const SimStats stats = sim().stats(1);
    EXPECT_EQ(stats.value("partial-bytes") + stats.value("pending-commands") + stats.value("output-messages"), 0u);
    EXPECT_EQ(stats.value("bytes-written"), 0u);
}

// ---- cancel ignored --------------------------------------------------------------------

TEST_F(Faults, IgnoredCancelLetsTheRequestFinishNormally) {
    RawConnection c = connect(1);
    sim().set_fault(1, "cancel-ignore 600000");
    c.read(1, 100);
    c.cancel(1);
    sim().wait(1, "requests=2");
    EXPECT_FALSE(c.has_message_now());
    sim().push(1, "LATE");
    const Completion done = c.expect();
    EXPECT_EQ(done.status, 0u);
    EXPECT_EQ(done.payload, "LATE\r\n");
}

TEST_F(Faults, IgnoredCancelIsHonouredLaterOnce) {
    RawConnection c = connect(1);
    sim().set_fault(1, "cancel-ignore 20");
    c.read(1, 100);
    c.cancel(1);
    const Completion done = c.expect();
    EXPECT_EQ(done.id, 1u);
    EXPECT_EQ(done.status, 995u);
    sim().push(1, "NEXT");
    c.read(2, 100);
    const Completion next = c.expect();  // not a second completion of id 1
    EXPECT_EQ(next.id, 2u);
    EXPECT_EQ(next.payload, "NEXT\r\n");
}

// ---- dropped connection -------------------------------------------------------------------

TEST_F(Faults, DropClosesAtTheNextRequest) {
    RawConnection victim = connect(1);
    RawConnection other = connect(1);
    victim.write(1, "A\r\n");
    EXPECT_EQ(victim.expect().status, 0u);
    victim.read(2, 100);
    EXPECT_EQ(victim.expect().payload, "A\r\n");
    victim.read(3, 100);  // outstanding when the connection goes
    sim().wait(1, "reads-pending=1");
    sim().set_fault(1, "drop on=write times=1");
    victim.write(4, "B\r\n");
    EXPECT_TRUE(victim.closed_by_peer());
    other.write(1, "C\r\n");  // times=1: the fault is used up
    EXPECT_EQ(other.expect().status, 0u);
    const SimStats stats = sim().stats(1);
    EXPECT_EQ(stats.value("reads-pending"), 0u);
    bool dropped = false;
    for (const SimEvent& e : stats.events) dropped = dropped || (e.kind == SimEvent::Kind::kClose && e.reason == "dropped");
    EXPECT_TRUE(dropped);
    EXPECT_EQ(stats.completions("WRITE").size(), 2u);  // A and C; B never completes
}

// ---- an instrument that never names itself ---------------------------------------------------

TEST_F(Faults, NoIdentityAnswersEverythingButTheIdentityQuery) {
    RawConnection c = connect(1);
    sim().set_fault(1, "no-idn");
    c.write(1, "*IDN?\r\n");
    c.expect();
    c.read(2, 100);
    sim().wait(1, "reads-pending=1");
    EXPECT_FALSE(c.has_message_now());
    c.write(3, "HELLO\r\n");
    const Completion w = c.expect();
    EXPECT_EQ(w.id, 3u);
    const Completion r = c.expect();
    EXPECT_EQ(r.id, 2u);
    EXPECT_EQ(r.payload, "HELLO\r\n");
}

TEST_F(Faults, ChangedIdentity) {
    RawConnection c = connect(1);
    sim().set_identity(1, "OTHER,MAKER,1,2");
    c.write(1, "*IDN?\r\n");
    c.expect();
    c.read(2, 100);
    EXPECT_EQ(c.expect().payload, "OTHER,MAKER,1,2\r\n");
}

}  // namespace
}  // namespace tavlib::sim::test
