// soak: random calls of all six functions, in every read mode and with
// responses of up to 300,000 bytes, while the simulator injects random
// faults.  After every call it checks:
//   - the result is one the header allows for that function;
//   - nothing was written outside the caller's buffer (canary bytes around
//     it), and a failed read left the buffer untouched;
//   - a call that no fault hit got exactly the instrument's bytes;
//   - no call outlived its time-outs plus the bound on the waits after a
//     time-out;
//   - the descriptor and thread counts are what they were (the library
//     starts no thread), and memory stays flat.
// A fault counts as having hit a call when the simulator used it up during
// the call (each is set with times=1 and read back afterwards).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "tavlib/driver_interface.h"
#include "result_codes.h"
#include "stress.h"
#include "tavlib.h"

namespace tavlib::stress {

namespace {

// How long a call may take past its time-outs: the header's bound on the
// wait for a cancelled transfer and on the recovery request.
constexpr std::int64_t kPastTimeoutBoundMs = TAVRIL_DRIVER_GRACE_MS;
// Scheduling slack on a loaded machine.
constexpr std::int64_t kSlackMs = 750;

// A round that has made no progress for this long hangs: the soak reports
// it and ends, rather than wait for ever.
constexpr std::int64_t kHangMs = 240000;

constexpr std::uint32_t kMaxTransfer = TAVRIL_MAX_TRANSFER;
constexpr std::size_t kCanary = 64;
constexpr unsigned char kCanaryByte = 0xA5;
constexpr unsigned char kFillByte = 0x5A;
constexpr std::uint32_t kDevice = 1;  // the simulator's only device

// The identity the built-in instrument gives device 1.
const std::string kIdentityLine = std::string(driver::kIdentityPrefix) + ",SN000001,1.0.0\r\n";

using Op = tools::Function;
std::string op_name(Op op) { return std::string(tools::function_name(op)); }

bool allowed_result(Op op, std::int32_t r) {
    switch (op) {
        case Op::Open: return r == 0 || r == -1 || r == -2;
        case Op::Close: return r == 0 || r == -1;
        case Op::Write: return r == 0 || r == -1 || r == -3;
        case Op::Read: return r == 0 || r == -1 || r == -3;
        case Op::Scmd:
            return r == 0 || r == 20 || r == 40 || r == 41 || r == 60 || r == 80 || r == 90 ||
                   r == 100 || r == -1 || r == -2 || r == -4 || r == -5;
        case Op::Conf: return r == 0 || r == -1;
    }
    return false;
}

// A caller's buffer with canary bytes on both sides.
class GuardedBuffer {
public:
    explicit GuardedBuffer(std::size_t size) : size_(size), bytes_(size + 2 * kCanary, kFillByte) {
        std::memset(bytes_.data(), kCanaryByte, kCanary);
        std::memset(bytes_.data() + kCanary + size, kCanaryByte, kCanary);
    }
    char* data() { return reinterpret_cast<char*>(bytes_.data() + kCanary); }
    const unsigned char* inside() const { return bytes_.data() + kCanary; }
    std::size_t size() const { return size_; }
    bool canaries_intact() const {
        for (std::size_t i = 0; i < kCanary; ++i)
            if (bytes_[i] != kCanaryByte || bytes_[kCanary + size_ + i] != kCanaryByte) return false;
        return true;
    }
    // Whether bytes [from, size) still hold the fill.
    bool untouched_from(std::size_t from) const {
        for (std::size_t i = from; i < size_; ++i)
            if (inside()[i] != kFillByte) return false;
        return true;
    }

private:
    std::size_t size_;
    std::vector<unsigned char> bytes_;
};

struct FaultPlan {
    std::string name;                // for the counts
    std::vector<std::string> lines;  // what follows "fault DEV "
    std::int64_t settleMs = 0;       // how long the simulator may act on it afterwards
    bool harmless = false;           // the call must still give the instrument's bytes
};

struct OpCounts {
    std::uint64_t calls = 0;
    std::uint64_t faulted = 0;
    std::uint64_t exact = 0;  // fault-free calls whose bytes were checked
    std::map<std::int32_t, std::uint64_t> results;
};

struct FaultCounts {
    std::uint64_t injected = 0;
    std::uint64_t hit = 0;
};

class Soak {
public:
    explicit Soak(const SoakOptions& options)
        : options_(options),
          random_(options.seed != 0 ? options.seed : static_cast<std::uint64_t>(now_ns())) {}

