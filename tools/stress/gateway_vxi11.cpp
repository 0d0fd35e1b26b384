// VXI-11 clients of `tavlib-stress gateway`.  Each session makes one to
// three links to its port's device (each on a connection of its own), and
// does random steps on them: messages of tagged lines written in blocks
// (END on the last; now and then doubled line ends), reads of every size
// with and without a termination character, reads with nothing written,
// reads ended by device_abort from the abort channel, status bytes,
// triggers, clears, locks with and without waiting, links destroyed in the
// middle of an answer and connections closed in the middle of a read.
//
// What counts against the gateway:
//   - a read that returns a byte of anything but the answers to this link's
//     own lines, in order: another line's (answered, or one the answer of a
//     later line came before), another link's, a raw-socket client's,
//     another instrument's, the answer of a trigger (the instrument echoes
//     `*TRG`), or no whole message of the instrument (an empty line sent);
//   - an answer lost while no fault, removal or clear was in play on the
//     port, nor an abort or a refused write on the link;
//   - a read whose size, reason or termination character do not fit;
//   - a call that needs no busy instrument (create_link, destroy_link of a
//     link with nothing pending, readstb, device_lock without waiting,
//     device_unlock, device_abort) answered after more than 2 s; a waiting
//     lock that waits more than 2 s past its lock_timeout; a read still
//     waiting 2 s after its device_abort, or ended after it otherwise than
//     with 23 (or its data, or 11 for a lock);
//   - a call that succeeds while another link surely holds the lock, an 11
//     while surely nobody does (no lock, no raw-socket client for 10 s), a
//     second device_lock on a link not answered 11, an unlock without the
//     lock not answered 12;
//   - a raw-socket client served while links were surely open (gateway.cpp);
//   - any other result a call may not give (3, 15, 17 pass only under a
//     fault or a removal), and an RPC failure or a closed connection.
#include "gateway_vxi11.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <thread>
#include <utility>

namespace tavlib::stress::gateway {

namespace {

using namespace vxi11;

constexpr int kTagBase = 100;                       // link tags; raw clients' are below
constexpr std::int64_t kHeldUpNs = 2 * kSecond;     // a call needing no busy instrument
constexpr std::int64_t kAbortNs = 2 * kSecond;      // a read after its abort (about 1.5 s, and slack)
constexpr std::int64_t kReplySlackNs = 30 * kSecond;  // an RPC reply beyond the call's own times
constexpr std::int64_t kVxiStallNs = 20 * kSecond;  // reads without progress before answers count as lost
constexpr std::int64_t kRawQuietNs = 10 * kSecond;  // no raw client for this long: it no longer owns the port
constexpr std::int64_t kLockHoldNs = 3 * kSecond;   // a link holds the lock at most so long
constexpr std::uint32_t kIoMs = 5000;               // io_timeout of writes and of reads that expect data

std::string ms(std::int64_t ns) { return std::to_string(ns / kMs) + " ms"; }

struct LockView {
    std::int32_t holder = 0;
    bool known = false;
    std::uint64_t epoch = 0;
    int calls = 0;
    std::uint64_t rawConnects = 0;
    int rawConnected = 0;
    std::int64_t lastRawCloseNs = 0;
    std::int64_t atNs = 0;
};

LockView lock_view(PortState& port) {
    std::lock_guard lock(port.mutex);
    return {port.lockHolder, port.lockKnown, port.lockEpoch, port.lockCalls,
            port.rawConnects, port.connected, port.lastRawCloseNs, now_ns()};
}

}  // namespace

void VxiTally::add(const VxiTally& o) {
    static constexpr std::uint64_t VxiTally::*kFields[] = {
        &VxiTally::links, &VxiTally::linksWithLock, &VxiTally::linksTurnedAway, &VxiTally::linksNoDevice,
        &VxiTally::destroyed, &VxiTally::destroyedMidAnswer, &VxiTally::vanished, &VxiTally::vanishedMidRead,
        &VxiTally::writes, &VxiTally::blocks, &VxiTally::lines, &VxiTally::doubledLineEnds, &VxiTally::reads,
        &VxiTally::partialReads, &VxiTally::termCharReads, &VxiTally::endReads, &VxiTally::emptyReads,
        &VxiTally::readTimeouts, &VxiTally::statusBytes, &VxiTally::triggers, &VxiTally::triggersRefused,
        &VxiTally::clears, &VxiTally::locks, &VxiTally::lockWaits, &VxiTally::lockWaitsGranted,
        &VxiTally::lockRefused, &VxiTally::unlocks, &VxiTally::aborts, &VxiTally::abortedReads,
        &VxiTally::lockedOut, &VxiTally::whole, &VxiTally::cut, &VxiTally::missing, &VxiTally::given,
        &VxiTally::dataAnswers, &VxiTally::dataBytes, &VxiTally::unsolicited, &VxiTally::endMidMessage, &VxiTally::remnants,
        &VxiTally::anotherLine, &VxiTally::anotherLink, &VxiTally::anotherClient, &VxiTally::anotherInstrument,
        &VxiTally::notAMessage, &VxiTally::triggerAnswers, &VxiTally::unsolicitedTwice,
        &VxiTally::lostUndisturbed, &VxiTally::heldUp, &VxiTally::abortLate, &VxiTally::lockBroken,
        &VxiTally::lockedWhileFree, &VxiTally::lockRules, &VxiTally::badResult, &VxiTally::badRead,
        &VxiTally::rpcFailures};
    for (const auto field : kFields) this->*field += o.*field;
}

void print_vxi_tally(const VxiTally& t) {
    const auto n = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
    std::printf("vxi11: links %llu (made with the lock %llu); create_link turned away (a raw-socket client, or "
                "locked) %llu, no instrument %llu; destroyed %llu (in the middle of an answer %llu), connections "
                "closed without destroy_link %llu (in the middle of a read %llu)\n",
                n(t.links), n(t.linksWithLock), n(t.linksTurnedAway), n(t.linksNoDevice), n(t.destroyed),
                n(t.destroyedMidAnswer), n(t.vanished), n(t.vanishedMidRead));
    std::printf("vxi11: writes %llu (%llu blocks, %llu lines, doubled line ends %llu); reads %llu: partial "
                "(REQCNT) %llu, to a termination character (CHR) %llu, END %llu, with nothing written %llu, "
                "io time-outs with answers due %llu\n",
                n(t.writes), n(t.blocks), n(t.lines), n(t.doubledLineEnds), n(t.reads), n(t.partialReads),
                n(t.termCharReads), n(t.endReads), n(t.emptyReads), n(t.readTimeouts));
    std::printf("vxi11: readstb %llu, triggers %llu (refused with 8: %llu), clears %llu; locks %llu (waiting "
                "%llu, granted after a wait %llu, refused 11 %llu), unlocks %llu; calls answered 11 (locked) "
                "%llu; aborts %llu, reads ended by an abort %llu\n",
                n(t.statusBytes), n(t.triggers), n(t.triggersRefused), n(t.clears), n(t.locks), n(t.lockWaits),
                n(t.lockWaitsGranted), n(t.lockRefused), n(t.unlocks), n(t.lockedOut), n(t.aborts),
                n(t.abortedReads));
    std::printf("vxi11: answers whole %llu, cut short %llu, missing %llu, given up with their link %llu; DATA? "
                "answers %llu (%llu bytes), unsolicited messages %llu; END inside a message %llu; pieces of the link's "
                "own messages after a loss %llu\n",
                n(t.whole), n(t.cut), n(t.missing), n(t.given), n(t.dataAnswers), n(t.dataBytes), n(t.unsolicited),
                n(t.endMidMessage), n(t.remnants));
    std::printf("vxi11: answers for another line %llu, for another link %llu, for a raw-socket client %llu, for "
                "another instrument %llu; a trigger's answer %llu; no whole message %llu; unsolicited twice %llu\n",
                n(t.anotherLine), n(t.anotherLink), n(t.anotherClient), n(t.anotherInstrument),
                n(t.triggerAnswers), n(t.notAMessage), n(t.unsolicitedTwice));
    std::printf("vxi11: answers lost outside faults %llu; calls held up %llu; reads late after an abort %llu; "
                "lock broken %llu, 11 with no lock %llu, lock rules %llu; wrong results %llu, reads that do not fit "
                "their request %llu, RPC failures %llu\n",
                n(t.lostUndisturbed), n(t.heldUp), n(t.abortLate), n(t.lockBroken), n(t.lockedWhileFree),
                n(t.lockRules), n(t.badResult), n(t.badRead), n(t.rpcFailures));
}

// ---- a client ------------------------------------------------------------

struct VxiClient::State {
    struct Link {
        RpcConnection rpc;
        std::int32_t lid = 0;
        int tag = 0;
        std::uint64_t seq = 0;
        std::uint32_t maxRecv = 65536;
        std::uint16_t abortPort = 0;
        std::uint64_t number = 0;
        std::string in;  // read bytes not yet split into messages
        std::int64_t inSinceNs = 0;  // when the first of them came
        // The answers stopped coming in the middle of a message, and were
        // given up: the rest of that message, which the gateway still keeps
        // for the link, may come later, up to its line end.
        bool skipRest = false;
        std::deque<Line> outstanding;
        bool holdsLock = false;
        std::int64_t lockSinceNs = 0;
        // The link's last calls and what they brought, for violation reports.
        std::deque<std::string> history;
    };
    struct ReadPlan {
        std::uint32_t request = 0;
        std::uint32_t ioMs = kIoMs;
        std::int32_t flags = 0;
        char termChar = '\n';
        std::uint32_t lockMs = 0;
    };

