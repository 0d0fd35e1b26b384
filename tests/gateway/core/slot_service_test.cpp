// The slot service's rules, over a fake instrument: whose output a read
// gets, what a client or link that goes leaves behind, who may use the
// instrument, and an instrument that goes away and comes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_instrument.h"
#include "log.h"
#include "slot_service.h"

namespace {

using namespace std::chrono_literals;
using tavlib::gateway::SlotConfig;
using tavlib::gateway::SlotService;
using tavlib::gateway::vxi11::Bytes;
using tavlib::gateway::vxi11::DeviceRead;
using tavlib::gateway::vxi11::ReadRequest;
using Status = SlotService::Status;

constexpr std::string_view kIdentity = "VESPARO,ZQ907,SN000001,2.4.1\r\n";

class SlotServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        tavlib::gateway::set_log_sink([this](std::string_view line) {
            const std::lock_guard<std::mutex> lock(logMutex_);
            logs_.emplace_back(line);
            logged_.notify_all();
        });
    }
    void TearDown() override {
        service_.reset();
        tavlib::gateway::set_log_sink({});
    }

    void start(SlotConfig config = {}, SlotService::Runner runner = {}) {
        config.writeTimeout = 2;
        config.readTimeout = 2;
        config.reopenEvery = 50ms;
        config.idleCheck = 1h;
        service_ = std::make_unique<SlotService>(config, std::make_unique<gateway_test::FakeInstrument>(instrument_),
                                                 guard_);
        service_->open();
        if (runner) service_->set_runner(std::move(runner));
        service_->start();
    }

    Status write(SlotService::LinkId link, std::string_view text) {
        std::promise<Status> done;
        service_->write(link, Bytes(text.begin(), text.end()), 2, [&](Status status) { done.set_value(status); });
        return done.get_future().get();
    }
    DeviceRead read(SlotService::LinkId link, std::size_t size, std::optional<std::uint8_t> termChar = {},
                    std::uint32_t seconds = 1) {
        ReadRequest request{size, 64 * 1024, termChar, seconds};
        std::promise<DeviceRead> done;
        service_->read(link, request, [&](DeviceRead read) { done.set_value(std::move(read)); });
        return done.get_future().get();
    }
    Status operation(void (SlotService::*op)(SlotService::LinkId, std::function<void(Status)>),
                     SlotService::LinkId link) {
        std::promise<Status> done;
        (service_.get()->*op)(link, [&](Status status) { done.set_value(status); });
        return done.get_future().get();
    }
    std::vector<std::string> line(std::string text) {
        std::vector<std::string> messages;
        std::promise<void> done;
        service_->run_line(
            std::move(text), [&](std::string message) { messages.push_back(std::move(message)); return true; },
            [&](bool) { done.set_value(); });
        done.get_future().get();
        return messages;
    }
    bool await_log(std::string_view part, std::chrono::milliseconds patience = 5s) {
        std::unique_lock<std::mutex> lock(logMutex_);
        return logged_.wait_for(lock, patience, [&] {
            for (const std::string& entry : logs_)
                if (entry.find(part) != std::string::npos) return true;
            return false;
        });
    }
    std::vector<std::string> received() {
        const std::lock_guard<std::mutex> lock(instrument_.mutex);
        return instrument_.received;
    }

    gateway_test::FakeInstrument::Shared instrument_;
    tavlib::gateway::OpenGuard guard_;
    std::unique_ptr<SlotService> service_;
    std::mutex logMutex_;
    std::condition_variable logged_;
    std::vector<std::string> logs_;
};

std::string text_of(const DeviceRead& read) { return std::string(read.data.begin(), read.data.end()); }

