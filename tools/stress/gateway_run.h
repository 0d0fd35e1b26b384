// What the clients of `tavlib-stress gateway` share: the time-outs the run
// gives the gateway, each port's state (its instrument, who is served, the
// disturbances that excuse lost answers), the gateway's log, the run and a
// random source.  The raw-socket clients (gateway.cpp) and the VXI-11
// clients (gateway_vxi11.cpp) work on it.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common.h"
#include "stress.h"

namespace tavlib::stress::gateway {

constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kSecond = 1000 * kMs;

// The gateway's time-outs of each transfer, in seconds: short, so that a
// fault costs little time.
constexpr int kReadTimeout = 2;
constexpr int kWriteTimeout = 2;

// How long a client waits for the next byte before it gives up waiting for
// the answers outstanding: longer than a waiting newcomer's wait for the
// owner to leave (10 s) plus the failure path of a line (a time-out, the
// recovery and the identity exchange after it).
constexpr std::int64_t kStallNs = 15 * kSecond;
// A served client whose answers stop for this long sends a query, whose
// answer shows that the ones before it are lost (a failed transaction's
// answer is dropped), as a client that times out asks again.
constexpr std::int64_t kNudgeNs = 3 * kSecond;
// A half-closed client gets all its answers, then the gateway closes: how
// long without a byte that counts as never closing.
constexpr std::int64_t kHalfCloseStallNs = 30 * kSecond;
// A fault or a removal may cost answers until the gateway is through with
// it: the read that times out, the recovery and the identity exchange.
constexpr std::int64_t kSettleNs = (2 * kReadTimeout + 3) * kSecond;
// Disturbances last no longer than this (found when looking back).
constexpr std::int64_t kLongestDisturbanceNs = 180 * kSecond;

// ---- what the run shares ----------------------------------------------------

struct Span {
    int client;
    std::int64_t from;
    std::int64_t to;
};

// One port of the gateway and the state its clients share.
struct PortState {
    int index = 0;
    std::uint16_t tcp = 0;
    std::string identity;  // what its instrument answers to *IDN?
    std::string serial;

    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t events = 0;  // a client was served, half-closed or left
    int connected = 0;         // clients with a connection open
    // Spans in which a client certainly owned the port: from the receipt of
    // its first answer to the sending of the last line it got an answer to.
    std::vector<Span> owned;
    // Times in which a fault or a removal may cost answers; an end of
    // LLONG_MAX: still going on.
    std::vector<std::pair<std::int64_t, std::int64_t>> disturbances;
    std::set<std::uint64_t> unsolicitedSeen;
    std::atomic<std::uint64_t> reopened{0};  // the gateway logged "slot reopened"
    // While the gateway has lost the instrument in a fault or a removal
    // (from its "instrument gone" to its "slot reopened"), answers may go
    // too: the loss is a disturbance of its own.
    std::optional<std::size_t> loss;

    // Whose turn it is: raw-socket clients or VXI-11 links (each kind still
    // tries the other's turn now and then, and must then be turned away).
    bool vxiTurn = false;
    std::uint64_t turns = 0;
    // Raw-socket connections made, and when the last one closed; clients
    // surely served now (from their first answer until they half-close or
    // leave).
    std::uint64_t rawConnects = 0;
    std::int64_t lastRawCloseNs = 0;
    int rawServed = 0;
    // VXI-11 links surely open (from create_link's answer to the call or
    // close that ends them), and how often their number fell to 0.
    int linksOpen = 0;
    std::uint64_t linksZeroed = 0;
    int nextLinkTag = 100;  // the client numbers of links' tags (raw clients' are below)
    // The device lock as the links know it: its holder (0: none) while
    // `lockKnown`; `lockEpoch` counts every change and every lock call sent
    // or answered, so a call that saw one epoch from its start to its answer
    // saw one state; `lockCalls`: lock calls in flight.
    std::int32_t lockHolder = 0;
    bool lockKnown = true;
    std::uint64_t lockEpoch = 0;
    int lockCalls = 0;