    Run& run;
    PortState& port;
    int id;
    Random random;
    VxiTally& tally;
    std::uint64_t linksMade = 0;
    bool quiet = false;  // a probe: lost answers are its result

    State(Run& r, PortState& p, int i, std::uint64_t seed, VxiTally& t)
        : run(r), port(p), id(i), random(seed), tally(t) {}

    std::string device() const { return "inst" + std::to_string(port.index); }
    bool disturbed(std::int64_t from) { return port.disturbed(from, now_ns()); }

    void violation(std::uint64_t& counter, const Link* link, const std::string& what) {
        ++counter;
        std::string where = "t=" + run.at_text(now_ns()) + " s port " +
                            std::to_string(port.index) + " VXI-11 client " + std::to_string(id);
        std::string calls;
        if (link != nullptr) {
            where += " link " + std::to_string(link->lid) + " (tag " + std::to_string(link->tag) + ")";
            for (const std::string& call : link->history) calls += "\n    " + call;
        }
        run.violations.add(where + ": " + what + "; the link's last calls:" + (calls.empty() ? " none" : calls) +
                           "\n  the gateway's last lines:" + run.log.tail());
    }
    void note_call(Link& link, const std::string& call) {
        link.history.push_back("t=" + run.at_text(now_ns()) + " " + call);
        if (link.history.size() > 12) link.history.pop_front();
    }
    void held_up(const Link* link, const char* call, std::int64_t from) {
        const std::int64_t took = now_ns() - from;
        if (took > kHeldUpNs)
            violation(tally.heldUp, link, std::string(call) + " took " + ms(took) + " (more than 2 s): held up");
    }
    // A result that is neither expected nor excused.
    void bad_result(const Link* link, const char* call, std::int32_t error) {
        violation(tally.badResult, link, std::string(call) + " answered " + std::to_string(error));
    }
    void rpc_failure(const Link* link, const char* call, Wire wire) {
        violation(tally.rpcFailures, link, std::string(call) + ": " + wire_name(wire));
    }