// Links on one instrument, each step a call and what it must give.  A read's
// expectation is its data, or "15" for a read that gets nothing.
TEST_F(SlotServiceTest, EachLinkReadsOnlyWhatItAskedFor) {
    struct Step {
        char op;  // L claim, X release, W write, R read (arg: size), T read to LF
        SlotService::LinkId link;
        std::string arg;
        std::string expect;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        const char* logged;  // a line the log must hold afterwards, or ""
    };
    const std::string big(69998, 'b');
    const std::vector<Case> cases = {
        {"the rest of a read cut short goes with its link",
         {{'L', 1, "", ""}, {'L', 2, "", ""}, {'W', 1, "PAIR?\n", ""}, {'R', 1, "2", "ON"}, {'X', 1, "", ""},
          {'W', 2, "*IDN?\n", ""}, {'R', 2, "100", std::string(kIdentity)}},
         "VXI-11 link 1 closed; dropped the 8 bytes of its answer still to come"},
        {"... and with the last link, before the next one",
         {{'L', 1, "", ""}, {'W', 1, "PAIR?\n", ""}, {'R', 1, "2", "ON"}, {'X', 1, "", ""},
          {'L', 2, "", ""}, {'W', 2, "*IDN?\n", ""}, {'R', 2, "100", std::string(kIdentity)}},
         "dropped 5 bytes in 1 messages nobody asked for (before a VXI-11 client)"},
        {"what a termination character leaves waits for the link's next read",
         {{'L', 1, "", ""}, {'W', 1, "ECHO A\nECHO B\n", ""}, {'T', 1, "", "A\r\n"}, {'T', 1, "", "B\r\n"},
          {'R', 1, "100", "15"}},
         ""},
        {"links that write in turn each read their own answer",
         {{'L', 1, "", ""}, {'L', 2, "", ""}, {'W', 1, "ECHO one\n", ""}, {'W', 2, "ECHO two\n", ""},
          {'R', 2, "100", "two\r\n"}, {'R', 1, "100", "one\r\n"}, {'R', 1, "100", "15"}},
         ""},
        {"a slow answer is waited for and kept for its link when another writes",
         {{'L', 1, "", ""}, {'L', 2, "", ""}, {'W', 1, "SLOW?\n", ""}, {'W', 2, "ECHO two\n", ""},
          {'R', 1, "100", "SLOW\r\n"}, {'R', 2, "100", "two\r\n"}},
         ""},
        {"a long answer left mid-way reaches nobody",
         {{'L', 1, "", ""}, {'W', 1, "BIG?\n", ""}, {'R', 1, "100", big.substr(0, 100)}, {'X', 1, "", ""},
          {'L', 2, "", ""}, {'W', 2, "ECHO two\n", ""}, {'R', 2, "100", "two\r\n"}},
         "VXI-11 link 1 closed; dropped the 65436 bytes"},
        {"an earlier message that makes the instrument name itself does not end the link's output early",
         {{'L', 1, "", ""}, {'L', 2, "", ""}, {'W', 1, "*IDN?\n", ""}, {'W', 1, "ECHO later\n", ""},
          {'W', 2, "ECHO two\n", ""}, {'R', 1, "100", std::string(kIdentity)}, {'R', 1, "100", "later\r\n"},
          {'R', 2, "100", "two\r\n"}},
         ""},
        {"... nor the rest dropped when the link goes",
         {{'L', 1, "", ""}, {'L', 2, "", ""}, {'W', 1, "*IDN?\n", ""}, {'W', 1, "ECHO later\n", ""},
          {'X', 1, "", ""}, {'W', 2, "ECHO two\n", ""}, {'R', 2, "100", "two\r\n"}},
         "VXI-11 link 1 closed; dropped the 37 bytes"},
        {"a message of empty lines sends nothing; one with them sends its lines only",
         {{'L', 1, "", ""}, {'W', 1, "\n\r\n", ""}, {'W', 1, "*RST\n\n", ""}, {'W', 1, "ECHO x\n", ""},
          {'R', 1, "100", "x\r\n"}},
         ""},
    };
    for (const Case& k : cases) {
        instrument_.received.clear();
        start();
        for (const Step& step : k.steps) {
            switch (step.op) {
            case 'L': ASSERT_TRUE(service_->claim_link(step.link)) << k.name; break;
            case 'X': service_->release_link(step.link); break;
            case 'W': EXPECT_EQ(write(step.link, step.arg), Status::ok) << k.name; break;
            case 'R':
            case 'T': {
                const DeviceRead got = step.op == 'T' ? read(step.link, 1000, '\n')
                                                      : read(step.link, std::stoul(step.arg));
                if (step.expect == "15") {
                    EXPECT_EQ(got.status, Status::timeout) << k.name << ": got " << text_of(got);
                } else {
                    EXPECT_EQ(got.status, Status::ok) << k.name;
                    EXPECT_EQ(text_of(got), step.expect) << k.name;
                }
                break;
            }
            }
        }
        if (*k.logged != '\0') {
            EXPECT_TRUE(await_log(k.logged, 1s)) << k.name;
        }
        for (const std::string& sent : received()) EXPECT_FALSE(sent.empty()) << k.name << ": an empty line was sent";
        service_.reset();
    }
}

