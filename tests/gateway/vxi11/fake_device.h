// A line-based stand-in for an instrument behind the VXI-11 dispatcher, as
// the tests, the test server and the fuzz target use it.  It finishes every
// operation at once (a read that finds nothing, after its time-out when
// given a scheduler), and keeps one output queue for all links.
//
// Each message written is split into lines; a query is answered with one
// message, handed out in pieces of at most `chunk` bytes, the last one
// marking its end, as the library hands out transfers:
//   *IDN?        the identity (kIdentity and LF)
//   TRACE?       100,000 bytes: a pattern, then LF
//   SIZE? N      N bytes of the pattern, then LF (N at most maxAnswer)
//   CONF...      an answer code: "OK ANS40" and LF
//   SLOW?        nothing (a read times out)
// anything else gets no answer.  The status byte has 0x10 set while output
// waits.  Failures can be injected per call kind.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vxi11.h"

namespace vxi11_test {

using tavlib::gateway::vxi11::ByteView;
using tavlib::gateway::vxi11::Bytes;
using tavlib::gateway::vxi11::DeviceStatus;

inline constexpr std::string_view kIdentity = "TAVRIL,FAKE1,SN000042,0.1";
inline constexpr std::size_t kTraceSize = 100000;

inline std::string pattern(std::size_t count) {
    static constexpr std::string_view kPattern = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string text;
    text.reserve(count);
    while (text.size() < count) text += kPattern.substr(0, count - text.size());
    return text;
}

class FakeDevice : public tavlib::gateway::vxi11::Device {
public:
    using LinkId = tavlib::gateway::vxi11::LinkId;
    using ReadRequest = tavlib::gateway::vxi11::ReadRequest;
    using DeviceRead = tavlib::gateway::vxi11::DeviceRead;

    explicit FakeDevice(std::size_t chunk = 64 * 1024, std::size_t maxAnswer = 16 * 1024 * 1024)
        : chunk_(chunk), maxAnswer_(maxAnswer) {}

    // With a scheduler, a read that finds nothing ends only after its
    // time-out, as an instrument's would; without, at once.
    std::function<void(std::chrono::seconds, std::function<void()>)> later;

    void write(LinkId, Bytes message, std::uint32_t timeoutSeconds, Done done) override {
        writes.push_back(message);
        lastTimeout = timeoutSeconds;
        if (failWrite) {
            done(*std::exchange(failWrite, std::nullopt));
            return;
        }
        std::string_view text(reinterpret_cast<const char*>(message.data()), message.size());
        while (!text.empty()) {
            const std::size_t end = text.find('\n');
            std::string_view line = text.substr(0, end);
            text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
            if (line.ends_with('\r')) line.remove_suffix(1);
            answer(line);
        }
        done(DeviceStatus::ok);
    }

    void read(LinkId, const ReadRequest& request, std::function<void(DeviceRead)> done) override {
        ++reads;
        lastTimeout = request.seconds;
        if (failRead) {
            done(DeviceRead{*std::exchange(failRead, std::nullopt), {}, 0});
            return;
        }
        for (;;) {
            if (std::optional<tavlib::gateway::vxi11::ReadTaken> taken = output_.take(request)) {
                done(DeviceRead{DeviceStatus::ok, std::move(taken->data), taken->reason});
                return;
            }
            if (pending_.empty()) break;
            // The next transfer: a piece shorter than a whole chunk ends the
            // message; one that fills its chunk exactly is followed by an
            // empty one.
            std::string& message = pending_.front();
            const std::size_t size = std::min(chunk_, message.size() - taken_);
            Bytes piece(message.begin() + static_cast<std::ptrdiff_t>(taken_),
                        message.begin() + static_cast<std::ptrdiff_t>(taken_ + size));
            taken_ += size;
            const bool end = size < chunk_;
            if (end) {
                pending_.pop_front();
                taken_ = 0;
            }
            output_.append(std::move(piece), end);
        }
        if (later) {
            later(std::chrono::seconds(request.seconds), [done] { done(DeviceRead{DeviceStatus::timeout, {}, 0}); });
            return;
        }
        // A time-out the device does not wait for itself: the read is
        // answered at its end all the same.
        done(DeviceRead{DeviceStatus::timeout, {}, 0, timeoutsAnsweredAt});
    }

    DeviceStatus read_status_byte(LinkId, std::uint8_t& stb) override {
        stb = output_waits() ? 0x10 : 0;
        return DeviceStatus::ok;
    }
    void trigger(LinkId, std::uint32_t, Done done) override {
        ++triggers;
        done(DeviceStatus::ok);
    }
    void clear(LinkId, std::uint32_t, Done done) override {
        ++clears;
        pending_.clear();
        output_.clear();
        taken_ = 0;
        done(DeviceStatus::ok);
    }
    void abandon(LinkId) override { ++abandons; }
    void lock_changed(bool locked) override { lockEvents.push_back(locked); }

    void queue(std::string message) { pending_.push_back(std::move(message)); }
    bool output_waits() const { return !pending_.empty() || !output_.empty(); }

    std::vector<Bytes> writes;
    std::vector<bool> lockEvents;
    int reads = 0;
    int triggers = 0;
    int clears = 0;
    int abandons = 0;
    std::uint32_t lastTimeout = 0;
    std::optional<DeviceStatus> failWrite;
    std::optional<DeviceStatus> failRead;
    std::chrono::steady_clock::time_point timeoutsAnsweredAt{};

private:
    void answer(std::string_view line) {
        if (line == "*IDN?") queue(std::string(kIdentity) + "\n");
        else if (line == "TRACE?") queue(pattern(kTraceSize - 1) + "\n");
        else if (line.starts_with("SIZE? ")) {
            std::size_t size = 0;
            for (const char c : line.substr(6)) {
                if (c < '0' || c > '9' || size > maxAnswer_) return;
                size = size * 10 + static_cast<std::size_t>(c - '0');
            }
            if (size <= maxAnswer_) queue(pattern(size) + "\n");
        } else if (line.starts_with("CONF")) {
            queue("OK ANS40\n");
        }
    }

    std::size_t chunk_;
    std::size_t maxAnswer_;
    std::deque<std::string> pending_;  // messages not handed out yet
    std::size_t taken_ = 0;            // of the first of them
    tavlib::gateway::vxi11::OutputQueue output_;
};

}  // namespace vxi11_test