    // ---- the lock as the links know it
    void lock_call_starts() {
        std::lock_guard lock(port.mutex);
        ++port.lockCalls;
        ++port.lockEpoch;
    }
    void lock_call_ends(std::int32_t lid, bool granted) {
        std::lock_guard lock(port.mutex);
        --port.lockCalls;
        ++port.lockEpoch;
        if (granted) {
            port.lockHolder = lid;
            port.lockKnown = true;
        }
    }
    // The holder gives the lock up: unknown until the gateway answers.
    std::uint64_t lock_releasing() {
        std::lock_guard lock(port.mutex);
        port.lockHolder = 0;
        port.lockKnown = false;
        return ++port.lockEpoch;
    }
    void lock_released(std::uint64_t epoch) {
        std::lock_guard lock(port.mutex);
        if (port.lockEpoch != epoch) return;  // something happened meanwhile
        port.lockKnown = true;
        ++port.lockEpoch;
    }
    // Judges a call of `link` that began when the lock was `before`:
    // success while another link held the lock all along, or 11 while
    // surely nobody held it and no raw-socket client was near.
    // A lock call judges itself before lock_call_ends (`own`: one call in
    // flight is its own).
    void judge_lock(const Link& link, const char* call, const LockView& before, std::int32_t error,
                    bool own = false) {
        // A fault or a removal may end links, and their locks with them.
        const LockView after = lock_view(port);
        if (after.epoch != before.epoch || !before.known || port.disturbed(before.atNs, after.atNs)) return;
        if (error == kOk && before.holder != 0 && before.holder != link.lid)
            violation(tally.lockBroken, &link,
                      std::string(call) + " answered 0 while link " + std::to_string(before.holder) +
                          " held the device lock");
        if (error == kLocked && before.holder == 0 && before.calls == (own ? 1 : 0) && before.rawConnected == 0 &&
            after.rawConnected == 0 && after.rawConnects == before.rawConnects &&
            (before.lastRawCloseNs == 0 || now_ns() - before.lastRawCloseNs > kRawQuietNs))
            violation(tally.lockedWhileFree, &link,
                      std::string(call) + " answered 11 while no link held the lock and no raw-socket client "
                                          "that may have owned the port had been on it for 10 s");
    }

    // ---- links
    void link_opened(Link& link) {
        std::lock_guard lock(port.mutex);
        ++port.linksOpen;
        link.number = ++linksMade;
    }
    void link_closing() {
        std::lock_guard lock(port.mutex);
        if (--port.linksOpen == 0) ++port.linksZeroed;
    }

    std::unique_ptr<Link> open_link(bool withLock) {
        auto link = std::make_unique<Link>();
        if (!link->rpc.open(run.vxiCore)) {
            violation(tally.rpcFailures, nullptr, "cannot connect to the core channel");
            return nullptr;
        }
        const std::uint32_t lockMs = withLock ? static_cast<std::uint32_t>(random.pick(0, 1500)) : 0;
        if (withLock) lock_call_starts();
        const LockView before = lock_view(port);
        const std::int64_t t0 = now_ns();
        const LinkReply reply = create_link(link->rpc, 1000 + id, withLock, lockMs, device(),
                                            t0 + lockMs * kMs + kReplySlackNs);
        if (withLock) {
            if (reply.wire == Wire::ok && (reply.error == kOk || reply.error == kLocked)) {
                link->lid = reply.lid;
                judge_lock(*link, "create_link with the lock", before, reply.error, true);
            }
            lock_call_ends(reply.lid, reply.wire == Wire::ok && reply.error == kOk);
        }
        if (reply.wire != Wire::ok) {
            rpc_failure(nullptr, "create_link", reply.wire);
            return nullptr;
        }
        if (withLock)
            held_up(nullptr, "create_link (with the lock)", t0 + lockMs * kMs);
        else
            held_up(nullptr, "create_link", t0);
        link->lid = reply.lid;
        if (reply.error == kLocked) {
            ++tally.linksTurnedAway;
            return nullptr;
        }
        if (reply.error == kNoDevice) {
            ++tally.linksNoDevice;
            if (!disturbed(t0) && !quiet) bad_result(nullptr, "create_link", reply.error);
            return nullptr;
        }
        if (reply.error != kOk) {
            if (!quiet) bad_result(nullptr, "create_link", reply.error);
            return nullptr;
        }
        {
            std::lock_guard lock(port.mutex);
            link->tag = port.nextLinkTag++;
        }
        link->maxRecv = std::clamp<std::uint32_t>(reply.maxRecvSize, 1024, 16 * 1024 * 1024);
        link->abortPort = static_cast<std::uint16_t>(reply.abortPort);
        link_opened(*link);
        ++tally.links;
        if (withLock) {
            ++tally.linksWithLock;
            link->holdsLock = true;
            link->lockSinceNs = now_ns();
        }
        return link;
    }

    // Ends a link: destroy_link, or the connection closed without it.
    void close_link(std::unique_ptr<Link>& link, bool destroy) {
        if (!link) return;
        const bool pending = !link->outstanding.empty() || !link->in.empty();
        std::uint64_t epoch = 0;
        if (link->holdsLock) epoch = lock_releasing();
        link_closing();
        for (const Line& line : link->outstanding) {
            (void)line;
            ++tally.given;
        }
        if (destroy && link->rpc.is_open()) {
            const std::int64_t t0 = now_ns();
            const ErrorReply reply = link_call(link->rpc, kCoreProgram, kDestroyLink, link->lid, t0 + kReplySlackNs);
            if (reply.wire != Wire::ok) {
                rpc_failure(link.get(), "destroy_link", reply.wire);
            } else {
                if (!pending) held_up(link.get(), "destroy_link", t0);
                if (reply.error != kOk && !disturbed(t0)) bad_result(link.get(), "destroy_link", reply.error);
                if (link->holdsLock) lock_released(epoch);
            }
            ++tally.destroyed;
            if (pending) ++tally.destroyedMidAnswer;
        } else {
            ++tally.vanished;
        }
        link.reset();
    }

    // ---- what comes back
    void resolve(Link& link, const Line& line, bool cut) {
        ++(cut ? tally.cut : tally.missing);
        if (quiet || line.excused || port.disturbed(line.sentNs, now_ns())) return;
        violation(tally.lostUndisturbed, &link,
                  std::string("an answer ") + (cut ? "cut short" : "missing") +
                      " while no fault, removal or clear was in play: " + line.shown() + " written at t=" +
                      run.at_text(line.sentNs));
    }