    bool vxi_turn() {
        std::lock_guard lock(mutex);
        return vxiTurn;
    }
    void notify() {
        std::lock_guard lock(mutex);
        ++events;
        changed.notify_all();
    }
    std::size_t disturb(std::int64_t from) {
        std::lock_guard lock(mutex);
        disturbances.emplace_back(from, LLONG_MAX);
        return disturbances.size() - 1;
    }
    void settle(std::size_t which, std::int64_t to) {
        std::lock_guard lock(mutex);
        disturbances[which].second = to;
    }
    bool disturbed(std::int64_t from, std::int64_t to) {
        std::lock_guard lock(mutex);
        for (auto d = disturbances.rbegin(); d != disturbances.rend(); ++d) {
            if (d->first <= to && d->second >= from) return true;
            if (d->first < from - kLongestDisturbanceNs) break;
        }
        return false;
    }
};


// The gateway's log: counts of the events the summary shows, the last
// lines for violation reports, and a copy in a file when asked, each line
// there with the time it came, in the run's seconds (the t of violations).
// A time of the run, in seconds, as the reports show it.
inline std::string seconds_text(double seconds) { return std::to_string(seconds).substr(0, 7); }

class GatewayLog {
public:
    GatewayLog(std::vector<PortState>& ports, Violations& violations, const std::string& path)
        : ports_(ports), violations_(violations), startNs_(now_ns()) {
        if (!path.empty()) file_.open(path);
    }
    // The run's start, from which the copy's times count.
    void start_clock(std::int64_t startNs) {
        std::lock_guard lock(mutex_);
        startNs_ = startNs;
    }
    // What the run itself does (faults, removals), in the copy only, among
    // the gateway's lines, so that a violation can be set beside its cause.
    void mark(const std::string& what) {
        std::lock_guard lock(mutex_);
        copy("stress: " + what);
    }
    void take(const std::string& line) {
        std::lock_guard lock(mutex_);
        copy(line);
        tail_.push_back(line);
        if (tail_.size() > 30) tail_.pop_front();
        int slot = -1;
        if (std::sscanf(line.c_str(), "tavril-gateway: slot %d port", &slot) != 1) slot = -1;
        const auto count = [&](const char* text, const char* key) {
            if (line.find(text) != std::string::npos) ++counts_[key];
        };
        count("slot reopened", "slot reopened");
        count(": closed; waiting for", "other instrument at the slot refused");
        count("another instrument answers at the slot", "other instrument answered an exchange");
        count("instrument gone", "instrument gone");
        count("is in use by another client", "clients turned away");
        count("nobody asked for", "unasked output dropped");
        count("_Tavril result", "failed calls");
        count("no instrument: ", "lines dropped without an instrument");
        count("not in step", "lines not sent (output not in step)");
        count("its client left; dropped", "answers dropped after their client left");
        count("gave up after", "ports given up");
        if (slot < 0 || slot >= static_cast<int>(ports_.size())) return;
        PortState& port = ports_[static_cast<std::size_t>(slot)];
        const std::int64_t now = now_ns();
        if (line.find("instrument gone") != std::string::npos && !port.loss) {
            // A loss of the instrument is the gateway's answer to a fault or
            // a removal; with neither in play it is a fault of the gateway.
            if (!port.disturbed(now, now))
                violations_.add("t=" + seconds_text(static_cast<double>(now - startNs_) / 1e9) +
                                " s port " + std::to_string(slot) +
                                ": the instrument was lost while no fault or removal was in play: " + line);
            port.loss = port.disturb(now);
        }
        if (line.find("slot reopened") != std::string::npos) {
            ++port.reopened;
            if (port.loss) port.settle(*port.loss, now + kSettleNs);
            port.loss.reset();
        }
    }
    std::string tail() const {
        std::lock_guard lock(mutex_);
        std::string text;
        for (const std::string& line : tail_) text += "\n    " + line;
        return text;
    }
    std::map<std::string, std::uint64_t> counts() const {
        std::lock_guard lock(mutex_);
        return counts_;
    }

private:
    // Under mutex_.
    void copy(const std::string& line) {
        if (!file_.is_open()) return;
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%10.3f ", static_cast<double>(now_ns() - startNs_) / 1e9);
        file_ << stamp << line << '\n';
    }

    std::vector<PortState>& ports_;
    Violations& violations_;
    mutable std::mutex mutex_;
    std::ofstream file_;
    std::int64_t startNs_;
    std::deque<std::string> tail_;
    std::map<std::string, std::uint64_t> counts_;
};

struct Run {
    const GatewayOptions& options;
    std::vector<PortState>& ports;
    Violations& violations;
    GatewayLog& log;
    std::int64_t startNs;
    std::int64_t endNs;
    std::size_t maxData;
    std::uint16_t vxiCore = 0;  // the VXI-11 core channel's port

    double at(std::int64_t ns) const { return static_cast<double>(ns - startNs) / 1e9; }
    std::string at_text(std::int64_t ns) const { return seconds_text(at(ns)); }
};

class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    std::uint64_t pick(std::uint64_t low, std::uint64_t high) {
        return std::uniform_int_distribution<std::uint64_t>(low, high)(engine_);
    }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(engine_) < p; }
    // Spread over every order of magnitude from `low` to `high`.
    std::uint64_t spread(std::uint64_t low, std::uint64_t high) {
        const double x = std::uniform_real_distribution<double>(std::log(static_cast<double>(low)),
                                                                std::log(static_cast<double>(high)))(engine_);
        return std::clamp<std::uint64_t>(static_cast<std::uint64_t>(std::exp(x)), low, high);
    }
    void sleep_ms(std::uint64_t low, std::uint64_t high) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pick(low, high)));
    }

private:
    std::mt19937_64 engine_;
};

}  // namespace tavlib::stress::gateway
