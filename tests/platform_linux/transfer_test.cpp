// Overlapped transfers, control requests, cancellation, events and the small
// services of the Linux backend, against a driver the test scripts.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <tuple>
#include <thread>
#include <vector>

#include "platform/linux/pump.h"
#include "platform/win32_errors.h"
#include "scripted_driver.h"

namespace tavtest {
namespace {

namespace err = tavlib::win32_error;
constexpr pf::Word kRecover = tavlib::driver::kIoctlRecover;

class Transfers : public ::testing::Test {
protected:
    ~Transfers() override {
        pf::CloseHandle(handle);
        pf::CloseHandle(event);
        pf::CloseHandle(pendingEvent);
    }

    pf::Overlapped record() const {
        pf::Overlapped r{};
        r.hEvent = event;
        return r;
    }

    // From here on the connection receives large READs' payloads in place
    // rather than through its spill buffer (pump.h): a large payload has
    // come, and a large READ stays outstanding.  Its record is `pending`.
    void receive_in_place() {
        const pf::Word capacity = wire::kMaxTransfer;
        const auto size = static_cast<pf::Word>(4 * tavlib::platform::linux_backend::kCopyLimit);
        large.assign(capacity, '\0');
        pf::Overlapped r = record();
        pf::ReadFile(handle, large.data(), capacity, nullptr, &r);
        driver.complete(driver.receive().id, 0, size, std::string(size, 'L'));
        pf::Word n = 0;
        ASSERT_TRUE(pf::GetOverlappedResult(handle, &r, &n, true));
        ASSERT_EQ(n, size);
        pending.hEvent = pendingEvent;
        pf::ReadFile(handle, large.data(), capacity, nullptr, &pending);
        ASSERT_EQ(driver.receive().type, wire::kRead);
    }

    RuntimeDir runtime;
    DriverSocket device{runtime.interfaces(), "dev-0"};
    pf::Handle handle = open_device(device.path());
    DriverConnection driver{device.accept()};
    pf::Handle event = pf::CreateEventA(nullptr, true, false, nullptr);
    // For receive_in_place; ended by the handle's close.
    pf::Handle pendingEvent = pf::CreateEventA(nullptr, true, false, nullptr);
    pf::Overlapped pending{};
    std::string large;
};

// The two ways a message's payload is received (pump.h).
enum class Way { kSpill, kInPlace };

std::string way_name(Way way) { return way == Way::kSpill ? "ThroughTheSpill" : "InPlace"; }

TEST_F(Transfers, EveryStartIsPendingAndSendsItsRequestWithAFreshId) {
    ASSERT_FALSE(pf::is_invalid(handle));
    pf::Overlapped write = record();
    pf::Word n = 99;
    pf::SetLastError(0);
    EXPECT_FALSE(pf::WriteFile(handle, "hello", 5, &n, &write));
    EXPECT_EQ(pf::GetLastError(), err::kIoPending);
    EXPECT_EQ(write.Internal, pf::kStatusPending);
    const Message sent = driver.receive();
    EXPECT_EQ(sent.type, wire::kWrite);
    EXPECT_EQ(sent.arg, 5u);
    EXPECT_EQ(sent.payload, "hello");

    std::vector<char> big(wire::kMaxTransfer);
    std::vector<std::uint32_t> ids{sent.id};
    for (const pf::Word capacity : {pf::Word{0}, pf::Word{wire::kMaxTransfer}}) {
        const pf::Handle own = pf::CreateEventA(nullptr, true, false, nullptr);
        pf::Overlapped read{};
        read.hEvent = own;
        pf::SetLastError(0);
        EXPECT_FALSE(pf::ReadFile(handle, big.data(), capacity, &n, &read));
        EXPECT_EQ(pf::GetLastError(), err::kIoPending);
        const Message m = driver.receive();
        EXPECT_EQ(m.type, wire::kRead);
        EXPECT_EQ(m.arg, capacity);
        EXPECT_TRUE(m.payload.empty());
        ids.push_back(m.id);
        pf::CloseHandle(own);
    }
    EXPECT_EQ(std::set<std::uint32_t>(ids.begin(), ids.end()).size(), ids.size());
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 0u), 0);
    // The write is still outstanding: end it while its record lives.
    EXPECT_TRUE(pf::CloseHandle(handle));
    EXPECT_EQ(write.Internal, err::kOperationAborted);
}