    // `carried`: the bytes of the message that an earlier read returned.
    void on_message(Link& link, std::string_view message, std::size_t carried = 0) {
        auto match = std::find_if(link.outstanding.begin(), link.outstanding.end(),
                                  [&](const Line& line) { return line.next_is(message); });
        // A read returns pieces of a message: when the rest of one was lost
        // (a fault, a clear, an abort), the next answer follows what the
        // link had of it.  Excused, the end of the message may be a line's
        // answer.
        if (match == link.outstanding.end() && !link.outstanding.empty() &&
            (link.outstanding.front().excused || port.disturbed(link.outstanding.front().sentNs, now_ns())))
            match = std::find_if(link.outstanding.begin(), link.outstanding.end(),
                                 [&](const Line& line) { return line.next_ends(message); });
        if (match != link.outstanding.end()) {
            excuse_later_candidates(link.outstanding, match, message,
                                    match->excused || port.disturbed(match->sentNs, now_ns()));
            for (auto earlier = link.outstanding.begin(); earlier != match; ++earlier)
                resolve(link, *earlier, earlier->got > 0);
            link.outstanding.erase(link.outstanding.begin(), match);
            Line& line = link.outstanding.front();
            ++line.got;
            if (line.dataSize != 0) {
                ++tally.dataAnswers;
                tally.dataBytes += message.size();
            }
            if (line.complete()) {
                ++tally.whole;
                link.outstanding.pop_front();
            }
            return;
        }
        // What is left of a message of the link's own after a loss.
        if (!link.outstanding.empty() &&
            (link.outstanding.front().excused || port.disturbed(link.outstanding.front().sentNs, now_ns())) &&
            std::any_of(link.outstanding.begin(), link.outstanding.end(),
                        [&](const Line& line) { return line.holds_piece(message); })) {
            ++tally.remnants;
            return;
        }
        // Not an answer of an outstanding line: classified once, here.
        const Stray stray = read_stray(message);
        // Another link's device_clear (or a fault) dropped the rest of a
        // message the link had the front of: the next message follows it.
        if (carried > 0 && carried < message.size() && stray.is != Stray::Is::unsolicited &&
            port.disturbed(link.inSinceNs, now_ns())) {
            const std::string_view front = message.substr(0, carried);
            if (unsolicited_front(front) ||
                std::any_of(link.outstanding.begin(), link.outstanding.end(),
                            [&](const Line& line) { return line.holds_piece(front); })) {
                ++tally.remnants;
                on_message(link, message.substr(carried));
                return;
            }
        }
        const std::string shown = gateway::shown(message);
        if (message == "*TRG") {
            violation(tally.triggerAnswers, &link, "a read returned the instrument's answer to a trigger: " + shown);
            return;
        }
        switch (stray.is) {
            case Stray::Is::unsolicited:
                if (stray.slot != port.index) {
                    violation(tally.anotherInstrument, &link,
                              "unsolicited output of port " + std::to_string(stray.slot) + "'s instrument: " + shown);
                } else {
                    bool fresh = false;
                    {
                        std::lock_guard lock(port.mutex);
                        fresh = port.unsolicitedSeen.insert(stray.number).second;
                    }
                    if (fresh)
                        ++tally.unsolicited;
                    else
                        violation(tally.unsolicitedTwice, &link, "unsolicited output passed on twice: " + shown);
                }
                return;
            case Stray::Is::tagged:
                if (stray.tag.port != port.index)
                    violation(tally.anotherInstrument, &link,
                              "an answer of port " + std::to_string(stray.tag.port) + "'s instrument: " + shown);
                else if (stray.tag.client == link.tag)
                    violation(tally.anotherLine, &link,
                              "an answer to this link's line " + std::to_string(stray.tag.seq) +
                                  ", which is not outstanding: " + shown);
                else if (stray.tag.client >= kTagBase)
                    violation(tally.anotherLink, &link,
                              "an answer to another link (tag " + std::to_string(stray.tag.client) + "): " + shown);
                else
                    violation(tally.anotherClient, &link,
                              "an answer to raw-socket client " + std::to_string(stray.tag.client) + ": " + shown);
                return;
            case Stray::Is::identity:
                if (stray.serial != port.serial)
                    violation(tally.anotherInstrument, &link, "the identity of another instrument: " + shown);
                else
                    violation(tally.anotherLine, &link, "an identity that answers none of the link's lines: " + shown);
                return;
            case Stray::Is::fixed:
            case Stray::Is::data:
                violation(tally.anotherLine, &link, "an answer that fits none of the link's lines: " + shown);
                return;
            case Stray::Is::busy:
            case Stray::Is::not_a_message:
                violation(tally.notAMessage, &link, "no whole message of the instrument: " + shown);
                return;
        }
    }

