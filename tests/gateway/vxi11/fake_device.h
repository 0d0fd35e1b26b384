// A line-based stand-in for an instrument behind the VXI-11 dispatcher, as
// the tests, the test server and the fuzz target use it.
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
#ifndef TAVRIL_TESTS_GATEWAY_VXI11_FAKE_DEVICE_H
#define TAVRIL_TESTS_GATEWAY_VXI11_FAKE_DEVICE_H

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "vxi11.h"

namespace vxi11_test {

using tavlib::gateway::vxi11::ByteView;
using tavlib::gateway::vxi11::Bytes;
using tavlib::gateway::vxi11::DevicePiece;
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
    explicit FakeDevice(std::size_t chunk = 64 * 1024, bool realWaits = false,
                        std::size_t maxAnswer = 16 * 1024 * 1024)
        : chunk_(chunk), realWaits_(realWaits), maxAnswer_(maxAnswer) {}

    DeviceStatus write(ByteView message, std::uint32_t timeoutSeconds) override {
        writes.emplace_back(message.begin(), message.end());
        lastTimeout = timeoutSeconds;
        if (failWrite) return *std::exchange(failWrite, std::nullopt);
        std::string_view text(reinterpret_cast<const char*>(message.data()), message.size());
        while (!text.empty()) {
            const std::size_t end = text.find('\n');
            std::string_view line = text.substr(0, end);
            text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
            if (line.ends_with('\r')) line.remove_suffix(1);
            answer(line);
        }
        return DeviceStatus::ok;
    }

    DevicePiece read(std::size_t, std::optional<std::uint8_t>, std::uint32_t timeoutSeconds) override {
        ++reads;
        lastTimeout = timeoutSeconds;
        if (failRead) return {*std::exchange(failRead, std::nullopt), {}, false};
        if (output_.empty()) {
            if (realWaits_) std::this_thread::sleep_for(std::chrono::seconds(timeoutSeconds));
            return {DeviceStatus::timeout, {}, false};
        }
        std::string& message = output_.front();
        const std::size_t size = std::min(chunk_, message.size() - taken_);
        DevicePiece piece;
        piece.bytes.assign(message.begin() + static_cast<std::ptrdiff_t>(taken_),
                           message.begin() + static_cast<std::ptrdiff_t>(taken_ + size));
        taken_ += size;
        // A piece shorter than a whole chunk ends the message; one that
        // fills its chunk exactly is followed by an empty one.
        if (size < chunk_) {
            piece.end = true;
            output_.pop_front();
            taken_ = 0;
        }
        return piece;
    }

    DeviceStatus read_status_byte(std::uint8_t& stb, std::uint32_t) override {
        stb = output_.empty() ? 0 : 0x10;
        return DeviceStatus::ok;
    }
    DeviceStatus trigger(std::uint32_t) override {
        ++triggers;
        return DeviceStatus::ok;
    }
    DeviceStatus clear(std::uint32_t) override {
        ++clears;
        output_.clear();
        taken_ = 0;
        return DeviceStatus::ok;
    }
    void lock_changed(bool locked) override { lockEvents.push_back(locked); }

    void queue(std::string message) { output_.push_back(std::move(message)); }
    bool output_waits() const { return !output_.empty(); }

    std::vector<Bytes> writes;
    std::vector<bool> lockEvents;
    int reads = 0;
    int triggers = 0;
    int clears = 0;
    std::uint32_t lastTimeout = 0;
    std::optional<DeviceStatus> failWrite;
    std::optional<DeviceStatus> failRead;

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
    bool realWaits_;
    std::size_t maxAnswer_;
    std::deque<std::string> output_;
    std::size_t taken_ = 0;
};

}  // namespace vxi11_test

#endif