TEST_F(Transfers, SizesOutsideTheWireLimitsAreRefusedWithoutSending) {
    std::vector<char> big(wire::kMaxTransfer + 1);
    const struct {
        bool write;
        pf::Word size;
    } cases[] = {{true, 0}, {true, wire::kMaxTransfer + 1}, {false, wire::kMaxTransfer + 1}};
    for (const auto& c : cases) {
        pf::Overlapped r = record();
        pf::SetLastError(0);
        const bool started = c.write ? pf::WriteFile(handle, big.data(), c.size, nullptr, &r)
                                     : pf::ReadFile(handle, big.data(), c.size, nullptr, &r);
        EXPECT_FALSE(started) << c.write << " " << c.size;
        EXPECT_EQ(pf::GetLastError(), err::kInvalidParameter);
    }
    EXPECT_TRUE(driver.idle());
}

TEST_F(Transfers, ReadPayloadLandsOnlyAsTheCompletionIsTakenIn) {
    std::string buffer(16, '#');
    pf::Overlapped r = record();
    pf::ReadFile(handle, buffer.data(), 8, nullptr, &r);
    driver.complete(driver.receive().id, 0, 5, "abcde");
    EXPECT_EQ(buffer, std::string(16, '#'));  // nobody has read the socket yet

    EXPECT_EQ(pf::WaitForSingleObject(event, kGuardMilliseconds), pf::kWaitObject0);
    pf::Word n = 0;
    EXPECT_TRUE(pf::GetOverlappedResult(handle, &r, &n, false));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(buffer, "abcde" + std::string(11, '#'));
}

TEST_F(Transfers, ResultIsIncompleteWhileOutstandingThenCarriesStatusAndCount) {
    char buffer[8];
    pf::Overlapped r = record();
    pf::ReadFile(handle, buffer, sizeof buffer, nullptr, &r);
    const Message read = driver.receive();
    pf::Word n = 7;
    EXPECT_FALSE(pf::GetOverlappedResult(handle, &r, &n, false));
    EXPECT_EQ(pf::GetLastError(), err::kIoIncomplete);
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), pf::kWaitTimeout);

    driver.complete(read.id, err::kGenFailure, 0);
    EXPECT_FALSE(pf::GetOverlappedResult(handle, &r, &n, true));
    EXPECT_EQ(pf::GetLastError(), err::kGenFailure);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), pf::kWaitObject0);

    // A write the device took only in part reports the part.
    pf::Overlapped w = record();
    pf::WriteFile(handle, "abcd", 4, nullptr, &w);
    EXPECT_EQ(pf::WaitForSingleObject(event, 0), pf::kWaitTimeout);  // the start reset it
    driver.complete(driver.receive().id, 0, 2);
    EXPECT_TRUE(pf::GetOverlappedResult(handle, &w, &n, true));
    EXPECT_EQ(n, 2u);
}