    // Bytes a read returned: whole messages (LF, or CR LF, at their end)
    // are checked as they complete.
    void on_data(Link& link, const std::string& data) {
        const bool fresh = link.in.empty();
        std::size_t carried = link.skipRest ? 0 : link.in.size();
        link.in += data;
        if (link.skipRest) {
            const std::size_t end = link.in.find('\n');
            if (end == std::string::npos) {
                link.in.clear();
                return;
            }
            link.in.erase(0, end + 1);
            link.skipRest = false;
            ++tally.remnants;
        }
        std::size_t start = 0;
        for (std::size_t end; (end = link.in.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string_view message = std::string_view(link.in).substr(start, end - start);
            if (message.ends_with('\r')) message.remove_suffix(1);
            on_message(link, message, std::exchange(carried, 0));
        }
        link.in.erase(0, start);
        // What is left begins a message that came with this read.
        if (fresh || start > 0) link.inSinceNs = now_ns();
    }

    // ---- writing
    Line next_line(Link& link, Kind kind, std::size_t dataSize = 0) {
        const Tag tag{port.index, link.tag, link.seq++};
        const std::size_t echoSize = kind == Kind::echo ? random.spread(1, 150000) : 0;
        return make_line(kind, tag, port.identity, dataSize, echoSize);
    }
    Line random_line(Link& link) {
        const std::uint64_t k = random.pick(0, 99);
        if (k < 30) return next_line(link, Kind::query);
        if (k < 42) return next_line(link, Kind::setting);
        if (k < 47) return next_line(link, Kind::echo);
        if (k < 55) return next_line(link, Kind::reset);
        if (k < 65) return next_line(link, Kind::pair);
        if (k < 71) return next_line(link, Kind::slow);
        if (k < 79) return next_line(link, Kind::identity);
        if (k < 81) return next_line(link, Kind::mirror);
        return next_line(link, Kind::data, random.spread(2, run.maxData));
    }

    // Writes the lines as one message; false when the link is gone (closed
    // here because a refusal left a message unfinished).
    bool write(std::unique_ptr<Link>& link, std::vector<Line> lines) {
        std::string message;
        bool doubled = false;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            message += lines[i].text;
            const std::uint64_t k = random.pick(0, 99);
            if (k < 12) {
                message += "\n\n";  // an empty line, which must not reach the instrument
                doubled = true;
            } else if (k < 25) {
                message += "\r\n";
            } else if (k < 30 && i + 1 == lines.size()) {
                // The last line without a line end: END ends it.
            } else {
                message += '\n';
            }
        }
        if (doubled) ++tally.doubledLineEnds;
        // Blocks of up to maxRecvSize, END on the last.
        std::vector<std::string_view> blocks;
        const std::size_t most = random.chance(0.5) ? link->maxRecv
                                                    : std::max<std::size_t>(message.size() / 16 + 1,
                                                                            random.spread(1, link->maxRecv));
        for (std::size_t at = 0; at < message.size(); at += most)
            blocks.push_back(std::string_view(message).substr(at, std::min(most, message.size() - at)));
        const std::int64_t sentNs = now_ns();
        for (Line& line : lines) {
            line.sentNs = sentNs;
            ++tally.lines;
        }
        ++tally.writes;
        bool sent = false;  // a block was taken: the lines may be answered
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const bool last = i + 1 == blocks.size();
            // A block after the first waits for a lock another link took
            // meanwhile, rather than leave the message unfinished.
            const bool wait = i > 0 || random.chance(0.2);
            const std::uint32_t lockMs = wait ? 10000 : 0;
            const LockView before = lock_view(port);
            const std::int64_t t0 = now_ns();
            const WriteReply reply = device_write(link->rpc, link->lid, kIoMs, lockMs,
                                                  (last ? kEnd : 0) | (wait ? kWaitLock : 0), blocks[i],
                                                  t0 + (kIoMs + lockMs) * kMs + kReplySlackNs);
            ++tally.blocks;
            note_call(*link, "device_write " + gateway::shown(blocks[i]) + (last ? " END" : "") + ": wire " +
                                 std::to_string(static_cast<int>(reply.wire)) + ", error " + std::to_string(reply.error));
            if (reply.wire != Wire::ok) {
                rpc_failure(link.get(), "device_write", reply.wire);
                close_link(link, false);
                return false;
            }
            judge_lock(*link, "device_write", before, reply.error);
            if (reply.error == kOk) {
                if (reply.size != blocks[i].size())
                    violation(tally.badResult, link.get(),
                              "device_write of " + std::to_string(blocks[i].size()) + " bytes answered size " +
                                  std::to_string(reply.size));
                sent = true;
                continue;
            }
            if (reply.error == kLocked) {
                ++tally.lockedOut;
            } else if ((reply.error == kNoDevice || reply.error == kIoTimeout || reply.error == kIoError ||
                        reply.error == kInvalidLink) &&
                       disturbed(t0)) {
                // The instrument failed or went away.
            } else {
                bad_result(link.get(), "device_write", reply.error);
            }
            if (sent || reply.error != kLocked) {
                // Part of it may have gone to the instrument.
                for (Line& line : lines) {
                    line.excused = true;
                    if (line.expected() > 0) link->outstanding.push_back(std::move(line));
                }
            }
            if (sent || reply.error == kInvalidLink) {
                // An unfinished message: the link goes, and takes it along.
                close_link(link, reply.error != kInvalidLink);
                return false;
            }
            return true;
        }
        for (Line& line : lines)
            if (line.expected() > 0) link->outstanding.push_back(std::move(line));
        return true;
    }

    // ---- reading
    ReadPlan plan_read(const Link& link, bool bulk) {
        ReadPlan plan;
        const std::uint64_t k = random.pick(0, 99);
        if (bulk || k < 55)
            plan.request = random.chance(0.5) ? 16 * 1024 * 1024 : link.maxRecv;
        else if (k < 85)
            plan.request = static_cast<std::uint32_t>(random.spread(1, 64));
        else
            plan.request = static_cast<std::uint32_t>(random.spread(65, 4 * link.maxRecv));
        if (random.chance(0.3)) {
            plan.flags |= kTermChar;
            static constexpr char kTerms[] = {'\n', '\n', '.', '?', ':', 'O'};
            plan.termChar = bulk ? '\n' : kTerms[random.pick(0, std::size(kTerms) - 1)];
        }
        if (random.chance(0.2)) {
            plan.flags |= kWaitLock;
            plan.lockMs = static_cast<std::uint32_t>(random.pick(100, 4000));
        }
        plan.ioMs = link.outstanding.empty() ? static_cast<std::uint32_t>(random.pick(100, 1500)) : kIoMs;
        if (link.outstanding.empty() && random.chance(0.3))  // a read that waits for seconds
            plan.ioMs = static_cast<std::uint32_t>(random.pick(3000, 8000));
        return plan;
    }

    struct AbortShot {
        std::int64_t sentNs = 0;
        std::int64_t answeredNs = 0;
        Wire wire = Wire::closed;
        std::int32_t error = -1;
    };