// A raw-socket line's answer whose message fills whole transfers: the
// transfer after them cannot say whether it goes on with that message or is
// another one.  When the mark that ends the answer does not come, such a
// message is dropped, not passed on joined to what came after it.
TEST_F(SlotServiceTest, AMessageOfWholeTransfersGoesOnlyWhenItsEndIsSure) {
    start();
    const struct {
        const char* line;
        bool muted;  // the mark after the line is not answered
        std::vector<std::string> messages;
    } rows[] = {
        {"FULL?", false, {std::string(65534, 'f') + "\n"}},
        {"FULL? STRAY", true, {}},
        {"BIG?", true, {}},
        {"BIG?", false, {std::string(69998, 'b') + "\n"}},
    };
    for (const auto& row : rows) {
        {
            const std::lock_guard<std::mutex> lock(instrument_.mutex);
            instrument_.muteIdentity = row.muted;
        }
        const std::vector<std::string> messages = line(row.line);
        {
            const std::lock_guard<std::mutex> lock(instrument_.mutex);
            instrument_.muteIdentity = false;
        }
        ASSERT_EQ(messages.size(), row.messages.size()) << row.line << (row.muted ? " (muted)" : "");
        for (std::size_t i = 0; i < messages.size(); ++i)
            EXPECT_TRUE(messages[i] == row.messages[i]) << row.line << ": message " << i << " differs";
    }
}

TEST_F(SlotServiceTest, ARefusedTriggerIsAnErrorAndLeavesNothing) {
    start();
    ASSERT_TRUE(service_->claim_link(1));
    EXPECT_EQ(write(1, "ECHO mine\n"), Status::ok);
    // The instrument answers *TRG with an error: refused, and dropped; the
    // link's own answer stays its own.
    std::promise<Status> triggered;
    service_->trigger(1, 2, [&](Status status) { triggered.set_value(status); });
    EXPECT_EQ(triggered.get_future().get(), Status::not_supported);
    EXPECT_EQ(text_of(read(1, 100)), "mine\r\n");
    EXPECT_EQ(write(1, "ECHO next\n"), Status::ok);
    EXPECT_EQ(text_of(read(1, 100)), "next\r\n");
    EXPECT_TRUE(await_log("\"*TRG\" (VXI-11 link 1): the instrument answered \"ERROR unknown command ANS90"));
}

TEST_F(SlotServiceTest, WhatAFailedWriteMakesTheInstrumentSayIsNobodys) {
    start();
    ASSERT_TRUE(service_->claim_link(1));
    EXPECT_EQ(write(1, "*RST\n"), Status::ok);  // after the first link's identity exchange
    {
        const std::lock_guard<std::mutex> lock(instrument_.mutex);
        instrument_.lateWrite = true;
    }
    EXPECT_EQ(write(1, "ECHO too late\n"), Status::timeout);
    EXPECT_EQ(read(1, 100).status, Status::timeout);
    EXPECT_EQ(write(1, "ECHO next\n"), Status::ok);
    EXPECT_EQ(text_of(read(1, 100)), "next\r\n");
    EXPECT_TRUE(await_log("dropped 10 bytes in 1 messages nobody asked for"));
}