struct FaultCase {
    const char* name;
    bool read;
    pf::Word size;  // capacity or bytes to write
    std::string (*reply)(std::uint32_t id);
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class ProtocolFaults : public Transfers,
                       public ::testing::WithParamInterface<std::tuple<FaultCase, Way>> {};

TEST_P(ProtocolFaults, FailTheRequestWithIoDeviceAndWriteNothing) {
    const auto& [c, way] = GetParam();
    if (way == Way::kInPlace) receive_in_place();
    std::string buffer(64, '#');
    pf::Overlapped r = record();
    if (c.read)
        pf::ReadFile(handle, buffer.data(), c.size, nullptr, &r);
    else
        pf::WriteFile(handle, "abcdefgh", c.size, nullptr, &r);
    driver.send(c.reply(driver.receive().id));

    EXPECT_EQ(pf::WaitForSingleObject(event, kGuardMilliseconds), pf::kWaitObject0);
    pf::Word n = 0;
    EXPECT_FALSE(pf::GetOverlappedResult(handle, &r, &n, false));
    EXPECT_EQ(pf::GetLastError(), err::kIoDevice);
    EXPECT_EQ(buffer, std::string(64, '#'));

    // The connection itself goes on.
    pf::Overlapped next = record();
    pf::WriteFile(handle, "x", 1, nullptr, &next);
    driver.complete(driver.receive().id, 0, 1);
    EXPECT_TRUE(pf::GetOverlappedResult(handle, &next, &n, true));
}

// A successful completion of request `id`.
std::string completion(std::uint32_t id, std::uint32_t count, std::string_view payload = {}) {
    return wire::message({wire::kComplete, id, 0, count}, payload);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProtocolFaults,
    ::testing::Combine(::testing::Values(
        FaultCase{"ReadCountAboveCapacity", true, 4,
                  [](std::uint32_t id) { return completion(id, 8, "ABCDEFGH"); }},
        FaultCase{"PayloadLongerThanCount", true, 8,
                  [](std::uint32_t id) { return completion(id, 4, "ABCDEF"); }},
        FaultCase{"PayloadShorterThanCount", true, 8,
                  [](std::uint32_t id) { return completion(id, 6, "ABCD"); }},
        FaultCase{"PayloadBeyondAnyTransfer", true, 8,
                  [](std::uint32_t id) {
                      return completion(id, 8, std::string(wire::kMaxTransfer + 8, 'A'));
                  }},
        FaultCase{"ShorterThanItsHeader", true, 8,
                  [](std::uint32_t id) { return completion(id, 0).substr(0, 12); }},
        FaultCase{"NotACompletion", true, 8,
                  [](std::uint32_t id) { return wire::message({wire::kRead, id, 0, 4}, "ABCD"); }},
        FaultCase{"WriteCountAboveRequest", false, 4,
                  [](std::uint32_t id) { return completion(id, 5); }},
        FaultCase{"WriteCompletionWithPayload", false, 4,
                  [](std::uint32_t id) { return completion(id, 4, "ABCD"); }}),
                       ::testing::Values(Way::kSpill, Way::kInPlace)),
    [](const auto& param) {
        return std::string(std::get<0>(param.param).name) + way_name(std::get<1>(param.param));
    });

class StrayMessages : public Transfers, public ::testing::WithParamInterface<Way> {};

TEST_P(StrayMessages, ACompletionForAnUnknownIdAndAnEmptyMessageAreDropped) {
    if (GetParam() == Way::kInPlace) receive_in_place();
    std::string buffer(8, '#');
    pf::Overlapped r = record();
    pf::ReadFile(handle, buffer.data(), 8, nullptr, &r);
    const Message read = driver.receive();
    driver.complete(read.id + 1000, 0, 4, "ABCD");
    driver.send("");
    pf::Word n = 0;
    for (int taken = 0; taken < 2; ++taken) {  // each call takes one in and drops it
        EXPECT_FALSE(pf::GetOverlappedResult(handle, &r, &n, false));
        EXPECT_EQ(pf::GetLastError(), err::kIoIncomplete);
    }
    EXPECT_EQ(buffer, std::string(8, '#'));

    driver.complete(read.id, 0, 2, "ok");
    EXPECT_TRUE(pf::GetOverlappedResult(handle, &r, &n, true));
    EXPECT_EQ(buffer, "ok" + std::string(6, '#'));
}

INSTANTIATE_TEST_SUITE_P(Ways, StrayMessages, ::testing::Values(Way::kSpill, Way::kInPlace),
                         [](const auto& param) { return way_name(param.param); });

class DriverGone : public Transfers, public ::testing::WithParamInterface<bool> {};

TEST_P(DriverGone, FailsOutstandingAndLaterRequestsWithDeviceNotConnected) {
    const bool whileOutstanding = GetParam();
    char buffer[8];
    pf::Overlapped r = record();
    pf::Word n = 0;
    if (whileOutstanding) {
        pf::ReadFile(handle, buffer, sizeof buffer, nullptr, &r);
        driver.receive();
    }
    driver.close();
    if (whileOutstanding) {
        EXPECT_EQ(pf::WaitForSingleObject(event, kGuardMilliseconds), pf::kWaitObject0);
        EXPECT_FALSE(pf::GetOverlappedResult(handle, &r, &n, false));
        EXPECT_EQ(pf::GetLastError(), err::kDeviceNotConnected);
    }
    for (int round = 0; round < 2; ++round) {
        pf::Overlapped later = record();
        EXPECT_FALSE(pf::WriteFile(handle, "x", 1, nullptr, &later));
        EXPECT_EQ(pf::GetLastError(), err::kDeviceNotConnected);
        EXPECT_FALSE(pf::ReadFile(handle, buffer, sizeof buffer, nullptr, &later));
        EXPECT_EQ(pf::GetLastError(), err::kDeviceNotConnected);
        EXPECT_FALSE(pf::DeviceIoControl(handle, kRecover, nullptr, 0, nullptr, 0, &n, nullptr));
        EXPECT_EQ(pf::GetLastError(), err::kDeviceNotConnected);
    }
    EXPECT_TRUE(pf::CloseHandle(handle));
}

INSTANTIATE_TEST_SUITE_P(When, DriverGone, ::testing::Values(true, false),
                         [](const auto& param) {
                             return param.param ? "WhileARequestIsOutstanding"
                                                : "BeforeTheNextRequest";
                         });

TEST_F(Transfers, CancelIoCancelsOnlyTheCallingThreadsRequests) {
    char mine[8], theirs[8];
    pf::Overlapped myRecord = record();
    const pf::Handle theirEvent = pf::CreateEventA(nullptr, true, false, nullptr);
    pf::Overlapped theirRecord{};
    theirRecord.hEvent = theirEvent;

    pf::ReadFile(handle, mine, 8, nullptr, &myRecord);
    const Message myRead = driver.receive();
    std::thread([&] { pf::ReadFile(handle, theirs, 8, nullptr, &theirRecord); }).join();
    const Message theirRead = driver.receive();

    EXPECT_TRUE(pf::CancelIo(handle));
    const Message cancel = driver.receive();
    EXPECT_EQ(cancel.type, wire::kCancel);
    EXPECT_EQ(cancel.id, myRead.id);
    EXPECT_TRUE(driver.idle());

    driver.complete(myRead.id, err::kOperationAborted, 0);
    driver.complete(theirRead.id, 0, 1, "z");
    pf::Word n = 0;
    EXPECT_FALSE(pf::GetOverlappedResult(handle, &myRecord, &n, true));
    EXPECT_EQ(pf::GetLastError(), err::kOperationAborted);
    EXPECT_TRUE(pf::GetOverlappedResult(handle, &theirRecord, &n, true));
    EXPECT_EQ(n, 1u);

    EXPECT_TRUE(pf::CancelIo(handle));  // nothing left to cancel
    EXPECT_TRUE(driver.idle());
    pf::CloseHandle(theirEvent);
}

class ControlRequest : public Transfers, public ::testing::WithParamInterface<pf::Word> {};

TEST_P(ControlRequest, BlocksUntilItsCompletionAndReportsItsStatus) {
    const pf::Word status = GetParam();
    Message seen;
    std::thread responder([&] {
        seen = driver.receive();
        driver.complete(seen.id, status, 0);
    });
    pf::Word returned = 77;
    pf::SetLastError(0);
    const bool ok = pf::DeviceIoControl(handle, kRecover, nullptr, 0, nullptr, 0, &returned, nullptr);
    const pf::Word code = pf::GetLastError();
    responder.join();
    EXPECT_EQ(seen.type, wire::kIoctl);
    EXPECT_EQ(seen.arg, kRecover);
    EXPECT_EQ(ok, status == 0);
    EXPECT_EQ(code, status);
    EXPECT_EQ(returned, 0u);
}

INSTANTIATE_TEST_SUITE_P(Statuses, ControlRequest,
                         ::testing::Values(0u, err::kInvalidFunction, err::kGenFailure));

// Whichever thread receives, each READ gets its own bytes.  Large and short
// answers, in turns in either order, make the receives go both ways (pump.h):
// a large answer after a short one through the spill, a large one after a
// large one in place, and short ones after either.
TEST_F(Transfers, ThreadsOnOneHandleEachGetTheirOwnCompletion) {
    const pf::Word capacity = wire::kMaxTransfer - 8;
    for (int round = 0; round < 20; ++round) {
        std::string results[2];
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&, t] {
                const pf::Handle own = pf::CreateEventA(nullptr, false, false, nullptr);
                pf::Overlapped r{};
                r.hEvent = own;
                std::string buffer(capacity, '#');
                pf::ReadFile(handle, buffer.data(), capacity + t, nullptr, &r);
                pf::Word n = 0;
                if (pf::WaitForSingleObject(own, pf::kInfinite) == pf::kWaitObject0 &&
                    pf::GetOverlappedResult(handle, &r, &n, false))
                    results[t].assign(buffer.data(), n);
                pf::CloseHandle(own);
            });
        }
        // Each answer names its capacity; the one to the first READ is large.
        const Message first = driver.receive();
        const Message second = driver.receive();
        const auto answer = [&](const Message& m) {
            return std::to_string(m.arg).append(m.id == first.id ? 6000 : 2, 'c');
        };
        for (const Message& m : round % 2 == 0 ? std::vector{first, second} : std::vector{second, first})
            driver.complete(m.id, 0, static_cast<std::uint32_t>(answer(m).size()), answer(m));
        for (auto& t : threads) t.join();
        const bool firstIsThread0 = first.arg == capacity;
        EXPECT_EQ(results[0], answer(firstIsThread0 ? first : second)) << round;
        EXPECT_EQ(results[1], answer(firstIsThread0 ? second : first)) << round;
    }
}