    // One read; an abort from the abort channel `abortAfterMs` into it when
    // that is not negative.  Answers its error, or -1 when the link is gone.
    std::int32_t read_once(std::unique_ptr<Link>& link, const ReadPlan& plan, std::int64_t abortAfterMs = -1) {
        const bool empty = link->outstanding.empty() && link->in.empty();
        const LockView before = lock_view(port);
        const std::int64_t t0 = now_ns();
        AbortShot shot;
        std::jthread aborter;
        if (abortAfterMs >= 0) {
            ++tally.aborts;
            aborter = std::jthread([&shot, abortPort = link->abortPort, lid = link->lid, abortAfterMs] {
                RpcConnection channel;
                std::this_thread::sleep_for(std::chrono::milliseconds(abortAfterMs));
                shot.sentNs = now_ns();
                if (!channel.open(abortPort)) return;
                const ErrorReply reply = link_call(channel, kAbortProgram, kDeviceAbort, lid, now_ns() + kReplySlackNs);
                shot.answeredNs = now_ns();
                shot.wire = reply.wire;
                shot.error = reply.error;
            });
        }
        const ReadReply reply =
            device_read(link->rpc,
                        read_args(link->lid, plan.request, plan.ioMs, plan.lockMs, plan.flags, plan.termChar),
                        t0 + (plan.ioMs + plan.lockMs) * kMs + kReplySlackNs);
        const std::int64_t endNs = now_ns();
        if (aborter.joinable()) aborter.join();
        if (abortAfterMs >= 0) {
            if (shot.wire != Wire::ok) {
                rpc_failure(link.get(), "device_abort", shot.wire);
            } else {
                if (shot.answeredNs - shot.sentNs > kHeldUpNs)
                    violation(tally.heldUp, link.get(),
                              "device_abort took " + ms(shot.answeredNs - shot.sentNs) + " (more than 2 s): held up");
                if (shot.error != kOk) bad_result(link.get(), "device_abort", shot.error);
            }
        }
        if (reply.wire != Wire::ok) {
            rpc_failure(link.get(), "device_read", reply.wire);
            close_link(link, false);
            return -1;
        }
        ++tally.reads;
        judge_lock(*link, "device_read", before, reply.error);
        const std::string& data = reply.data;
        const std::string what = "device_read (requestSize " + std::to_string(plan.request) +
                                 ((plan.flags & kTermChar) != 0 ? ", termChar " + std::to_string(plan.termChar) : "") +
                                 ") answered " + std::to_string(reply.error) + " with " + std::to_string(data.size()) +
                                 " bytes, reason " + std::to_string(reply.reason);
        note_call(*link, what + ": " + gateway::shown(data) + (abortAfterMs >= 0 ? " (aborted meanwhile)" : ""));
        if (data.size() > plan.request) violation(tally.badRead, link.get(), what + ": more than asked");
        if ((reply.reason & kReqCnt) != 0 && data.size() != plan.request)
            violation(tally.badRead, link.get(), what + ": REQCNT with fewer bytes than asked");
        if ((plan.flags & kTermChar) != 0 && data.find(plan.termChar) < data.size() - 1)
            violation(tally.badRead, link.get(), what + ": the read went past its termination character");
        if ((reply.reason & kChr) != 0 && ((plan.flags & kTermChar) == 0 || data.empty() || data.back() != plan.termChar))
            violation(tally.badRead, link.get(), what + ": CHR without the termination character at its end");
        if (reply.error == kOk && reply.reason == 0 && data.size() != std::min(plan.request, link->maxRecv))
            violation(tally.badRead, link.get(), what + ": no reason, yet not maxRecvSize bytes");
        if ((reply.reason & kReqCnt) != 0) ++tally.partialReads;
        if ((reply.reason & kChr) != 0) ++tally.termCharReads;
        if ((reply.reason & kEndReason) != 0) {
            ++tally.endReads;
            if (!data.empty() && data.back() != '\n') ++tally.endMidMessage;
        }
        on_data(*link, data);
        // After an abort the read is to end with 23 within about 1.5 s.
        if (abortAfterMs >= 0 && shot.sentNs != 0 && endNs > shot.sentNs + 100 * kMs) {
            if (endNs - shot.sentNs > kAbortNs)
                violation(tally.abortLate, link.get(),
                          what + " " + ms(endNs - shot.sentNs) + " after its device_abort");
            else if (reply.error != kAborted && reply.error != kOk && reply.error != kLocked)
                violation(tally.abortLate, link.get(), what + " after its device_abort, not 23");
        }
        switch (reply.error) {
            case kOk:
                if (empty && data.empty()) violation(tally.badResult, link.get(), what + ", with nothing written");
                break;
            case kIoTimeout:
                if (empty)
                    ++tally.emptyReads;
                else
                    ++tally.readTimeouts;
                break;
            case kAborted:
                ++tally.abortedReads;
                if (abortAfterMs < 0) bad_result(link.get(), "device_read", reply.error);
                for (Line& line : link->outstanding) line.excused = true;  // it may keep its answer, or not
                break;
            case kLocked:
                ++tally.lockedOut;
                break;
            case kNoDevice:
            case kIoError:
            case kInvalidLink:
                if (!disturbed(t0)) bad_result(link.get(), "device_read", reply.error);
                if (reply.error == kInvalidLink) {
                    close_link(link, false);
                    return -1;
                }
                break;
            default: bad_result(link.get(), "device_read", reply.error);
        }
        return reply.error;
    }

    // Reads until every outstanding line is answered; false when the link
    // went, or the answers stopped coming.
    bool read_all(std::unique_ptr<Link>& link) {
        std::int64_t lastProgress = now_ns();
        while (link && !link->outstanding.empty()) {
            const std::size_t before = link->outstanding.size() * 1000000 + link->outstanding.front().got;
            const std::size_t inBefore = link->in.size();
            const std::int32_t error = read_once(link, plan_read(*link, true));
            // Locked out, or the instrument failed or went: the lines stay
            // outstanding for a later read.
            if (!link || (error != kOk && error != kIoTimeout)) return false;
            const std::size_t after =
                link->outstanding.empty() ? 0 : link->outstanding.size() * 1000000 + link->outstanding.front().got;
            if (after != before || link->in.size() != inBefore) lastProgress = now_ns();
            if (now_ns() - lastProgress > kVxiStallNs) {
                // The answers stopped coming: lost.
                for (const Line& line : link->outstanding) resolve(*link, line, line.got > 0);
                link->outstanding.clear();
                link->skipRest = !link->in.empty();
                link->in.clear();
                return false;
            }
        }
        return static_cast<bool>(link);
    }

    // ---- the other calls
    void status_byte(Link& link) {
        const std::int64_t t0 = now_ns();
        const ErrorReply reply = device_generic(link.rpc, kDeviceReadStb, link.lid, 0, 0, 1000, t0 + kReplySlackNs);
        if (reply.wire != Wire::ok) return rpc_failure(&link, "device_readstb", reply.wire);
        ++tally.statusBytes;
        held_up(&link, "device_readstb", t0);
        if (reply.error != kOk && reply.error != kLocked && !disturbed(t0))
            bad_result(&link, "device_readstb", reply.error);
    }