    std::uint64_t run();

private:
    std::uint64_t pick(std::uint64_t low, std::uint64_t high) {
        return std::uniform_int_distribution<std::uint64_t>(low, high)(random_);
    }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }
    // Sizes spread over every order of magnitude up to `high`.
    std::uint64_t spread(std::uint64_t low, std::uint64_t high) {
        const double lo = std::log(static_cast<double>(low));
        const double hi = std::log(static_cast<double>(high));
        const double x = std::uniform_real_distribution<double>(lo, hi)(random_);
        return std::clamp<std::uint64_t>(static_cast<std::uint64_t>(std::exp(x)), low, high);
    }

    // A command and the instrument's exact answer to it.
    void make_command(std::string* command, std::string* answer);
    // A capacity that takes the whole answer in one response (see
    // Read_Tavril: a response whose size is a whole number of 64 KiB
    // transfers below the capacity would wait for a next transfer).
    std::uint32_t capacity_for(std::size_t answerSize);
    FaultPlan plan_fault(Op op, std::uint32_t writeTimeout, std::uint32_t readTimeout,
                         std::size_t writeSize);

    // One checked call.  `expected`: the bytes a fault-free call must give
    // (a read's answer; empty for calls without output).
    void transaction(bool scmd);
    void conf();
    void reopen(bool withFault);
    bool open_checked(const FaultPlan* plan);
    void close_checked();

    // Arms the plan's faults; after the call, reports which were used up
    // and clears the rest.
    void arm(const FaultPlan& plan);
    std::set<std::string> hits(const FaultPlan& plan);
    // Whether the faults used up may change a call's outcome: a delay
    // within the time-out or a stray completion before the right one may not.
    static bool harmful(const std::set<std::string>& used, const FaultPlan& plan) {
        return !used.empty() && !plan.harmless;
    }
    void settle_and_resync(const FaultPlan& plan, std::int64_t callStart);
    // After a call with a fault: settles, resyncs, and opens the device
    // again when its connection was dropped.
    void recover_from(const FaultPlan& plan, std::int64_t callStart) {
        settle_and_resync(plan, callStart);
        if (!dropped_) return;
        describe(context_ + "; open again", nullptr);
        reopen(false);
        settle_and_resync(FaultPlan{}, now_ns());
    }

    void check_call(Op op, std::int32_t result, std::uint32_t error, std::int64_t elapsedNs,
                    std::int64_t allowedMs, bool faulted);
    void check_process();
    void violation(const std::string& what) { violations_.add(what + " [" + context_ + "]"); }
    // Describes the round for violation reports.
    void describe(const std::string& what, const FaultPlan* plan) {
        context_ = what;
        if (plan == nullptr || plan->name.empty()) return;
        context_ += "; fault: " + plan->name;
        for (const std::string& line : plan->lines) context_ += " / " + line;
    }