TEST_F(Transfers, WaitsTakeLongTimeOutsAndCloseReleasesEveryWaiter) {
    char buffer[8];
    pf::Overlapped r = record();
    pf::ReadFile(handle, buffer, 8, nullptr, &r);
    driver.complete(driver.receive().id, 0, 1, "x");
    EXPECT_EQ(pf::WaitForSingleObject(event, 3'600'000'000u), pf::kWaitObject0);

    // A transfer and a control request that the driver never answers.
    pf::ReadFile(handle, buffer, 8, nullptr, &r);
    driver.receive();
    std::atomic<pf::Word> waited{99};
    std::atomic<pf::Word> controlCode{99};
    std::thread waiter([&] { waited = pf::WaitForSingleObject(event, 3'600'000'000u); });
    std::thread controller([&] {
        pf::Word n = 0;
        if (!pf::DeviceIoControl(handle, kRecover, nullptr, 0, nullptr, 0, &n, nullptr))
            controlCode = pf::GetLastError();
    });
    EXPECT_EQ(driver.receive().type, wire::kIoctl);
    EXPECT_TRUE(pf::CloseHandle(handle));
    waiter.join();
    controller.join();
    EXPECT_EQ(waited, pf::kWaitObject0);
    EXPECT_EQ(r.Internal, err::kOperationAborted);
    EXPECT_EQ(controlCode, err::kOperationAborted);
}

TEST_F(Transfers, LateCompletionsAfterTheBufferIsFreedOrTheEventClosedWriteNowhere) {
    // The scratch buffer is freed while its READ still runs.
    auto* scratch = static_cast<char*>(pf::GlobalAlloc(pf::kGmemFixed, 64));
    pf::Overlapped r = record();
    pf::ReadFile(handle, scratch, 64, nullptr, &r);
    const Message freed = driver.receive();
    pf::GlobalFree(scratch);
    driver.complete(freed.id, 0, 4, "late");
    pf::Word n = 0;
    EXPECT_TRUE(pf::GetOverlappedResult(handle, &r, &n, true));

    // The record and its event go away while the READ still runs.
    auto record2 = std::make_unique<pf::Overlapped>();
    record2->hEvent = pf::CreateEventA(nullptr, true, false, nullptr);
    char buffer[8];
    pf::ReadFile(handle, buffer, 8, nullptr, record2.get());
    const Message orphan = driver.receive();
    pf::CloseHandle(record2->hEvent);
    record2.reset();
    driver.complete(orphan.id, 0, 4, "gone");

    // Another request's wait takes both completions in.
    pf::Overlapped last = record();
    pf::WriteFile(handle, "x", 1, nullptr, &last);
    driver.complete(driver.receive().id, 0, 1);
    EXPECT_TRUE(pf::GetOverlappedResult(handle, &last, &n, true));
}

TEST(Events, ResetModesAndInitialStates) {
    const struct {
        bool manual, initial;
        pf::Word first, second;
    } cases[] = {{true, true, pf::kWaitObject0, pf::kWaitObject0},
                 {false, true, pf::kWaitObject0, pf::kWaitTimeout},
                 {true, false, pf::kWaitTimeout, pf::kWaitTimeout},
                 {false, false, pf::kWaitTimeout, pf::kWaitTimeout}};
    for (const auto& c : cases) {
        const pf::Handle e = pf::CreateEventA(nullptr, c.manual, c.initial, nullptr);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(pf::WaitForSingleObject(e, 0), c.first) << c.manual << c.initial;
        EXPECT_EQ(pf::WaitForSingleObject(e, 0), c.second) << c.manual << c.initial;
        EXPECT_TRUE(pf::CloseHandle(e));
    }
    EXPECT_EQ(pf::CreateEventA(nullptr, true, false, "named"), nullptr);
    EXPECT_EQ(pf::GetLastError(), 120u);
}

TEST(Services, GlobalHeapTextAndProcessId) {
    void* memory = pf::GlobalAlloc(pf::kGmemFixed, 100);
    EXPECT_NE(memory, nullptr);
    EXPECT_EQ(pf::GlobalFree(memory), nullptr);
    EXPECT_EQ(pf::GlobalAlloc(0x2 /* movable */, 10), nullptr);
    EXPECT_EQ(pf::GetLastError(), err::kInvalidParameter);
#if !defined(__SANITIZE_ADDRESS__)
    // Beyond any address space (half of it can be had on 32-bit).
    EXPECT_EQ(pf::GlobalAlloc(pf::kGmemFixed, std::numeric_limits<std::size_t>::max() - 4095), nullptr);
    EXPECT_EQ(pf::GetLastError(), err::kNotEnoughMemory);
#endif

    char text[16] = "ab";
    EXPECT_EQ(pf::lstrlenA(nullptr), 0);
    EXPECT_EQ(pf::lstrcatA(text, "cd"), text);
    EXPECT_EQ(pf::lstrlenA(text), 4);
    EXPECT_EQ(pf::lstrcpyA(text, "xyz"), text);
    EXPECT_STREQ(text, "xyz");
    for (const auto& call : {+[](char* t) { return pf::lstrcpyA(t, nullptr); },
                             +[](char*) { return pf::lstrcpyA(nullptr, "a"); },
                             +[](char* t) { return pf::lstrcatA(t, nullptr); },
                             +[](char*) { return pf::lstrcatA(nullptr, "a"); }}) {
        pf::SetLastError(0);
        EXPECT_EQ(call(text), nullptr);
        EXPECT_EQ(pf::GetLastError(), err::kNoAccess);
    }
    EXPECT_STREQ(text, "xyz");
    EXPECT_EQ(pf::GetCurrentProcessId(), static_cast<pf::Word>(::getpid()));

    // The last error belongs to the thread.
    pf::SetLastError(1234);
    std::thread([] { pf::SetLastError(5); }).join();
    EXPECT_EQ(pf::GetLastError(), 1234u);
}

// ---- driver statuses --------------------------------------------------------

// Whatever status the driver gives reaches the caller as that status: 259
// is not taken for "still running", and a failed READ that reports a count
// (with no bytes, as the contract says) is no protocol fault.
struct StatusCase {
    const char* name;
    bool read;
    pf::Word status;
    pf::Word count;
};

class DriverStatus : public Transfers, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(DriverStatus, ReachesTheCallerUnchanged) {
    const StatusCase& row = GetParam();
    std::string buffer(8, '#');
    pf::Overlapped r = record();
    if (row.read)
        pf::ReadFile(handle, buffer.data(), 8, nullptr, &r);
    else
        pf::WriteFile(handle, "abcdefgh", 8, nullptr, &r);
    driver.complete(driver.receive().id, row.status, row.count);
    ASSERT_EQ(pf::WaitForSingleObject(event, kGuardMilliseconds), pf::kWaitObject0);
    pf::Word n = 99;
    EXPECT_FALSE(pf::GetOverlappedResult(handle, &r, &n, false));
    EXPECT_EQ(pf::GetLastError(), row.status);
    EXPECT_EQ(buffer, std::string(8, '#'));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DriverStatus,
    ::testing::Values(StatusCase{"ReadWith259", true, err::kNoMoreItems, 0},
                      StatusCase{"WriteWith259", false, err::kNoMoreItems, 0},
                      StatusCase{"ReadFailedWithACount", true, err::kGenFailure, 5}),
    [](const auto& param) { return std::string(param.param.name); });

// ---- a driver that stops answering -----------------------------------------------

using Elapsed = std::chrono::steady_clock;
constexpr auto kGrace = std::chrono::milliseconds(pf::kDriverGraceMilliseconds);
// Only keeps a broken bound from passing as a slow machine.
constexpr auto kSlack = std::chrono::seconds(3);

template <class Call>
std::chrono::steady_clock::duration time_of(Call call) {
    const auto start = Elapsed::now();
    call();
    return Elapsed::now() - start;
}

// A wait ends at its time, not before, whether it is spent in blocking
// receives of a slice each, in ppoll, or in both (pump.h), and a completion
// that comes after some slices ends it.
struct WaitCase {
    const char* name;
    pf::Word waitMs;
    int answerAfterMs;  // -1: the driver stays silent
};

void PrintTo(const WaitCase& c, std::ostream* out) { *out << c.name; }

class WaitTimes : public Transfers, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitTimes, EndAtTheTimeOutOrAtTheCompletion) {
    const WaitCase& c = GetParam();
    char buffer[8];
    pf::Overlapped r = record();
    pf::ReadFile(handle, buffer, sizeof buffer, nullptr, &r);
    const Message read = driver.receive();
    std::thread answerer([&] {
        if (c.answerAfterMs < 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(c.answerAfterMs));
        driver.complete(read.id, 0, 1, "z");
    });
    pf::Word waited = 0;
    const auto took = time_of([&] { waited = pf::WaitForSingleObject(event, c.waitMs); });
    answerer.join();
    if (c.answerAfterMs < 0) {
        EXPECT_EQ(waited, pf::kWaitTimeout);
        EXPECT_GE(took, std::chrono::milliseconds(c.waitMs));
    } else {
        // The completion ended it, not the time-out (the answerer's
        // clock starts before this one: no lower bound here).
        EXPECT_EQ(waited, pf::kWaitObject0);
        EXPECT_LT(took, std::chrono::milliseconds(c.waitMs));
    }
    EXPECT_LT(took, std::chrono::milliseconds(c.waitMs) + kSlack);
    EXPECT_TRUE(pf::CloseHandle(handle));  // ends the READ while its record lives
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaitTimes,
    ::testing::Values(WaitCase{"NoTime", 0, -1}, WaitCase{"ShorterThanASlice", 120, -1},
                      WaitCase{"ASliceThenTheRest", 450, -1}, WaitCase{"SeveralSlices", 1100, -1},
                      WaitCase{"AnswerAfterSeveralSlices", 5000, 700}),
    [](const auto& param) { return std::string(param.param.name); });

// After a time-out the logic cancels, waits for the cancelled transfer and
// asks for recovery.  A driver that ignores all three costs the caller one
// grace period in all; the request is then detached, so its late answer
// writes nothing into the caller's memory.
TEST_F(Transfers, ACancelTheDriverIgnoresIsDetachedAndTheRecoveryShareOneGracePeriod) {
    std::string buffer(16, '#');
    pf::Overlapped r = record();
    pf::ReadFile(handle, buffer.data(), 8, nullptr, &r);
    const Message read = driver.receive();
    pf::Word n = 0;
    const auto cancelled = time_of([&] {
        EXPECT_TRUE(pf::CancelIo(handle));
        EXPECT_FALSE(pf::GetOverlappedResult(handle, &r, &n, true));
        EXPECT_EQ(pf::GetLastError(), err::kOperationAborted);
    });
    EXPECT_GE(cancelled, kGrace);
    const auto recovered = time_of([&] {
        EXPECT_FALSE(pf::DeviceIoControl(handle, kRecover, nullptr, 0, nullptr, 0, &n, nullptr));
        EXPECT_EQ(pf::GetLastError(), err::kTimeout);
    });
    EXPECT_LT(cancelled + recovered, kGrace + kSlack);
    EXPECT_EQ(driver.receive().type, wire::kCancel);
    const Message ioctl = driver.receive();
    EXPECT_EQ(ioctl.type, wire::kIoctl);

    // The driver runs again: its late answers go nowhere, and the handle
    // serves the next request with that request's own bytes.
    driver.complete(read.id, 0, 5, "late!");
    driver.complete(ioctl.id, 0, 0);
    std::string next(8, '.');
    pf::Overlapped again = record();
    pf::ReadFile(handle, next.data(), 8, nullptr, &again);
    driver.complete(driver.receive().id, 0, 3, "new");
    ASSERT_EQ(pf::WaitForSingleObject(event, kGuardMilliseconds), pf::kWaitObject0);
    EXPECT_TRUE(pf::GetOverlappedResult(handle, &again, &n, false));
    EXPECT_EQ(next.substr(0, 3), "new");
    EXPECT_EQ(buffer, std::string(16, '#'));
}

// A driver that reads nothing fills the socket; the start that finds it
// full fails after the grace period, and the recovery request shares it.
TEST_F(Transfers, AStartTheDriverDoesNotTakeFailsWithTimeoutAfterTheGracePeriod) {
    const std::string chunk(wire::kMaxTransfer, 'x');
    std::vector<pf::Overlapped> records(64, record());
    pf::Word n = 0;
    bool refused = false;
    for (std::size_t i = 0; i < records.size() && !refused; ++i) {
        pf::SetLastError(0);
        const auto took = time_of([&] {
            EXPECT_FALSE(pf::WriteFile(handle, chunk.data(), wire::kMaxTransfer, &n, &records[i]));
        });
        refused = pf::GetLastError() == err::kTimeout;
        if (!refused) {
            EXPECT_EQ(pf::GetLastError(), err::kIoPending);
        }
        EXPECT_LT(took, kGrace + kSlack);
    }
    ASSERT_TRUE(refused) << "the socket never filled";
    const auto recovered = time_of([&] {
        EXPECT_FALSE(pf::DeviceIoControl(handle, kRecover, nullptr, 0, nullptr, 0, &n, nullptr));
        EXPECT_EQ(pf::GetLastError(), err::kTimeout);
    });
    EXPECT_LT(recovered, kGrace / 2);
    // The writes still outstanding end now, while their records live.
    EXPECT_TRUE(pf::CloseHandle(handle));
}

}  // namespace
}  // namespace tavtest