    // Trigger and clear: they need the instrument; 11 while another link
    // holds the lock.
    void trigger_or_clear(Link& link, bool trigger) {
        const char* call = trigger ? "device_trigger" : "device_clear";
        const bool wait = random.chance(0.3);
        const std::uint32_t lockMs = wait ? static_cast<std::uint32_t>(random.pick(100, 3000)) : 0;
        const LockView before = lock_view(port);
        const std::int64_t t0 = now_ns();
        std::optional<std::size_t> disturbance;
        if (!trigger) disturbance = port.disturb(t0);  // the device's pending output goes, every link's
        const ErrorReply reply = device_generic(link.rpc, trigger ? kDeviceTrigger : kDeviceClear, link.lid,
                                                wait ? kWaitLock : 0, lockMs, kIoMs,
                                                t0 + (kIoMs + lockMs) * kMs + kReplySlackNs);
        if (disturbance) port.settle(*disturbance, now_ns() + kSecond);
        note_call(link, std::string(call) + ": error " + std::to_string(reply.error));
        if (reply.wire != Wire::ok) return rpc_failure(&link, call, reply.wire);
        ++(trigger ? tally.triggers : tally.clears);
        judge_lock(link, call, before, reply.error);
        if (reply.error == kOk) {
            if (!trigger) {
                // The clear took what was left of their answers: none of it
                // may come any more, and a later line's answer is not
                // theirs.
                for (Line& line : link.outstanding) {
                    line.excused = true;
                    resolve(link, line, line.got > 0);
                }
                link.outstanding.clear();
                link.in.clear();  // what it had of a message is gone with the rest
            }
        } else if (reply.error == kNotSupported && trigger) {
            ++tally.triggersRefused;
        } else if (reply.error == kLocked) {
            ++tally.lockedOut;
        } else if ((reply.error == kNoDevice || reply.error == kIoTimeout || reply.error == kIoError) &&
                   disturbed(t0)) {
        } else {
            bad_result(&link, call, reply.error);
        }
        if (!trigger && reply.error != kOk)  // a failed clear may have dropped part of it
            for (Line& line : link.outstanding) line.excused = true;
    }

    void lock_step(Link& link) {
        if (link.holdsLock) {
            if (random.chance(0.2)) {
                // The same link again: 11.
                const std::int64_t t0 = now_ns();
                const ErrorReply reply = vxi11::device_lock(link.rpc, link.lid, 0, 0, t0 + kReplySlackNs);
                if (reply.wire != Wire::ok) return rpc_failure(&link, "device_lock", reply.wire);
                ++tally.locks;
                held_up(&link, "device_lock", t0);
                if (reply.error != kLocked)
                    violation(tally.lockRules, &link,
                              "device_lock on the link that holds the lock answered " + std::to_string(reply.error) +
                                  ", not 11");
                return;
            }
            unlock(link);
            return;
        }
        if (random.chance(0.15)) {
            // Unlock without the lock: 12.
            const std::int64_t t0 = now_ns();
            const ErrorReply reply = link_call(link.rpc, kCoreProgram, kDeviceUnlock, link.lid, t0 + kReplySlackNs);
            if (reply.wire != Wire::ok) return rpc_failure(&link, "device_unlock", reply.wire);
            ++tally.unlocks;
            held_up(&link, "device_unlock", t0);
            if (reply.error != kNoLock)
                violation(tally.lockRules, &link,
                          "device_unlock without the lock answered " + std::to_string(reply.error) + ", not 12");
            return;
        }
        const bool wait = random.chance(0.5);
        const std::uint32_t lockMs = wait ? static_cast<std::uint32_t>(random.pick(100, 4000)) : 0;
        lock_call_starts();
        const LockView before = lock_view(port);
        const std::int64_t t0 = now_ns();
        const ErrorReply reply =
            vxi11::device_lock(link.rpc, link.lid, wait ? kWaitLock : 0, lockMs, t0 + lockMs * kMs + kReplySlackNs);
        if (reply.wire == Wire::ok) judge_lock(link, "device_lock", before, reply.error, true);
        lock_call_ends(link.lid, reply.wire == Wire::ok && reply.error == kOk);
        if (reply.wire != Wire::ok) return rpc_failure(&link, "device_lock", reply.wire);
        ++tally.locks;
        if (wait) ++tally.lockWaits;
        const std::int64_t took = now_ns() - t0;
        if (!wait)
            held_up(&link, "device_lock", t0);
        else if (took > lockMs * kMs + kHeldUpNs)
            violation(tally.heldUp, &link,
                      "device_lock with lock_timeout " + std::to_string(lockMs) + " ms took " + ms(took));
        if (reply.error == kOk) {
            link.holdsLock = true;
            link.lockSinceNs = now_ns();
            if (wait && took > 50 * kMs) ++tally.lockWaitsGranted;
        } else if (reply.error == kLocked) {
            ++tally.lockRefused;
        } else {
            bad_result(&link, "device_lock", reply.error);
        }
    }

    void unlock(Link& link) {
        const std::uint64_t epoch = lock_releasing();
        link.holdsLock = false;
        const std::int64_t t0 = now_ns();
        const ErrorReply reply = link_call(link.rpc, kCoreProgram, kDeviceUnlock, link.lid, t0 + kReplySlackNs);
        if (reply.wire != Wire::ok) return rpc_failure(&link, "device_unlock", reply.wire);
        ++tally.unlocks;
        held_up(&link, "device_unlock", t0);
        if (reply.error != kOk) {
            violation(tally.lockRules, &link, "device_unlock by the lock's holder answered " + std::to_string(reply.error));
            return;
        }
        lock_released(epoch);
    }

    // A read with nothing to read (or a SLOW? answer on its way), aborted
    // from the abort channel while it waits.
    void abort_step(std::unique_ptr<Link>& link) {
        ReadPlan plan;
        plan.request = link->maxRecv;
        plan.ioMs = static_cast<std::uint32_t>(random.pick(8000, 10000));
        std::int64_t after = static_cast<std::int64_t>(random.pick(200, 1500));
        if (link->outstanding.empty() && random.chance(0.4)) {
            if (!write(link, {next_line(*link, Kind::slow)})) return;
            after = static_cast<std::int64_t>(random.pick(20, 400));
        } else if (!link->outstanding.empty()) {
            if (!read_all(link)) return;  // the abort is for a read that waits
        }
        read_once(link, plan, after);
    }

