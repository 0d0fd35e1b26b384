// The VXI-11 clients of `tavlib-stress gateway`: random links to the
// gateway's devices `inst<slot>` beside the raw-socket clients, whose
// answers are checked the same way (every line tagged with its port, link
// and sequence number), and whose calls are timed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gateway_lines.h"
#include "gateway_run.h"
#include "vxi11_client.h"

namespace tavlib::stress::gateway {

// What the VXI-11 clients did and saw; summed at the end.
struct VxiTally {
    // What they did.
    std::uint64_t links = 0, linksWithLock = 0, linksTurnedAway = 0, linksNoDevice = 0;
    std::uint64_t destroyed = 0, destroyedMidAnswer = 0, vanished = 0, vanishedMidRead = 0;
    std::uint64_t writes = 0, blocks = 0, lines = 0, doubledLineEnds = 0;
    std::uint64_t reads = 0, partialReads = 0, termCharReads = 0, endReads = 0, emptyReads = 0, readTimeouts = 0;
    std::uint64_t statusBytes = 0, triggers = 0, triggersRefused = 0, clears = 0;
    std::uint64_t locks = 0, lockWaits = 0, lockWaitsGranted = 0, lockRefused = 0, unlocks = 0;
    std::uint64_t aborts = 0, abortedReads = 0, lockedOut = 0;
    std::uint64_t whole = 0, cut = 0, missing = 0, given = 0, dataAnswers = 0, dataBytes = 0, unsolicited = 0;
    std::uint64_t endMidMessage = 0, remnants = 0;
    // Violations.
    std::uint64_t anotherLine = 0, anotherLink = 0, anotherClient = 0, anotherInstrument = 0, notAMessage = 0;
    std::uint64_t triggerAnswers = 0, unsolicitedTwice = 0, lostUndisturbed = 0, heldUp = 0, abortLate = 0;
    std::uint64_t lockBroken = 0, lockedWhileFree = 0, lockRules = 0, badResult = 0, badRead = 0, rpcFailures = 0;

    void add(const VxiTally& other);
};
void print_vxi_tally(const VxiTally& tally);

class VxiClient {
public:
    VxiClient(Run& run, PortState& port, int id, std::uint64_t seed);
    ~VxiClient();
    VxiClient(const VxiClient&) = delete;
    VxiClient& operator=(const VxiClient&) = delete;

    // Sessions one after the other until the end of the run.
    void run();
    // One link that writes `kinds` and reads every answer whole within
    // `timeoutNs`; false (and why) otherwise.  The warm-up and the final
    // check.
    bool probe(const std::vector<Kind>& kinds, std::size_t dataSize, std::int64_t timeoutNs, std::string* why);

    VxiTally tally;

private:
    struct State;
    std::unique_ptr<State> s_;
};

// A link on each port with a read waiting (nothing written, a long
// io_timeout): the gateway is to end on SIGTERM within 2 s all the same.
class WaitingReads {
public:
    WaitingReads(const Run& run, int ports, std::uint32_t ioTimeoutMs);
    std::size_t waiting() const { return waiting_; }

private:
    std::vector<vxi11::RpcConnection> connections_;
    std::size_t waiting_ = 0;
};

}  // namespace tavlib::stress::gateway