// A read that waits for the instrument (5 s) is ended soon, by the identity
// query sent beside it, when its link abandons it or another link needs the
// instrument: what the instrument still owed the link stays the link's, and
// the other link is not held up.  Ended by another link, the read waits out
// its time on what the link has, as a read that gets nothing does.
TEST_F(SlotServiceTest, AWaitingReadEndsSoonAndKeepsWhatItBrings) {
    struct Case {
        const char* command;
        bool abandoned;  // or another link writes and reads
        Status status;   // what the read ends with
        std::string kept;  // the link's message: what the read and the link's next reads get; "" nothing
        // The other link's job is queued before the read's transfer begins
        // (the worker is held in a write of the link meanwhile), not while
        // the transfer waits.
        bool queuedFirst = false;
        // The identity query sent beside the read reports a time-out,
        // though the instrument took it.
        bool queryFails = false;
    };
    const std::string full = std::string(65534, 'f') + "\r\n";
    const Case cases[] = {
        {"SLOW?\n", true, Status::aborted, "SLOW\r\n"},
        {"*RST\n", true, Status::aborted, ""},
        {"SLOW?\n", false, Status::ok, "SLOW\r\n"},
        {"*RST\n", false, Status::timeout, ""},
        // A message that fills its transfer exactly ends where the identity begins.
        {"LATE FULL?\n", false, Status::ok, full},
        {"*RST\n", false, Status::timeout, "", true},
        {"*RST\n", false, Status::timeout, "", false, true},
    };
    const auto await_instrument = [this](auto condition) {
        std::unique_lock<std::mutex> lock(instrument_.mutex);
        return instrument_.changed.wait_for(lock, 5s, condition);
    };
    const auto hold_writes = [this](bool hold) {
        const std::lock_guard<std::mutex> lock(instrument_.mutex);
        instrument_.holdWrites = hold;
        instrument_.changed.notify_all();
    };
    for (const Case& k : cases) {
        const std::string name = std::string(k.command) + (k.abandoned ? " abandoned" : " another link") +
                                 (k.queuedFirst ? " queued first" : "") + (k.queryFails ? " query fails" : "");
        start();
        ASSERT_TRUE(service_->claim_link(1));
        ASSERT_TRUE(service_->claim_link(2));
        EXPECT_EQ(write(1, k.command), Status::ok);
        std::promise<Status> held;
        if (k.queuedFirst) {
            hold_writes(true);
            service_->write(1, Bytes(k.command, k.command + std::strlen(k.command)), 2,
                            [&](Status status) { held.set_value(status); });
            ASSERT_TRUE(await_instrument([&] { return instrument_.writing > 0; }));
        }
        std::promise<DeviceRead> done;
        const auto started = std::chrono::steady_clock::now();
        service_->read(1, ReadRequest{100000, 64 * 1024, {}, 5},
                       [&](DeviceRead read) { done.set_value(std::move(read)); });
        if (k.queuedFirst) {
            std::promise<Status> second;
            service_->write(2, Bytes{'E', 'C', 'H', 'O', ' ', 't', 'w', 'o', '\n'}, 2,
                            [&](Status status) { second.set_value(status); });
            hold_writes(false);
            EXPECT_EQ(held.get_future().get(), Status::ok) << name;
            EXPECT_EQ(second.get_future().get(), Status::ok) << name;
            EXPECT_EQ(text_of(read(2, 100)), "two\r\n") << name;
        } else {
            ASSERT_TRUE(await_instrument([&] { return instrument_.reading > 0; }));
        }
        if (k.queryFails) {
            const std::lock_guard<std::mutex> lock(instrument_.mutex);
            instrument_.lateWrite = true;
        }
        if (k.abandoned) {
            service_->abandon(1);
        } else if (!k.queuedFirst) {
            EXPECT_EQ(write(2, "ECHO two\n"), Status::ok) << name;
            EXPECT_EQ(text_of(read(2, 100)), "two\r\n") << name;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s) << name << ": held up";
        DeviceRead got = done.get_future().get();
        EXPECT_EQ(got.status, k.status) << name;
        std::string kept = text_of(got);
        while (got.status != Status::ok || (got.reason & tavlib::gateway::vxi11::kReasonEnd) == 0) {
            got = read(1, 100000);
            if (got.status != Status::ok) break;
            kept += text_of(got);
        }
        EXPECT_TRUE(kept == k.kept) << name << ": kept " << kept.size() << " bytes, " << kept.substr(0, 40);
        service_.reset();
    }
}