    SoakOptions options_;
    std::mt19937_64 random_;
    std::unique_ptr<sim::SimProcess> sim_;
    TavrilHandle handle_ = TAVRIL_INVALID_HANDLE;
    bool open_ = false;
    bool dropped_ = false;
    int fdsClosed_ = 0;  // descriptors with no handle open
    int threads_ = 0;
    Violations violations_;
    std::map<Op, OpCounts> ops_;
    std::map<std::string, FaultCounts> faults_;
    std::uint64_t resyncReads_ = 0;
    std::atomic<std::int64_t> heartbeat_{0};
    std::string context_;
};

void Soak::make_command(std::string* command, std::string* answer) {
    const std::uint64_t kind = pick(0, 9);
    if (kind == 0) {
        *command = driver::kIdentityQuery;
        *answer = kIdentityLine;
    } else if (kind <= 5) {
        std::size_t size = spread(2, 300000);
        if (size % kMaxTransfer == 0) --size;
        *command = "DATA? " + std::to_string(size);
        *answer = sim::data_pattern(size);
    } else {
        // An echoed line; its letters cannot form an answer-code token.
        static constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz0123456789 ,.;:";
        std::size_t size = spread(1, 299998);
        if ((size + 2) % kMaxTransfer == 0) --size;
        command->resize(size);
        for (char& c : *command) c = kLetters[pick(0, kLetters.size() - 1)];
        command->front() = 'e';
        *answer = *command + "\r\n";
    }
}

std::uint32_t Soak::capacity_for(std::size_t answerSize) {
    const auto size = static_cast<std::uint32_t>(answerSize);
    if (chance(0.3)) return size;
    std::uint32_t capacity = size + static_cast<std::uint32_t>(pick(1, 70000));
    // From 64 KiB on, transfers go on while they come back full: a response
    // of a whole number of transfers would wait for one more.
    if (capacity >= kMaxTransfer && size % kMaxTransfer == 0) capacity = size;
    // Below 64 KiB one transfer of the capacity takes it whole.
    return capacity;
}

FaultPlan Soak::plan_fault(Op op, std::uint32_t writeTimeout, std::uint32_t readTimeout,
                           std::size_t writeSize) {
    static constexpr std::uint32_t kCodes[] = {31, 1167, 21, 87, 5, 995, 259, 1117};
    const std::string side = chance(0.5) ? "write" : "read";
    const std::uint32_t timeout = side == "write" ? writeTimeout : readTimeout;
    const bool longWaitsAllowed = op != Op::Conf && op != Op::Open;  // 30 s time-outs there
    FaultPlan plan;
    const std::uint64_t which = pick(0, options_.seconds >= 300 ? 11 : 10);
    switch (which) {
        case 0:
            if (longWaitsAllowed) {
                const std::uint64_t ms = timeout * 1000 + pick(100, 1500);
                plan = {"delay past time-out", {"delay " + std::to_string(ms) + " on=" + side + " times=1"},
                        static_cast<std::int64_t>(ms)};
                break;
            }
            [[fallthrough]];
        case 1: {
            const std::uint64_t ms = pick(10, 400);
            plan = {"delay within time-out", {"delay " + std::to_string(ms) + " on=" + side + " times=1"},
                    static_cast<std::int64_t>(ms), true};
            break;
        }
        case 2:
            if (longWaitsAllowed) {
                const std::uint64_t ms = readTimeout * 1000 + pick(500, 3000);
                const std::uint64_t ignore = pick(200, 4000);
                plan = {"ignored CANCEL",
                        {"delay " + std::to_string(ms) + " on=read times=1",
                         "cancel-ignore " + std::to_string(ignore) + " times=1"},
                        static_cast<std::int64_t>(ms + ignore)};
                break;
            }
            [[fallthrough]];
        case 3: {
            const std::uint32_t code = kCodes[pick(0, std::size(kCodes) - 1)];
            plan = {"error status " + std::to_string(code),
                    {"error " + std::to_string(code) + " on=" + side + " times=1"}, 0};
            break;
        }
        case 4:
            plan = {"zero-byte read", {"zero-read times=1"}, 0};
            break;
        case 5:
            if (writeSize > 1) {
                plan = {"partial write",
                        {"partial-write " + std::to_string(pick(1, writeSize - 1)) + " times=1"}, 0};
                break;
            }
            plan = {"zero-byte read", {"zero-read times=1"}, 0};
            break;
        case 6: {
            const std::uint32_t code = kCodes[pick(0, std::size(kCodes) - 1)];
            plan = {"recovery failure",
                    {"error 31 on=read times=1", "recover-fail " + std::to_string(code) + " times=1"}, 0};
            break;
        }
        case 7: {
            const std::uint64_t ms = pick(200, 4000);
            plan = {"recovery delayed",
                    {"error 31 on=read times=1", "delay " + std::to_string(ms) + " on=ioctl times=1"},
                    static_cast<std::int64_t>(ms)};
            break;
        }
        case 8:
            plan = {"dropped connection", {"drop on=" + side + " times=1"}, 0};
            break;
        case 9:
            plan = {"unsolicited output", {}, 0};
            break;
        case 10: {
            // Completions that break the driver interface (see the
            // simulator's `malformed` fault); way 5 only puts a stray
            // completion before the right one.
            const std::uint64_t way = pick(1, 5);
            plan = {"protocol fault, way " + std::to_string(way),
                    {"malformed " + std::to_string(way) + " on=" + side + " times=1"}, 0, way == 5};
            break;
        }
        case 11:
            plan = {"no identity", {"no-idn times=1"}, 0};
            break;
    }
    return plan;
}

void Soak::arm(const FaultPlan& plan) {
    FaultCounts& counts = faults_[plan.name];
    ++counts.injected;
    if (plan.name == "unsolicited output") {
        // Output nobody asked for, with bytes a line reader must survive:
        // NUL, a lone CR, an answer-code token.
        static const char* kJunk[] = {"STALE ANS40", "\\x00\\x01\\r", "OVERRANGE 12\\r\\nMORE",
                                      "ANS100\\x00ANS20"};
        sim_->ok("push-raw " + std::to_string(kDevice) + " " + kJunk[pick(0, std::size(kJunk) - 1)]);
        return;
    }
    for (const std::string& line : plan.lines) sim_->set_fault(kDevice, line);
}

std::set<std::string> Soak::hits(const FaultPlan& plan) {
    std::set<std::string> used;
    if (plan.name == "unsolicited output") {
        used.insert(plan.name);
        ++faults_[plan.name].hit;
        return used;
    }
    const sim::SimReply reply = sim_->command("faults " + std::to_string(kDevice));
    for (const std::string& line : plan.lines) {
        const std::string kind = line.substr(0, line.find(' '));
        bool stillOn = false;
        for (const std::string& on : reply.lines)
            if (on.find("kind=" + kind + " ") != std::string::npos) stillOn = true;
        if (!stillOn) used.insert(kind);
    }
    sim_->clear_faults(kDevice);
    if (used.count("drop") != 0) dropped_ = true;
    if (!used.empty()) ++faults_[plan.name].hit;
    return used;
}

// Waits until the simulator can no longer act on the faults, then brings the
// instrument back to an empty state: reads out output left over and, for a
// partial command line or unanswered commands, lets a read time out so that
// the library's recovery request drops them.
void Soak::settle_and_resync(const FaultPlan& plan, std::int64_t callStart) {
    const std::int64_t settleUntil = callStart + (plan.settleMs + 100) * 1000000;
    while (now_ns() < settleUntil) ::usleep(20000);
    if (dropped_ || !open_) return;
    for (int round = 0; round < 8; ++round) {
        const sim::SimStats stats = sim_->stats(kDevice);
        const bool output = stats.value("output-messages") != 0;
        if (!output && stats.value("pending-commands") == 0 && stats.value("partial-bytes") == 0)
            return;
        GuardedBuffer buffer(400000);
        std::uint32_t count = 0;
        std::uint32_t error = 0;
        const std::int64_t start = now_ns();
        const std::int32_t r = Read_Tavril(handle_, 300100, TAVRIL_MODE_RAW, 1, buffer.data(), &count, &error);
        ++resyncReads_;
        check_call(Op::Read, r, error, now_ns() - start, 6 * 1000 + kPastTimeoutBoundMs, true);
        if (!buffer.canaries_intact()) violation("Read_Tavril wrote outside the buffer (resync)");
        if (r != 0 && error == 1167) {
            dropped_ = true;
            return;
        }
    }
    violation("the instrument could not be brought back to an empty state");
}

void Soak::check_call(Op op, std::int32_t result, std::uint32_t error, std::int64_t elapsedNs,
                      std::int64_t allowedMs, bool faulted) {
    OpCounts& counts = ops_[op];
    ++counts.calls;
    if (faulted) ++counts.faulted;
    ++counts.results[result];
    if (!allowed_result(op, result))
        violation(std::string(op_name(op)) + " gave " + std::to_string(result) +
                  ", which its header does not list");
    if (result >= 0 && error != 0)
        violation(std::string(op_name(op)) + " gave " + std::to_string(result) + " with error code " +
                  std::to_string(error));
    heartbeat_.store(now_ns());
    const std::int64_t elapsedMs = elapsedNs / 1000000;
    if (elapsedMs > allowedMs + kSlackMs)
        violation(std::string(op_name(op)) + " took " + std::to_string(elapsedMs) + " ms, over " +
                  std::to_string(allowedMs) + " ms (time-outs plus TAVRIL_DRIVER_GRACE_MS)");
    check_process();
}

void Soak::check_process() {
    const int fds = fd_count();
    const int expected = fdsClosed_ + (open_ ? 1 : 0);
    if (fds != expected)
        violation("descriptor count " + std::to_string(fds) + ", expected " + std::to_string(expected));
    const int threads = thread_count();
    if (threads != threads_)
        violation("thread count " + std::to_string(threads) + ", expected " + std::to_string(threads_));
}

bool Soak::open_checked(const FaultPlan* plan) {
    GuardedBuffer identity(sizeof(InstrumentIdentity));
    std::uint32_t error = 0;
    TavrilHandle handle = TAVRIL_INVALID_HANDLE;
    if (plan != nullptr) arm(*plan);
    const std::int64_t start = now_ns();
    const std::int32_t r = Open_Tavril(0, &handle, reinterpret_cast<InstrumentIdentity*>(identity.data()), &error);
    const std::int64_t elapsed = now_ns() - start;
    const bool faulted = plan != nullptr && harmful(hits(*plan), *plan);
    if (r == 0 || r == -2) {
        open_ = true;
        handle_ = handle;
    }
    check_call(Op::Open, r, error, elapsed, (30 + 30 + 10) * 1000 + kPastTimeoutBoundMs, faulted);
    if (!identity.canaries_intact()) violation("Open_Tavril wrote outside the identity");
    if (!faulted) {
        InstrumentIdentity got{};
        std::memcpy(&got, identity.data(), sizeof got);
        if (r != 0 || std::string(got.model) != "ZQ907" || std::string(got.serialNumber) != "SN000001" ||
            std::string(got.firmwareVersion) != "1.0.0")
            violation("Open_Tavril without a fault gave " + std::to_string(r) + ", error " +
                      std::to_string(error) + ", model '" + got.model + "'");
        else
            ++ops_[Op::Open].exact;
    }
    return r == 0;
}

void Soak::close_checked() {
    std::uint32_t error = 0;
    const std::int64_t start = now_ns();
    const std::int32_t r = Close_Tavril(handle_, &error);
    open_ = false;
    dropped_ = false;
    handle_ = TAVRIL_INVALID_HANDLE;
    check_call(Op::Close, r, error, now_ns() - start, kPastTimeoutBoundMs, false);
    if (r != 0) violation("Close_Tavril gave " + std::to_string(r) + ", error " + std::to_string(error));
}

void Soak::reopen(bool withFault) {
    if (open_) close_checked();
    if (!withFault) {
        if (context_.empty()) describe("open", nullptr);
        open_checked(nullptr);
        return;
    }
    const FaultPlan plan = plan_fault(Op::Open, 30, 30, 7);
    describe("open", &plan);
    const std::int64_t start = now_ns();
    open_checked(&plan);
    settle_and_resync(plan, start);
    // A device left cut off is opened again, fault-free.
    if (dropped_ || !open_) {
        if (open_) close_checked();
        if (!open_checked(nullptr)) violation("Open_Tavril failed after a fault was cleared");
        // Its identification may have taken an earlier answer and left its own.
        settle_and_resync(FaultPlan{}, now_ns());
    }
}

void Soak::transaction(bool scmd) {
    std::string command;
    std::string answer;
    make_command(&command, &answer);
    const std::int32_t mode = static_cast<std::int32_t>(pick(0, scmd ? 1 : 2));
    const auto writeTimeout = static_cast<std::uint32_t>(pick(1, 2));
    const auto readTimeout = static_cast<std::uint32_t>(pick(1, 2));
    const std::uint32_t capacity = capacity_for(answer.size());
    const std::size_t writeSize = command.size() + 2;
    const bool withFault = chance(options_.faultShare);
    FaultPlan plan;
    if (withFault) plan = plan_fault(scmd ? Op::Scmd : Op::Write, writeTimeout, readTimeout, writeSize);
    describe(std::string(scmd ? "Scmd" : "Write+Read") + " '" + command.substr(0, 24) +
                 "' size " + std::to_string(command.size()) + " mode " + std::to_string(mode) +
                 " capacity " + std::to_string(capacity) + " time-outs " +
                 std::to_string(writeTimeout) + "/" + std::to_string(readTimeout),
             withFault ? &plan : nullptr);

    const std::uint64_t writeTransfers = (writeSize + kMaxTransfer - 1) / kMaxTransfer;
    const std::uint64_t readTransfers = capacity < kMaxTransfer ? 1 : capacity / kMaxTransfer + 1;
    const std::int64_t writeAllowed = static_cast<std::int64_t>(writeTransfers * writeTimeout * 1000) + kPastTimeoutBoundMs;
    const std::int64_t readAllowed = static_cast<std::int64_t>(readTransfers * readTimeout * 1000) + kPastTimeoutBoundMs;

    // Text modes need room for the NUL.
    GuardedBuffer buffer(capacity + (mode == TAVRIL_MODE_RAW ? 0 : 1));
    std::uint32_t error = 0;
    std::uint32_t count = 0;
    std::int32_t result = 0;
    if (withFault) arm(plan);
    const std::int64_t start = now_ns();
    bool readSucceeded = false;
    std::uint32_t readCount = 0;
    if (scmd) {
        result = Scmd_Tavril(handle_, command.c_str(), capacity, mode, writeTimeout, readTimeout,
                             buffer.data(), &error);
        const std::int64_t elapsed = now_ns() - start;
        const bool faulted = withFault && harmful(hits(plan), plan);
        check_call(Op::Scmd, result, error, elapsed, writeAllowed + readAllowed, faulted);
        if (!buffer.canaries_intact()) violation("Scmd_Tavril wrote outside the response buffer");
        if (result < 0 && result != -2 && !buffer.untouched_from(0))
            violation("Scmd_Tavril gave " + std::to_string(result) + " and wrote the response buffer");
        if (!faulted && result != 0)
            violation("Scmd_Tavril without a fault gave " + std::to_string(result) + ", error " +
                      std::to_string(error));
        readSucceeded = result >= 0;
        // The answer's length: up to the NUL.
        readCount = static_cast<std::uint32_t>(strnlen(buffer.data(), buffer.size()));
        if (!faulted && readSucceeded) {
            const std::string want =
                mode == TAVRIL_MODE_LINE ? answer.substr(0, answer.find("\r\n")) : answer;
            if (readCount != want.size() || std::memcmp(buffer.data(), want.data(), want.size()) != 0 ||
                !buffer.untouched_from(want.size() + 1))
                violation("Scmd_Tavril without a fault did not give the instrument's bytes (" +
                          std::to_string(readCount) + " of " + std::to_string(want.size()) + ")");
            else
                ++ops_[Op::Scmd].exact;
        }
    } else {
        result = Write_Tavril(handle_, command.c_str(), writeTimeout, &count, &error);
        const std::int64_t writeEnd = now_ns();
        // A write that succeeded leaves the faults armed for its read; they
        // are read back after the read.
        bool faulted = false;
        bool polled = false;
        if (result != 0 && withFault) {
            faulted = harmful(hits(plan), plan);
            polled = true;
        }
        check_call(Op::Write, result, error, writeEnd - start, writeAllowed, faulted);
        if (result == 0 && count != writeSize)
            violation("Write_Tavril gave 0 with " + std::to_string(count) + " of " +
                      std::to_string(writeSize) + " bytes written");
        if (result != 0 && !faulted)
            violation("Write_Tavril without a fault gave " + std::to_string(result) + ", error " +
                      std::to_string(error));
        if (result == 0 && !dropped_) {
            error = 0;
            const std::int64_t readStart = now_ns();
            result = Read_Tavril(handle_, capacity, mode, readTimeout, buffer.data(), &count, &error);
            const std::int64_t readEnd = now_ns();
            if (withFault) {
                faulted = harmful(hits(plan), plan);
                polled = true;
            }
            check_call(Op::Read, result, error, readEnd - readStart, readAllowed, faulted);
            if (!buffer.canaries_intact()) violation("Read_Tavril wrote outside the buffer");
            if (result != 0 && !buffer.untouched_from(0))
                violation("Read_Tavril gave " + std::to_string(result) + " and wrote the buffer");
            if (result != 0 && !faulted)
                violation("Read_Tavril without a fault gave " + std::to_string(result) + ", error " +
                          std::to_string(error));
            if (result == 0 && !faulted) {
                std::string want = answer;
                std::size_t written = want.size();  // bytes the buffer must hold
                if (mode == TAVRIL_MODE_LINE) {
                    want = answer.substr(0, answer.find("\r\n"));
                    written = want.size() + 1;
                } else if (mode == TAVRIL_MODE_TEXT) {
                    written = want.size() + 1;
                }
                if (count != want.size() || std::memcmp(buffer.data(), want.data(), want.size()) != 0 ||
                    (mode != TAVRIL_MODE_RAW && buffer.data()[want.size()] != '\0') ||
                    !buffer.untouched_from(written))
                    violation("Read_Tavril (mode " + std::to_string(mode) +
                              ") without a fault did not give the instrument's bytes (" +
                              std::to_string(count) + " of " + std::to_string(want.size()) + ")");
                else
                    ++ops_[Op::Read].exact;
            }
        }
        if (withFault && !polled) hits(plan);
        if (!faulted && result == 0) ++ops_[Op::Write].exact;
    }
    if (withFault) recover_from(plan, start);
}

void Soak::conf() {
    const bool withFault = chance(options_.faultShare);
    FaultPlan plan;
    if (withFault) plan = plan_fault(Op::Conf, 30, 30, 7);
    describe("Conf", withFault ? &plan : nullptr);
    GuardedBuffer identity(sizeof(InstrumentIdentity));
    std::uint32_t error = 0;
    if (withFault) arm(plan);
    const std::int64_t start = now_ns();
    const std::int32_t r =
        Conf_Tavril(handle_, reinterpret_cast<InstrumentIdentity*>(identity.data()), &error);
    const std::int64_t elapsed = now_ns() - start;
    const bool faulted = withFault && harmful(hits(plan), plan);
    check_call(Op::Conf, r, error, elapsed, 60 * 1000 + kPastTimeoutBoundMs, faulted);
    if (!identity.canaries_intact()) violation("Conf_Tavril wrote outside the identity");
    if (r != 0 && !identity.untouched_from(0)) violation("Conf_Tavril failed and wrote the identity");
    if (!faulted) {
        InstrumentIdentity got{};
        std::memcpy(&got, identity.data(), sizeof got);
        if (r != 0 || std::string(got.serialNumber) != "SN000001")
            violation("Conf_Tavril without a fault gave " + std::to_string(r) + ", error " +
                      std::to_string(error));
        else
            ++ops_[Op::Conf].exact;
    }
    if (withFault) recover_from(plan, start);
}

std::uint64_t Soak::run() {
    std::printf("soak: seed %llu, %.0f s, fault share %.2f, bound past time-outs %lld ms\n",
                static_cast<unsigned long long>(options_.seed), options_.seconds, options_.faultShare,
                static_cast<long long>(kPastTimeoutBoundMs));
    sim_ = start_simulator(1);
    heartbeat_.store(now_ns());
    std::jthread watchdog([this](std::stop_token stop) {
        while (!stop.stop_requested()) {
            ::usleep(200000);
            if (now_ns() - heartbeat_.load() > kHangMs * 1000000) {
                std::fprintf(stderr, "VIOLATION: no call returned for %lld s (a hang); ending\n",
                             static_cast<long long>(kHangMs / 1000));
                std::fflush(nullptr);
                ::_exit(1);
            }
        }
    });
    fdsClosed_ = fd_count();
    threads_ = thread_count();
    if (!open_checked(nullptr)) throw std::runtime_error("the first Open_Tavril failed");
    // Warm-up, fault-free, before the memory figure is taken.
    for (int i = 0; i < 20; ++i) transaction(i % 2 == 0);
    const Memory before = memory_in_use();
    long maxKib = before.kib;

    const std::int64_t end = now_ns() + static_cast<std::int64_t>(options_.seconds * 1e9);
    std::uint64_t rounds = 0;
    while (now_ns() < end) {
        if (!open_ && !open_checked(nullptr)) {
            violation("the device cannot be opened any more; the soak stops");
            break;
        }
        heartbeat_.store(now_ns());
        context_.clear();
        const std::uint64_t which = pick(0, 99);
        if (which < 40)
            transaction(false);
        else if (which < 85)
            transaction(true);
        else if (which < 93)
            conf();
        else
            reopen(chance(options_.faultShare));
        maxKib = std::max(maxKib, memory_in_use().kib);
        ++rounds;
    }
    if (open_) close_checked();
    const Memory after = memory_in_use();

    std::printf("soak: %llu rounds, %llu resync reads\n", static_cast<unsigned long long>(rounds),
                static_cast<unsigned long long>(resyncReads_));
    for (const auto& [op, c] : ops_) {
        std::ostringstream results;
        for (const auto& [r, n] : c.results) results << " " << r << ":" << n;
        std::printf("soak: %-13s calls %7llu  faulted %6llu  exact %7llu  results%s\n", op_name(op).c_str(),
                    static_cast<unsigned long long>(c.calls), static_cast<unsigned long long>(c.faulted),
                    static_cast<unsigned long long>(c.exact), results.str().c_str());
    }
    std::uint64_t injected = 0;
    for (const auto& [name, f] : faults_) {
        injected += f.injected;
        std::printf("soak: fault %-24s injected %6llu  hit a call %6llu\n", name.c_str(),
                    static_cast<unsigned long long>(f.injected), static_cast<unsigned long long>(f.hit));
    }
    std::printf("soak: faults injected %llu\n", static_cast<unsigned long long>(injected));
    std::printf("soak: fds %d (no handle open), threads %d; %s before %ld KiB, max %ld KiB, after %ld KiB\n",
                fd_count(), thread_count(), before.name, before.kib, maxKib, after.kib);
    // Over the whole run: the last round's context would say nothing here.
    check_memory_flat(before, after, options_.memorySlackKib, violations_);
    return violations_.count();
}

}  // namespace

std::uint64_t run_soak(const SoakOptions& options) {
    SoakOptions chosen = options;
    if (chosen.seed == 0) chosen.seed = static_cast<std::uint64_t>(now_ns());
    Soak soak(chosen);
    return soak.run();
}

}  // namespace tavlib::stress
