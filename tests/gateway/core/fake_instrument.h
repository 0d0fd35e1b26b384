// A stand-in for one slot's instrument behind the library's calls, for the
// slot service's tests.  It takes command lines (CR LF) and queues their
// answers, message by message, handed out in transfers of at most 64 KiB as
// the driver does:
//   *IDN?      the identity ("VESPARO,ZQ907,<serial>,2.4.1")
//   ECHO text  text
//   PAIR?      two messages, "ONE" and "TWO"
//   BIG?       one message of 70,000 bytes (two transfers)
//   FULL?      one message of 65,536 bytes, exactly one transfer ("FULL? STRAY":
//              and the message "STRAY" after it)
//   SLOW?      "SLOW", 300 ms later
//   LATE FULL? the message of FULL?, 300 ms later
//   *RST       nothing
//   anything else: "ERROR unknown command ANS90"
// Every message ends with CR LF.  A read that times out drops what is
// queued, and the answers still being worked out, as the driver's recovery
// does.  The test thread may push output, hold writes, remove the
// instrument (every call fails with 1167, opens with 259) and bring it
// back, perhaps as another.  Several may share one Shared: one instrument
// opened at two slots, with the one output queue they all read.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "instrument_calls.h"

namespace gateway_test {

class FakeInstrument final : public tavlib::gateway::InstrumentCalls {
public:
    using Clock = std::chrono::steady_clock;

    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<std::pair<Clock::time_point, std::string>> output;  // when it is there, what
        std::vector<std::string> received;  // every command line, in order
        std::string serial = "SN000001";
        bool present = true;
        bool muteIdentity = false;  // *IDN? gets no answer
        int opens = 0;
        int reading = 0;  // reads waiting for output now
        // The next write takes its text, but reports a time-out (its
        // completion came too late).
        bool lateWrite = false;
        bool holdWrites = false;  // a write waits until the test lets it go
        int writing = 0;          // writes held now
        // An open asks for the identity through the output queue, as the
        // library does, and takes the first message that comes.
        bool identifyOnOpen = false;
    };

    explicit FakeInstrument(Shared& shared) : s_(shared) {}

    Opened open(std::uint32_t) override {
        std::unique_lock<std::mutex> lock(s_.mutex);
        ++s_.opens;
        Opened opened;
        if (!s_.present) {
            opened.result = TAVRIL_OPEN_FAILED;
            opened.errorCode = 259;
            return opened;
        }
        if (s_.identifyOnOpen) {
            answer("*IDN?");
            const auto due = [this] { return !s_.output.empty() && s_.output.front().first <= Clock::now(); };
            while (!due()) s_.changed.wait_until(lock, s_.output.empty() ? Clock::now() + std::chrono::milliseconds(10)
                                                                         : s_.output.front().first);
            const std::string first = s_.output.front().second;
            s_.output.pop_front();
            if (!first.starts_with("VESPARO,")) {
                opened.result = TAVRIL_OPEN_NOT_IDENTIFIED;
                return opened;
            }
        }
        std::strcpy(opened.identity.model, "ZQ907");
        std::strcpy(opened.identity.serialNumber, s_.serial.c_str());
        std::strcpy(opened.identity.firmwareVersion, "2.4.1");
        open_ = true;
        return opened;
    }
    bool is_open() const override { return open_; }
    std::int32_t close(std::uint32_t& errorCode) override {
        errorCode = 0;
        open_ = false;
        return TAVRIL_CLOSE_OK;
    }

    std::int32_t write(const char* text, std::uint32_t, std::uint32_t& written, std::uint32_t& errorCode) override {
        std::unique_lock<std::mutex> lock(s_.mutex);
        written = 0;
        errorCode = 0;
        ++s_.writing;
        s_.changed.notify_all();
        s_.changed.wait(lock, [this] { return !s_.holdWrites; });
        --s_.writing;
        if (!s_.present) {
            errorCode = 1167;
            return TAVRIL_WRITE_FAILED;
        }
        std::string all(text);
        if (all.find("\r\n") == std::string::npos) all += "\r\n";
        written = static_cast<std::uint32_t>(all.size());
        std::size_t start = 0;
        for (std::size_t end; (end = all.find("\r\n", start)) != std::string::npos; start = end + 2)
            answer(all.substr(start, end - start));
        s_.changed.notify_all();
        if (std::exchange(s_.lateWrite, false)) return TAVRIL_WRITE_TIMEOUT;
        return TAVRIL_WRITE_OK;
    }

    std::int32_t read(char* buffer, std::uint32_t maxBytes, std::uint32_t timeoutSeconds, std::uint32_t& count,
                      std::uint32_t& errorCode) override {
        std::unique_lock<std::mutex> lock(s_.mutex);
        count = 0;
        errorCode = 0;
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
        for (;;) {
            if (!s_.present) {
                errorCode = 1167;
                return TAVRIL_READ_FAILED;
            }
            if (maxBytes != 0 && !s_.output.empty() && s_.output.front().first <= Clock::now()) break;
            const Clock::time_point due = s_.output.empty() ? deadline : std::min(deadline, s_.output.front().first);
            if (maxBytes == 0 || Clock::now() >= deadline) {
                // Recovery: what is queued and what is still being answered goes.
                s_.output.clear();
                return TAVRIL_READ_TIMEOUT;
            }
            ++s_.reading;
            s_.changed.notify_all();
            s_.changed.wait_until(lock, due);
            --s_.reading;
        }
        std::string& message = s_.output.front().second;
        count = static_cast<std::uint32_t>(std::min<std::size_t>(maxBytes, message.size()));
        std::memcpy(buffer, message.data(), count);
        message.erase(0, count);
        // What is left of a message goes in the next transfer; the driver
        // never joins two messages in one.
        if (message.empty()) s_.output.pop_front();
        return TAVRIL_READ_OK;
    }

private:
    void answer(const std::string& line) {
        s_.received.push_back(line);
        const Clock::time_point now = Clock::now();
        // Commands are answered in order: nothing overtakes a slow answer.
        const auto say = [&](std::string text, std::chrono::milliseconds after = {}) {
            const Clock::time_point at =
                s_.output.empty() ? now + after : std::max(now + after, s_.output.back().first);
            s_.output.emplace_back(at, std::move(text) + "\r\n");
        };
        if (line == "*IDN?") {
            if (!s_.muteIdentity) say("VESPARO,ZQ907," + s_.serial + ",2.4.1");
        } else if (line == "LATE FULL?") {
            say(std::string(65534, 'f'), std::chrono::milliseconds(300));
        } else if (line.starts_with("FULL?")) {
            say(std::string(65534, 'f'));
            if (line == "FULL? STRAY") say("STRAY");
        } else if (line.starts_with("ECHO ")) {
            say(line.substr(5));
        }
        else if (line == "PAIR?") {
            say("ONE");
            say("TWO");
        } else if (line == "BIG?") say(std::string(69998, 'b'));
        else if (line == "SLOW?") say("SLOW", std::chrono::milliseconds(300));
        else if (line == "*RST") {
        } else say("ERROR unknown command ANS90");
    }

    Shared& s_;
    bool open_ = false;
};

}  // namespace gateway_test