// A thread that runs what it is given, in order: as a network thread runs
// an operation's job, and then, once the job has returned, its outcome.
class TestRunner {
public:
    TestRunner() : thread_([this] { run(); }) {}
    ~TestRunner() {
        post({});
        thread_.join();
    }
    void post(std::function<void()> work) {
        const std::lock_guard<std::mutex> lock(mutex_);
        work_.push_back(std::move(work));
        changed_.notify_all();
    }
    std::thread::id id() const { return thread_.get_id(); }

private:
    void run() {
        for (;;) {
            std::function<void()> next;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return !work_.empty(); });
                next = std::move(work_.front());
                work_.pop_front();
            }
            if (!next) return;
            next();
        }
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> work_;
    std::thread thread_;
};

TEST_F(SlotServiceTest, AnOperationOrALineOnAFreeInstrumentRunsOnTheRunnerAndOnABusyOneWaitsItsTurn) {
    TestRunner runner;
    start({}, [&runner](std::function<void()> job) { runner.post(std::move(job)); });
    ASSERT_TRUE(service_->claim_link(1));
    ASSERT_TRUE(service_->claim_link(2));
    // Where an operation's `done` ran, and its status; handed on through the
    // runner, so that the job that ran it has ended first.
    struct Ran {
        std::thread::id thread;
        Status status;
    };
    const auto start_write = [&](SlotService::LinkId link, std::string_view text) {
        auto ran = std::make_shared<std::promise<Ran>>();
        service_->write(link, Bytes(text.begin(), text.end()), 2, [&runner, ran](Status status) {
            runner.post([ran, done = Ran{std::this_thread::get_id(), status}] { ran->set_value(done); });
        });
        return ran->get_future();
    };
    // The first link's claim brings the instrument in step on the worker:
    // until that has ended, an operation may wait its turn there.
    bool free = false;
    for (int i = 0; i < 100 && !free; ++i) free = start_write(1, "*RST\n").get().thread == runner.id();
    ASSERT_TRUE(free);
    for (const SlotService::LinkId link : {1u, 2u, 1u}) {
        const Ran ran = start_write(link, "ECHO e" + std::to_string(link) + "\n").get();
        EXPECT_EQ(ran.status, Status::ok);
        EXPECT_EQ(ran.thread, runner.id()) << "link " << link << " on a free instrument";
    }
    {
        const std::lock_guard<std::mutex> lock(instrument_.mutex);
        instrument_.holdWrites = true;
    }
    std::future<Ran> first = start_write(1, "ECHO held\n");
    {
        std::unique_lock<std::mutex> lock(instrument_.mutex);
        ASSERT_TRUE(instrument_.changed.wait_for(lock, 5s, [this] { return instrument_.writing > 0; }));
    }
    std::future<Ran> second = start_write(2, "ECHO after\n");
    {
        const std::lock_guard<std::mutex> lock(instrument_.mutex);
        instrument_.holdWrites = false;
        instrument_.changed.notify_all();
    }
    const Ran held = first.get();
    const Ran after = second.get();
    EXPECT_EQ(held.thread, runner.id());
    EXPECT_NE(after.thread, runner.id()) << "an operation on a busy instrument waits its turn on the worker";
    EXPECT_EQ(held.status, Status::ok);
    EXPECT_EQ(after.status, Status::ok);
    const std::vector<std::string> lines = received();
    const auto at = [&lines](std::string_view line) { return std::find(lines.begin(), lines.end(), line) - lines.begin(); };
    EXPECT_LT(at("ECHO held"), at("ECHO after"));
    EXPECT_LT(at("ECHO after"), static_cast<std::ptrdiff_t>(lines.size()));

    // A raw-socket client's line on the free instrument runs there too.
    service_->release_link(1);
    service_->release_link(2);
    ASSERT_TRUE(service_->claim_client());
    bool onRunner = false;
    for (int i = 0; i < 100 && !onRunner; ++i) {
        std::promise<std::thread::id> delivered;
        std::promise<void> done;
        service_->run_line(
            "ECHO raw", [&](std::string) { delivered.set_value(std::this_thread::get_id()); return true; },
            [&](bool) { runner.post([&done] { done.set_value(); }); });
        onRunner = delivered.get_future().get() == runner.id();
        done.get_future().get();
    }
    EXPECT_TRUE(onRunner);
}