    // Reads a piece of a long answer, then destroys the link or closes its
    // connection: the rest is to reach nobody.
    void leave_mid_answer(std::unique_ptr<Link>& link, bool destroy) {
        std::vector<Line> lines;
        if (random.chance(0.6))
            lines.push_back(next_line(*link, Kind::data,
                                      random.spread(std::min<std::size_t>(262144, run.maxData), run.maxData)));
        else
            lines.push_back(next_line(*link, Kind::echo));
        if (!write(link, std::move(lines))) return;
        ReadPlan plan;
        plan.request = static_cast<std::uint32_t>(random.spread(1, link->maxRecv));
        if (link->outstanding.size() == 1 && read_once(link, plan) < 0) return;
        if (!link) return;
        if (destroy) {
            close_link(link, true);
            return;
        }
        // Vanishes with a read on its way.
        link->rpc.send_only(kCoreProgram, kDeviceRead,
                            read_args(link->lid, link->maxRecv, kIoMs, 0, 0, '\n'));
        ++tally.vanishedMidRead;
        close_link(link, false);
    }

    void session(bool ourTurn) {
        std::vector<std::unique_ptr<Link>> links;
        for (std::uint64_t i = random.chance(0.3) ? 2 : 1; i > 0; --i)
            if (auto link = open_link(random.chance(0.1))) links.push_back(std::move(link));
        if (links.empty()) {
            random.sleep_ms(50, 300);
            return;
        }
        const std::uint64_t steps = ourTurn ? random.pick(3, 30) : random.pick(1, 3);
        for (std::uint64_t step = 0; step < steps && now_ns() < run.endNs; ++step) {
            if (ourTurn && !port.vxi_turn()) break;
            std::erase_if(links, [](const std::unique_ptr<Link>& link) { return !link; });
            if (links.empty()) break;
            std::unique_ptr<Link>& link = links[random.pick(0, links.size() - 1)];
            if (link->holdsLock && now_ns() - link->lockSinceNs > kLockHoldNs) unlock(*link);
            const std::uint64_t k = random.pick(0, 99);
            if (k < 28) {
                std::vector<Line> lines;
                for (std::uint64_t i = random.pick(1, 6); i > 0; --i) lines.push_back(random_line(*link));
                if (write(link, std::move(lines)) && random.chance(0.5)) read_all(link);
            } else if (k < 48) {
                read_once(link, plan_read(*link, false));
            } else if (k < 53) {
                read_all(link);
            } else if (k < 57) {
                status_byte(*link);
            } else if (k < 61) {
                trigger_or_clear(*link, true);
            } else if (k < 63) {
                trigger_or_clear(*link, false);
            } else if (k < 71) {
                lock_step(*link);
            } else if (k < 76) {
                abort_step(link);
            } else if (k < 80) {
                leave_mid_answer(link, true);
                if (auto fresh = open_link(false)) links.push_back(std::move(fresh));
            } else if (k < 84) {
                if (links.size() < 3) {
                    if (auto fresh = open_link(random.chance(0.1))) links.push_back(std::move(fresh));
                } else {
                    close_link(link, true);
                }
            } else if (k < 87) {
                leave_mid_answer(link, false);
            } else {
                random.sleep_ms(10, 200);
            }
        }
        for (std::unique_ptr<Link>& link : links) {
            if (!link) continue;
            if (link->holdsLock && random.chance(0.5)) unlock(*link);
            if (random.chance(0.3) && !link->outstanding.empty()) read_all(link);
            close_link(link, random.chance(0.75));
        }
    }
};

VxiClient::VxiClient(Run& run, PortState& port, int id, std::uint64_t seed)
    : s_(std::make_unique<State>(run, port, id, seed, tally)) {}
VxiClient::~VxiClient() = default;
void VxiClient::run() {
    State& s = *s_;
    while (now_ns() < s.run.endNs) {
        const bool ourTurn = s.port.vxi_turn();
        if (!ourTurn && !s.random.chance(0.1)) {
            // The raw-socket clients' turn: try it now and then (create_link
            // answers 11 while one of them owns the port).
            std::unique_lock lock(s.port.mutex);
            s.port.changed.wait_for(lock, std::chrono::milliseconds(s.random.pick(100, 400)),
                                    [&] { return s.port.vxiTurn; });
            continue;
        }
        s.session(ourTurn);
        s.random.sleep_ms(0, 100);
    }
}

bool VxiClient::probe(const std::vector<Kind>& kinds, std::size_t dataSize, std::int64_t timeoutNs, std::string* why) {
    State& s = *s_;
    s.quiet = true;
    const std::uint64_t before = tally.whole;
    auto link = s.open_link(false);
    if (!link) {
        s.quiet = false;
        *why = "no link (create_link refused)";
        return false;
    }
    std::vector<Line> lines;
    for (const Kind kind : kinds) lines.push_back(s.next_line(*link, kind, kind == Kind::data ? dataSize : 0));
    std::size_t expected = 0;
    for (const Line& line : lines) expected += line.expected() > 0 ? 1 : 0;
    const std::int64_t deadline = now_ns() + timeoutNs;
    if (s.write(link, std::move(lines)))
        while (link && !link->outstanding.empty() && now_ns() < deadline)
            if (s.read_once(link, State::ReadPlan{16 * 1024 * 1024, kIoMs, 0, '\n', 0}) < 0) break;
    std::string left;
    if (link)
        for (const Line& line : link->outstanding) left += (left.empty() ? "" : ", ") + line.shown();
    s.close_link(link, true);
    s.quiet = false;
    if (tally.whole - before == expected) return true;
    *why = "answers outstanding: " + (left.empty() ? std::string("none (the link went)") : left);
    return false;
}

WaitingReads::WaitingReads(const Run& run, int ports, std::uint32_t ioTimeoutMs) {
    for (int port = 0; port < ports; ++port) {
        vxi11::RpcConnection& c = connections_.emplace_back();
        if (!c.open(run.vxiCore)) continue;
        const vxi11::LinkReply link =
            vxi11::create_link(c, 2000, false, 0, "inst" + std::to_string(port), now_ns() + 10 * kSecond);
        if (link.wire != vxi11::Wire::ok || link.error != vxi11::kOk) continue;
        // Counted when it still waits half a second later.
        if (c.send_only(vxi11::kCoreProgram, vxi11::kDeviceRead,
                        vxi11::read_args(link.lid, 65536, ioTimeoutMs, 0, 0, '\n')) &&
            !c.readable(500))
            ++waiting_;
    }
}

}  // namespace tavlib::stress::gateway