TEST_F(SlotServiceTest, OneProtocolAtATimeAndNothingStaleForANewClient) {
    start();
    {
        const std::lock_guard<std::mutex> lock(instrument_.mutex);
        instrument_.output.emplace_back(gateway_test::FakeInstrument::Clock::now(), "STRAY\r\n");
    }
    ASSERT_TRUE(service_->claim_client());
    EXPECT_FALSE(service_->claim_link(1));
    EXPECT_EQ(service_->status(), Status::locked);
    EXPECT_EQ(line("ECHO a"), std::vector<std::string>{"a\n"});
    EXPECT_TRUE(await_log("dropped 7 bytes in 1 messages nobody asked for (before a new client)"));
    EXPECT_EQ(line("PAIR?"), (std::vector<std::string>{"ONE\n", "TWO\n"}));
    service_->release_client();
    ASSERT_TRUE(service_->claim_link(1));
    EXPECT_FALSE(service_->claim_client());
    EXPECT_EQ(service_->status(), Status::ok);
}

TEST_F(SlotServiceTest, AnInstrumentThatGoesIsReopenedOnlyAsItself) {
    std::vector<std::optional<tavlib::gateway::Identity>> seen;
    std::mutex seenMutex;
    start();
    service_->on_identity([&](const std::optional<tavlib::gateway::Identity>& identity) {
        const std::lock_guard<std::mutex> lock(seenMutex);
        seen.push_back(identity);
    });
    ASSERT_TRUE(service_->claim_client());
    {
        const std::lock_guard<std::mutex> lock(instrument_.mutex);
        instrument_.present = false;
    }
    EXPECT_TRUE(line("ECHO gone").empty());
    EXPECT_TRUE(await_log("instrument gone"));
    EXPECT_FALSE(service_->identity());
    {
        // Another instrument at the slot is not served.
        const std::lock_guard<std::mutex> lock(instrument_.mutex);
        instrument_.serial = "SN000002";
        instrument_.present = true;
    }
    EXPECT_TRUE(await_log("now holds ZQ907 serial SN000002, not ZQ907 serial SN000001: closed; waiting for SN000001"));
    EXPECT_TRUE(line("ECHO stranger").empty());
    {
        const std::lock_guard<std::mutex> lock(instrument_.mutex);
        instrument_.serial = "SN000001";
    }
    EXPECT_TRUE(await_log("slot reopened"));
    EXPECT_EQ(line("ECHO back"), std::vector<std::string>{"back\n"});
    ASSERT_TRUE(service_->identity());
    EXPECT_EQ(service_->identity()->serial, "SN000001");
    const std::lock_guard<std::mutex> lock(seenMutex);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FALSE(seen[0]);
    EXPECT_TRUE(seen[1]);
}

}  // namespace

// Slot n is the n-th present instrument when it is opened: after a removal,
// another port may open the very instrument this one serves, and the
// library's identity query then meets the one output queue.  It must take
// nothing a link is owed, whether the link has not read yet or its read
// waits for the answer.
TEST_F(SlotServiceTest, AnotherSlotsOpenOfTheSameInstrumentTakesNoAnswerALinkIsOwed) {
    for (const bool readWaits : {false, true}) {
        SCOPED_TRACE(readWaits ? "a read waits for the answer" : "the answer is not read yet");
        start();
        ASSERT_TRUE(service_->claim_link(1));
        ASSERT_EQ(write(1, "SLOW?\nECHO after\n"), Status::ok);
        std::future<DeviceRead> waiting;
        if (readWaits) {
            waiting = std::async(std::launch::async, [this] { return read(1, 100); });
            std::unique_lock<std::mutex> lock(instrument_.mutex);
            ASSERT_TRUE(instrument_.changed.wait_for(lock, 5s, [this] { return instrument_.reading > 0; }));
        }
        {
            const std::lock_guard<std::mutex> lock(instrument_.mutex);
            instrument_.identifyOnOpen = true;
        }
        SlotConfig config;
        config.slot = 0;
        SlotService other(config, std::make_unique<gateway_test::FakeInstrument>(instrument_), guard_);
        EXPECT_TRUE(other.open());
        EXPECT_EQ(text_of(readWaits ? waiting.get() : read(1, 100)), "SLOW\r\n");
        EXPECT_EQ(text_of(read(1, 100)), "after\r\n");
        service_.reset();
        const std::lock_guard<std::mutex> lock(instrument_.mutex);
        instrument_.identifyOnOpen = false;
        instrument_.output.clear();
    }
}
