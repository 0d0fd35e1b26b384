// gateway: random clients on every port of a tavril-gateway that serves the
// simulator's instruments (gateway-instrument.yaml), while the simulator's
// control channel pushes unsolicited messages, injects faults and removes
// and adds devices.  Raw-socket clients (here) and VXI-11 clients
// (gateway_vxi11.cpp) take turns on each port, and each kind tries the
// other's turn now and then.  Every line a client sends carries its port, client and
// sequence number, which the instrument echoes, so each message that comes
// back can be told apart:
//   - an answer of one of the client's outstanding lines, in the order of
//     the lines (a line's answer may be cut short or missing, whole messages
//     dropped, once something failed);
//   - unsolicited output of this port's instrument (allowed anywhere);
//   - the busy line, as the first and only message of a connection that a
//     client owning the port keeps from being served;
//   - otherwise a violation: an answer for another line (a line answered
//     already, one of an earlier connection, one the answer of a later line
//     came before), for another client (another client's tag), for another
//     instrument (another port's tag, unsolicited output or slot number, an
//     identity with another serial number), or no whole message of the
//     instrument at all.
// Besides: two clients served at once, a raw-socket client served while
// VXI-11 links were open, a connection the gateway closed
// while its client had not left, a half-closed client not closed once its
// answers were out, an answer lost while no fault or removal was in play,
// a port that does not serve its instrument again at the end, and the
// gateway process's descriptors, threads and resident set not flat between
// the end of the warm-up and the end of the run, and a gateway that takes
// more than 2 s to end on SIGTERM while VXI-11 reads wait.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "common.h"
#include "gateway_lines.h"
#include "gateway_run.h"
#include "gateway_vxi11.h"
#include "stress.h"

namespace tavlib::stress {

namespace {

using namespace gateway;

constexpr const char* kInstrument = "gateway-stress";

// The gateway of this build, unless TAVRIL_GATEWAY_PATH names another (as
// TAVRIL_SIM_PATH does for the simulator).
std::string gateway_executable() {
    if (const char* env = std::getenv("TAVRIL_GATEWAY_PATH"); env != nullptr && *env != '\0') return env;
    const std::string built = TAVLIB_STRESS_GATEWAY;
    if (built.empty()) throw std::runtime_error("this build has no tavril-gateway: set TAVRIL_GATEWAY_PATH");
    return built;
}

// What a client saw; summed over the clients at the end.
struct Tally {
    std::uint64_t connections = 0, served = 0, busy = 0, waited = 0, halfCloses = 0, earlyCloses = 0;
    std::uint64_t lines = 0, whole = 0, silent = 0, cut = 0, missing = 0, abandoned = 0, refusedLines = 0;
    std::uint64_t lostUndisturbed = 0;
    std::uint64_t dataAnswers = 0, dataBytes = 0, unsolicited = 0;
    std::uint64_t anotherLine = 0, anotherClient = 0, anotherInstrument = 0, notAMessage = 0;
    std::uint64_t unsolicitedTwice = 0, closedByGateway = 0, halfCloseHangs = 0, connectFailures = 0;
    std::uint64_t intrusions = 0, servedBesideLinks = 0;

    void add(const Tally& other) {
        static constexpr std::uint64_t Tally::*kFields[] = {
            &Tally::connections, &Tally::served, &Tally::busy, &Tally::waited, &Tally::halfCloses,
            &Tally::earlyCloses, &Tally::lines, &Tally::whole, &Tally::silent, &Tally::cut,
            &Tally::missing, &Tally::abandoned, &Tally::refusedLines, &Tally::lostUndisturbed,
            &Tally::dataAnswers, &Tally::dataBytes, &Tally::unsolicited, &Tally::anotherLine,
            &Tally::anotherClient, &Tally::anotherInstrument, &Tally::notAMessage,
            &Tally::unsolicitedTwice, &Tally::closedByGateway, &Tally::halfCloseHangs,
            &Tally::connectFailures, &Tally::intrusions, &Tally::servedBesideLinks};
        for (const auto field : kFields) this->*field += other.*field;
    }
};

// ---- a client -----------------------------------------------------------------

class Client {
public:
    Client(Run& run, PortState& port, int id, std::uint64_t seed)
        : run_(run), port_(port), id_(id), random_(seed) {}

    // Connections one after the other until the end of the run.
    void run();
    // One connection that sends `kinds` and gets every answer whole within
    // `timeoutNs`; false (and why) otherwise.  The warm-up and the final
    // check; a line's answer missing there is no violation of its own.
    bool probe(const std::vector<Kind>& kinds, std::size_t dataSize, std::int64_t timeoutNs,
               std::string* why);

    Tally tally;

private:
    enum class Outcome { whole, cut, missing };
    struct Connection {
        sim::UniqueFd fd;
        std::string in;  // received bytes not yet split into messages
        std::size_t scanned = 0;
        std::deque<Line> outstanding;
        std::uint64_t silentSent = 0;
        std::uint64_t number = 0;
        int othersAtConnect = 0;
        bool linksAtConnect = false;  // VXI-11 links were surely open when it connected
        std::uint64_t linksZeroedAtConnect = 0;
        bool countedServed = false;  // in the port's rawServed
        bool ended = false;  // the gateway closed it (or it broke)
        bool halfClosed = false;
        bool refused = false;
        bool served = false;
        bool anyMessage = false;
        std::int64_t firstAnswerNs = 0;
        std::int64_t lastAnsweredSentNs = 0;
    };
    enum class Pumped { progress, quiet, ended };

    bool connect(Connection& c);
    void session();
    Line next_line(Kind kind, std::size_t dataSize = 0);
    Line random_line();
    void send(Connection& c, std::vector<Line> lines);
    Pumped pump(Connection& c, std::int64_t deadlineNs);
    // Reads until `done` holds; false when the connection ended or nothing
    // came for `stallNs`.
    template <typename Done>
    bool read_until(Connection& c, Done done, std::int64_t stallNs);
    // Reads until every outstanding line is answered; false when the
    // connection ended or the answers stopped coming.
    bool await_answers(Connection& c);
    void on_message(Connection& c, std::string_view message);
    void resolve(Connection& c, const Line& line, Outcome outcome);
    void finish(Connection& c);
    void violation(Connection& c, std::uint64_t& counter, const std::string& what);
    std::string outstanding_text(const Connection& c) const;

    Run& run_;
    PortState& port_;
    int id_;
    Random random_;
    std::uint64_t seq_ = 0;
    std::uint64_t connections_ = 0;
    bool quiet_ = false;  // a probe: lost answers are its result, not notes
    bool intruding_ = false;  // a session in the VXI-11 links' turn
    void stop_serving(Connection& c);
};

bool Client::connect(Connection& c) {
    c.fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!c.fd) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_.tcp);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(c.fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        violation(c, tally.connectFailures,
                  "cannot connect to port " + std::to_string(port_.tcp) + ": " + std::strerror(errno));
        return false;
    }
    const int one = 1;
    ::setsockopt(c.fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    c.number = ++connections_;
    ++tally.connections;
    std::lock_guard lock(port_.mutex);
    c.othersAtConnect = port_.connected++;
    ++port_.rawConnects;
    c.linksAtConnect = port_.linksOpen > 0;
    c.linksZeroedAtConnect = port_.linksZeroed;
    return true;
}

Line Client::next_line(Kind kind, std::size_t dataSize) {
    const Tag tag{port_.index, id_, seq_++};
    const std::size_t echoSize = kind == Kind::echo ? random_.spread(1, 150000) : 0;
    return gateway::make_line(kind, tag, port_.identity, dataSize, echoSize);
}

Line Client::random_line() {
    const std::uint64_t k = random_.pick(0, 99);
    if (k < 28) return next_line(Kind::query);
    if (k < 42) return next_line(Kind::setting);
    if (k < 47) return next_line(Kind::echo);
    if (k < 55) return next_line(Kind::reset);
    if (k < 65) return next_line(Kind::pair);
    if (k < 70) return next_line(Kind::slow);
    if (k < 78) return next_line(Kind::identity);
    if (k < 80) return next_line(Kind::mirror);
    // Now and then a whole number of 64 KiB transfers, which only the
    // identity after it ends.
    std::size_t size = random_.spread(2, run_.maxData);
    if (random_.chance(0.15)) size = std::max<std::size_t>(65536, size / 65536 * 65536);
    return next_line(Kind::data, size);
}

void Client::send(Connection& c, std::vector<Line> lines) {
    std::string bytes;
    const std::int64_t now = now_ns();
    for (Line& line : c.outstanding)
        if (line.laterSentNs == 0) line.laterSentNs = now;
    for (Line& line : lines) {
        bytes += line.text;
        bytes += '\n';
        line.sentNs = now;
        ++tally.lines;
        if (line.expected() == 0)
            ++c.silentSent;
        else
            c.outstanding.push_back(std::move(line));
    }
    // Reads while it sends: the gateway may be writing an answer meanwhile,
    // and waits for it to be taken before it reads further lines.
    std::size_t sent = 0;
    while (sent < bytes.size() && !c.ended) {
        pollfd p{c.fd.get(), POLLIN | POLLOUT, 0};
        if (::poll(&p, 1, 1000) <= 0) continue;
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && pump(c, now_ns()) == Pumped::ended) break;
        if ((p.revents & POLLOUT) == 0) continue;
        const ssize_t n =
            ::send(c.fd.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (errno != EAGAIN && errno != EINTR) {
            // Closed by the gateway: what it sent before is still read.
            const std::string why = std::strerror(errno);
            while (pump(c, now_ns() + kSecond) == Pumped::progress) {
            }
            if (!c.ended) {
                c.ended = true;
                if (!c.refused) violation(c, tally.closedByGateway, "sending failed: " + why);
            }
        }
    }
}

Client::Pumped Client::pump(Connection& c, std::int64_t deadlineNs) {
    if (c.ended) return Pumped::ended;
    pollfd p{c.fd.get(), POLLIN, 0};
    const std::int64_t wait = std::max<std::int64_t>(0, (deadlineNs - now_ns()) / kMs);
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(wait, INT_MAX)));
    if (ready == 0) return Pumped::quiet;
    if (ready < 0) return errno == EINTR ? Pumped::quiet : Pumped::ended;
    char buffer[65536];
    const ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return Pumped::quiet;
    if (n <= 0) {
        const std::string how = n == 0 ? "closed" : std::string("broken: ") + std::strerror(errno);
        c.ended = true;
        if (!c.in.empty())
            violation(c, tally.notAMessage,
                      "the connection " + how + " in the middle of a message: " + gateway::shown(c.in));
        if (!c.halfClosed && !c.refused)
            violation(c, tally.closedByGateway,
                      "the gateway " + how + " the connection of a client that had not left" +
                          (c.anyMessage ? "" : ", without a word"));
        return Pumped::ended;
    }
    c.in.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (std::size_t end; (end = c.in.find('\n', c.scanned)) != std::string::npos;) {
        on_message(c, std::string_view(c.in).substr(start, end - start));
        start = end + 1;
        c.scanned = start;
    }
    c.in.erase(0, start);
    c.scanned = c.in.size();
    return Pumped::progress;
}

template <typename Done>
bool Client::read_until(Connection& c, Done done, std::int64_t stallNs) {
    std::int64_t deadline = now_ns() + stallNs;
    while (!done()) {
        const Pumped pumped = pump(c, deadline);
        if (pumped == Pumped::ended) return false;
        if (pumped == Pumped::progress)
            deadline = now_ns() + stallNs;
        else if (now_ns() >= deadline)
            return false;
    }
    return true;
}

bool Client::await_answers(Connection& c) {
    const auto all_answered = [&c] { return c.outstanding.empty(); };
    if (!c.served && !read_until(c, all_answered, kStallNs)) return false;
    for (const std::int64_t giveUp = now_ns() + kStallNs; !c.ended && !c.refused && now_ns() < giveUp;) {
        if (read_until(c, all_answered, kNudgeNs)) return true;
        if (c.ended || c.refused) break;
        send(c, {next_line(Kind::query)});
    }
    return all_answered();
}

std::string Client::outstanding_text(const Connection& c) const {
    std::string text;
    for (const Line& line : c.outstanding) {
        if (text.size() > 300) {
            text += " ...";
            break;
        }
        text += (text.empty() ? "" : ", ") + line.shown() + " (" + std::to_string(line.got) + "/" +
                std::to_string(line.expected()) + ")";
    }
    return text.empty() ? "none" : text;
}

void Client::violation(Connection& c, std::uint64_t& counter, const std::string& what) {
    ++counter;
    run_.violations.add("t=" + run_.at_text(now_ns()) + " s port " +
                        std::to_string(port_.index) + " client " + std::to_string(id_) + " connection " +
                        std::to_string(c.number) + ": " + what + "; outstanding: " + outstanding_text(c) +
                        "; the gateway's last lines:" + run_.log.tail());
}

void Client::resolve(Connection& c, const Line& line, Outcome outcome) {
    if (outcome == Outcome::whole) {
        ++tally.whole;
        return;
    }
    ++(outcome == Outcome::cut ? tally.cut : tally.missing);
    if (quiet_ || line.excused || port_.disturbed(line.sentNs, now_ns())) return;
    violation(c, tally.lostUndisturbed,
              std::string("an answer ") + (outcome == Outcome::cut ? "cut short" : "missing") +
                  " while no fault or removal was in play: " + line.shown() + " sent at t=" +
                  run_.at_text(line.sentNs));
}

void Client::on_message(Connection& c, std::string_view message) {
    if (c.refused) {
        violation(c, tally.anotherLine, "a message after the busy line: " + gateway::shown(message));
        return;
    }
    const auto match = std::find_if(c.outstanding.begin(), c.outstanding.end(),
                                    [&](const Line& line) { return line.next_is(message); });
    if (match != c.outstanding.end()) {
        const std::int64_t now = now_ns();
        excuse_later_candidates(c.outstanding, match, message, port_.disturbed(match->sentNs, now));
        // The lines before it get nothing more: their answers were cut short
        // or went missing.
        for (auto earlier = c.outstanding.begin(); earlier != match; ++earlier)
            resolve(c, *earlier, earlier->got > 0 ? Outcome::cut : Outcome::missing);
        c.outstanding.erase(c.outstanding.begin(), match);
        Line& line = c.outstanding.front();
        ++line.got;
        // The client waited for this answer until it sent another line: the
        // gateway had ended this line's answer and gave it out as a later
        // line's, unless a fault or a removal held it up.
        if (line.laterSentNs != 0 && line.laterSentNs - line.sentNs >= kNudgeNs && !line.late && !quiet_ &&
            !port_.disturbed(line.sentNs, now)) {
            line.late = true;
            violation(c, tally.anotherLine,
                      "the answer of " + line.shown() + " (sent at t=" + run_.at_text(line.sentNs) +
                          ") came only after the client, having waited " +
                          std::to_string((line.laterSentNs - line.sentNs) / kMs) +
                          " ms, sent another line, while no fault or removal was in play: given out as the "
                          "answer of a later line");
        }
        if (line.dataSize != 0) {
            ++tally.dataAnswers;
            tally.dataBytes += message.size();
        }
        if (!c.served) {
            c.served = true;
            c.firstAnswerNs = now;
            ++tally.served;
            if (c.othersAtConnect > 0) ++tally.waited;
            bool besideLinks = false;
            {
                std::lock_guard lock(port_.mutex);
                ++port_.rawServed;
                c.countedServed = true;
                besideLinks = c.linksAtConnect && port_.linksOpen > 0 && port_.linksZeroed == c.linksZeroedAtConnect;
            }
            // One protocol at a time: while links are open the gateway turns
            // a raw-socket client away.
            if (besideLinks && !quiet_ && !port_.disturbed(line.sentNs, now))
                violation(c, tally.servedBesideLinks,
                          "served (answered " + line.shown() + ") while VXI-11 links were open on the instrument");
            port_.notify();
        }
        c.lastAnsweredSentNs = std::max(c.lastAnsweredSentNs, line.sentNs);
        if (line.complete()) {
            resolve(c, line, Outcome::whole);
            c.outstanding.pop_front();
        }
        c.anyMessage = true;
        return;
    }
    const bool first = !c.anyMessage;
    c.anyMessage = true;
    const Stray stray = gateway::read_stray(message);
    const std::string shown = gateway::shown(message);
    switch (stray.is) {
        case Stray::Is::unsolicited:
            if (stray.slot != port_.index) {
                violation(c, tally.anotherInstrument, "unsolicited output of port " +
                                                          std::to_string(stray.slot) + "'s instrument: " + shown);
            } else {
                bool fresh = false;
                {
                    std::lock_guard lock(port_.mutex);
                    fresh = port_.unsolicitedSeen.insert(stray.number).second;
                }
                if (fresh)
                    ++tally.unsolicited;
                else
                    violation(c, tally.unsolicitedTwice, "unsolicited output passed on twice: " + shown);
            }
            return;
        case Stray::Is::busy:
            if (stray.slot != port_.index)
                violation(c, tally.anotherInstrument, "the busy line of another slot: " + shown);
            else if (!first)
                violation(c, tally.anotherLine, "the busy line in a connection already answered");
            else {
                c.refused = true;
                ++tally.busy;
            }
            return;
        case Stray::Is::tagged:
            if (stray.tag.port != port_.index)
                violation(c, tally.anotherInstrument, "an answer of port " + std::to_string(stray.tag.port) +
                                                          "'s instrument: " + shown);
            else if (stray.tag.client != id_)
                violation(c, tally.anotherClient, "an answer to client " + std::to_string(stray.tag.client) +
                                                      ": " + shown);
            else
                violation(c, tally.anotherLine,
                          "an answer to this client's line " + std::to_string(stray.tag.seq) +
                              ", which is not outstanding (answered, of an earlier connection, or a "
                              "later line was answered before): " +
                              shown);
            return;
        case Stray::Is::identity:
            if (stray.serial != port_.serial)
                violation(c, tally.anotherInstrument, "the identity of another instrument: " + shown);
            else
                violation(c, tally.anotherLine, "an identity that answers none of the outstanding lines: " + shown);
            return;
        case Stray::Is::fixed:
        case Stray::Is::data:
            violation(c, tally.anotherLine, "an answer that fits none of the outstanding lines: " + shown);
            return;
        case Stray::Is::not_a_message:
            violation(c, tally.notAMessage, "no whole message of the instrument: " + shown);
            return;
    }
}

void Client::finish(Connection& c) {
    // Lines left: a half-closed client was owed their answers; a refused
    // one never had them run; a client that left gave them up.
    for (const Line& line : c.outstanding) {
        if (c.refused)
            ++tally.refusedLines;
        else if (c.halfClosed && c.ended)
            resolve(c, line, line.got > 0 ? Outcome::cut : Outcome::missing);
        else
            ++tally.abandoned;
    }
    c.outstanding.clear();
    if (c.refused)
        tally.refusedLines += c.silentSent;
    else
        tally.silent += c.silentSent;
    // An owner that leaves wakes its siblings: they arrive while the
    // gateway finishes with it.
    if (c.served) port_.notify();
    stop_serving(c);
    c.fd.reset();
    std::lock_guard lock(port_.mutex);
    if (c.number != 0) {  // it had connected
        --port_.connected;
        // One turned away never owned the port; any other may have.
        if (!c.refused) port_.lastRawCloseNs = now_ns();
    }
    if (c.served && c.firstAnswerNs <= c.lastAnsweredSentNs)
        port_.owned.push_back({id_, c.firstAnswerNs, c.lastAnsweredSentNs});
}

// The client no longer counts as the port's owner: it half-closed or left.
void Client::stop_serving(Connection& c) {
    if (!c.countedServed) return;
    c.countedServed = false;
    std::lock_guard lock(port_.mutex);
    --port_.rawServed;
}

void Client::session() {
    Connection c;
    if (!connect(c)) {
        finish(c);
        random_.sleep_ms(200, 1000);
        return;
    }
    // A session in the links' turn is short; one in its own turn ends when
    // the turn does.
    const std::uint64_t steps = intruding_ ? random_.pick(1, 3) : random_.pick(1, 40);
    for (std::uint64_t step = 0; step < steps && !c.ended && !c.refused && now_ns() < run_.endNs &&
                                 (intruding_ || !port_.vxi_turn());
         ++step) {
        const std::uint64_t k = random_.pick(0, 99);
        // A client whose answers stopped coming (the instrument went away,
        // say) leaves.
        if (k < 45) {
            send(c, {random_line()});
            if (!await_answers(c)) break;
        } else if (k < 80) {
            std::vector<Line> batch;
            for (std::uint64_t i = random_.pick(2, 20); i > 0; --i) batch.push_back(random_line());
            send(c, std::move(batch));
            if (!await_answers(c)) break;
        } else {
            // The owner holds the port without a line for a while.
            const std::int64_t until = now_ns() + static_cast<std::int64_t>(random_.pick(10, 200)) * kMs;
            while (pump(c, until) != Pumped::ended && now_ns() < until) {
            }
        }
    }
    const std::uint64_t way = random_.pick(0, 99);
    if (!c.ended && !c.refused && way >= 60 && way < 85) {
        // Half-close after a last batch, and read to the end.
        std::vector<Line> batch;
        for (std::uint64_t i = random_.pick(1, 8); i > 0; --i) batch.push_back(random_line());
        send(c, std::move(batch));
        stop_serving(c);
        ::shutdown(c.fd.get(), SHUT_WR);
        c.halfClosed = true;
        ++tally.halfCloses;
        port_.notify();
        if (!read_until(c, [] { return false; }, kHalfCloseStallNs) && !c.ended)
            violation(c, tally.halfCloseHangs,
                      "a half-closed client got nothing for " + std::to_string(kHalfCloseStallNs / kSecond) +
                          " s and the gateway did not close");
    } else if (!c.ended && !c.refused && way >= 85) {
        // Leave in the middle of a large answer.
        const std::size_t size = random_.spread(std::min<std::size_t>(262144, run_.maxData), run_.maxData);
        const std::size_t enough = random_.pick(1, size / 2);  // bytes of it read before leaving
        send(c, {next_line(Kind::data, size)});
        read_until(c, [&] { return c.outstanding.size() <= 1 && c.in.size() >= enough; }, kStallNs);
        if (!c.outstanding.empty()) ++tally.earlyCloses;
    }
    const bool refused = c.refused;
    if (refused) read_until(c, [] { return false; }, 5 * kSecond);
    finish(c);
    // Turned away: back off a little before trying again.
    if (refused) random_.sleep_ms(20, 200);
}

void Client::run() {
    std::uint64_t seen = 0;
    while (now_ns() < run_.endNs) {
        if (port_.vxi_turn() && !random_.chance(0.05)) {
            // The VXI-11 links' turn: now and then a client tries all the
            // same, and is to be turned away while links are open.
            std::unique_lock lock(port_.mutex);
            port_.changed.wait_for(lock, std::chrono::milliseconds(random_.pick(100, 400)),
                                   [&] { return !port_.vxiTurn; });
            continue;
        }
        intruding_ = port_.vxi_turn();
        if (intruding_) ++tally.intrusions;
        {
            // A pause, cut short now and then when a sibling takes or leaves
            // the port: arrivals while it is owned, or while its owner leaves.
            std::unique_lock lock(port_.mutex);
            const bool follow = random_.chance(0.6);
            port_.changed.wait_for(lock, std::chrono::milliseconds(random_.pick(0, 100)),
                                   [&] { return follow && port_.events != seen; });
            seen = port_.events;
        }
        session();
    }
}

bool Client::probe(const std::vector<Kind>& kinds, std::size_t dataSize, std::int64_t timeoutNs,
                   std::string* why) {
    quiet_ = true;
    const std::uint64_t before = tally.whole;
    Connection c;
    if (!connect(c)) {
        finish(c);
        *why = "no connection";
        return false;
    }
    std::vector<Line> lines;
    for (const Kind kind : kinds) lines.push_back(next_line(kind, kind == Kind::data ? dataSize : 0));
    const std::size_t expected = lines.size();
    send(c, std::move(lines));
    const std::int64_t deadline = now_ns() + timeoutNs;
    while (!c.outstanding.empty() && !c.ended && now_ns() < deadline) pump(c, deadline);
    const bool refused = c.refused;
    const std::string left = outstanding_text(c);
    finish(c);
    quiet_ = false;
    if (tally.whole - before == expected) return true;
    *why = refused ? "turned away (busy)" : "answers outstanding: " + left;
    return false;
}

// ---- the simulator's control channel --------------------------------------

struct ChaosFault {
    std::string name;
    std::vector<std::string> lines;  // what follows "fault DEV "
    std::int64_t settleNs = kSettleNs;
    bool harmless = false;  // may cost no answer
};

struct FaultCount {
    std::uint64_t armed = 0;
    std::uint64_t used = 0;
};

class Chaos {
public:
    Chaos(Run& run, sim::SimProcess& sim, std::vector<std::uint32_t> devices, std::uint64_t seed)
        : run_(run), sim_(sim), devices_(std::move(devices)), random_(seed), armed_(devices_.size()) {}

    void run();
    // Clears what is armed still; every device is in place after run().
    void quiet();

    std::uint64_t pushed = 0;
    std::uint64_t removals = 0;
    std::uint64_t devicesAdded = 0;
    std::uint64_t reopenUnseen = 0;
    std::map<std::string, FaultCount> faults;

private:
    struct Armed {
        ChaosFault plan;
        std::size_t disturbance = 0;
        std::int64_t untilNs = 0;
    };
    ChaosFault plan_fault();
    void arm(std::size_t port);
    // Reads back the armed faults: used ones close (after settling), and so
    // do unused ones once their time is up or `all` is set.
    void check_armed(bool all);
    void push();
    void remove_and_add(std::size_t first);

    Run& run_;
    sim::SimProcess& sim_;
    std::vector<std::uint32_t> devices_;  // per port: its instrument's device; 0 while removed
    Random random_;
    std::vector<std::optional<Armed>> armed_;
    std::uint64_t unsolicited_ = 0;
};

ChaosFault Chaos::plan_fault() {
    static constexpr std::uint32_t kCodes[] = {31, 1167, 21, 87, 5, 995, 259, 1117};
    const auto code = [this] { return std::to_string(kCodes[random_.pick(0, std::size(kCodes) - 1)]); };
    const std::string side = random_.chance(0.5) ? "read" : "write";
    const std::int64_t past = (side == "read" ? kReadTimeout : kWriteTimeout) * 1000 +
                              static_cast<std::int64_t>(random_.pick(300, 1500));
    switch (random_.pick(0, 9)) {
        case 0:
            return {"delay past the time-out", {"delay " + std::to_string(past) + " on=" + side + " times=1"},
                    past * kMs + kSettleNs};
        case 1:
            return {"delay within the time-out",
                    {"delay " + std::to_string(random_.pick(20, 500)) + " on=" + side + " times=1"}, 0, true};
        case 2:
            return {"error status", {"error " + code() + " on=" + side + " times=1"}};
        case 3:
            return {"zero-byte read", {"zero-read times=1"}};
        case 4:
            return {"partial write", {"partial-write " + std::to_string(random_.pick(1, 12)) + " times=1"}};
        case 5:
            return {"recovery failure", {"error 31 on=read times=1", "recover-fail " + code() + " times=1"}};
        case 6:
            return {"dropped connection", {"drop times=1"}};
        case 7:
            return {"no identity", {"no-idn times=1"}};
        case 8: {
            // A stray completion before the right one (way 5) leaves the call
            // as it was; the other ways break the connection.
            const std::uint64_t way = random_.pick(1, 5);
            return {"protocol fault, way " + std::to_string(way), {"malformed " + std::to_string(way) + " times=1"},
                    kSettleNs, way == 5};
        }
        default:
            return {"delay past the time-out, ignored CANCEL",
                    {"delay " + std::to_string(past) + " on=read times=1",
                     "cancel-ignore " + std::to_string(random_.pick(200, 3000)) + " times=1"},
                    (past + 3000) * kMs + kSettleNs};
    }
}

void Chaos::arm(std::size_t port) {
    if (armed_[port] || devices_[port] == 0) return;
    Armed armed;
    armed.plan = plan_fault();
    ++faults[armed.plan.name].armed;
    if (!armed.plan.harmless) armed.disturbance = run_.ports[port].disturb(now_ns());
    for (const std::string& line : armed.plan.lines) sim_.set_fault(devices_[port], line);
    run_.log.mark("port " + std::to_string(port) + ": fault armed: " + armed.plan.name);
    armed.untilNs = now_ns() + 6 * kSecond;
    armed_[port] = std::move(armed);
}

void Chaos::check_armed(bool all) {
    for (std::size_t port = 0; port < armed_.size(); ++port) {
        if (!armed_[port]) continue;
        const Armed& armed = *armed_[port];
        const sim::SimReply reply = sim_.command("faults " + std::to_string(devices_[port]));
        bool used = false;
        for (const std::string& line : armed.plan.lines) {
            const std::string kind = "kind=" + line.substr(0, line.find(' ')) + " ";
            bool on = false;
            for (const std::string& shown : reply.lines) on = on || shown.find(kind) != std::string::npos;
            used = used || !on;
        }
        if (!used && !all && now_ns() < armed.untilNs) continue;
        sim_.clear_faults(devices_[port]);
        run_.log.mark("port " + std::to_string(port) + ": fault cleared, " + (used ? "used" : "unused") + ": " +
                      armed.plan.name);
        if (used) ++faults[armed.plan.name].used;
        // An unused fault did nothing: its time ends now.
        if (!armed.plan.harmless)
            run_.ports[port].settle(armed.disturbance, now_ns() + (used ? armed.plan.settleNs : 0));
        armed_[port].reset();
    }
}

void Chaos::push() {
    const std::size_t port = random_.pick(0, devices_.size() - 1);
    if (devices_[port] == 0) return;
    sim_.push(devices_[port], gateway::unsolicited_text(static_cast<int>(port), ++unsolicited_));
    ++pushed;
}

void Chaos::remove_and_add(std::size_t first) {
    // Slot n is the n-th present device: the instruments of the ports from
    // `first` on go, and come back in order.  Meanwhile each of those ports
    // meets other instruments at its slot: the one of the port after it,
    // a device with an identity of its own, or one that claims the identity
    // of an instrument another port serves.
    check_armed(true);
    const std::size_t ports = devices_.size();
    std::vector<std::size_t> disturbances(ports);
    std::vector<std::uint64_t> reopenedBefore(ports);
    // Every port is disturbed, those before `first` too: while a port opens
    // its slot the other ports' exchanges pause (the gateway keeps an open
    // apart from every exchange), and an open that meets an instrument
    // slow to name itself takes its identification's time.  Their answers
    // may come late then, never to another line.
    for (std::size_t port = 0; port < ports; ++port) {
        disturbances[port] = run_.ports[port].disturb(now_ns());
        reopenedBefore[port] = run_.ports[port].reopened.load();
    }
    run_.log.mark("removal: the devices of port " + std::to_string(first) + " on go");
    sim_.remove_device(devices_[first]);
    devices_[first] = 0;
    random_.sleep_ms(300, 2000);
    for (std::size_t port = first + 1; port < ports; ++port) {
        sim_.remove_device(devices_[port]);
        devices_[port] = 0;
    }
    random_.sleep_ms(200, 1500);
    for (std::size_t port = first; port < ports; ++port) {
        const std::uint32_t device = sim_.add_device(kInstrument).id;
        if (ports > 1 && random_.chance(0.5)) {
            std::size_t other = random_.pick(0, ports - 2);
            if (other >= port) ++other;
            sim_.set_identity(device, run_.ports[other].identity);
        }
        ++devicesAdded;
        random_.sleep_ms(300, 1500);
        sim_.set_identity(device, run_.ports[port].identity);
        devices_[port] = device;
    }
    // Each port takes its instrument back within a second or two of trying.
    for (std::size_t port = first; port < ports; ++port) {
        const std::int64_t deadline = now_ns() + 30 * kSecond;
        while (run_.ports[port].reopened.load() == reopenedBefore[port] && now_ns() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (run_.ports[port].reopened.load() == reopenedBefore[port]) ++reopenUnseen;
    }
    for (std::size_t port = 0; port < ports; ++port)
        run_.ports[port].settle(disturbances[port], now_ns() + kSettleNs);
    run_.log.mark("removal: every device back");
    ++removals;
}

void Chaos::run() {
    std::int64_t nextRemoval = now_ns() + static_cast<std::int64_t>(random_.pick(3, 8)) * kSecond;
    while (now_ns() < run_.endNs) {
        check_armed(false);
        if (now_ns() >= nextRemoval && run_.endNs - now_ns() > 12 * kSecond) {
            remove_and_add(random_.pick(0, devices_.size() - 1));
            nextRemoval = now_ns() + static_cast<std::int64_t>(random_.pick(8, 20)) * kSecond;
            continue;
        }
        // About 1.3 pushes and 0.3 faults a second, over all ports.
        const std::uint64_t k = random_.pick(0, 99);
        if (k < 35)
            push();
        else if (k < 44)
            arm(random_.pick(0, devices_.size() - 1));
        random_.sleep_ms(50, 500);
    }
}

void Chaos::quiet() { check_armed(true); }

// ---- the gateway process's figures ----------------------------------------

struct Figures {
    int fds = 0;
    int threads = 0;
    Memory memory{"RSS", 0};
};

Figures figures_of(pid_t pid) { return {fd_count(pid), thread_count(pid), resident_memory(pid)}; }

// The gateway's resident set may grow this much: it holds at most one
// message per port at a time (the pending answer and its copy as sent), and
// glibc keeps the freed blocks of each port thread's arena for reuse.  The
// warm-up passes the largest answer on every port first, so later growth is
// what fragmentation adds to that, or a leak.
long default_memory_slack_kib(const GatewayOptions& options) {
    long slack = 8192 + static_cast<long>(options.ports) * 2 * static_cast<long>(options.maxData / 1024);
    // Each VXI-11 client may have an answer pending at the gateway for
    // one of its links, whose blocks glibc keeps for reuse likewise.
    slack += static_cast<long>(options.ports) * options.vxiClients * static_cast<long>(options.maxData / 1024);
#ifdef TAVLIB_STRESS_ADDRESS_SANITIZED
    slack += 16 * 1024;  // the quarantine given to the gateway below, which may fill only later
#endif
    return slack;
}

void print_tally(const Tally& t) {
    const auto n = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
    std::printf("gateway: connections %llu: served %llu (of them after waiting while another was connected "
                "%llu), turned away with the busy line %llu; half-closed %llu, left mid-answer %llu\n",
                n(t.connections), n(t.served), n(t.waited), n(t.busy), n(t.halfCloses), n(t.earlyCloses));
    std::printf("gateway: lines %llu: answered whole %llu, silent (*RST) %llu, cut short %llu, missing %llu, "
                "given up by their client %llu, sent on a refused connection %llu\n",
                n(t.lines), n(t.whole), n(t.silent), n(t.cut), n(t.missing), n(t.abandoned),
                n(t.refusedLines));
    std::printf("gateway: DATA? answers %llu (%llu bytes), unsolicited messages passed on %llu\n",
                n(t.dataAnswers), n(t.dataBytes), n(t.unsolicited));
    std::printf("gateway: answers for another line %llu, for another client %llu, for another instrument %llu; "
                "no whole message %llu; unsolicited passed on twice %llu\n",
                n(t.anotherLine), n(t.anotherClient), n(t.anotherInstrument), n(t.notAMessage),
                n(t.unsolicitedTwice));
    std::printf("gateway: answers lost outside faults %llu; connections closed by the gateway %llu; "
                "half-closed clients never closed %llu; failed connects %llu\n",
                n(t.lostUndisturbed), n(t.closedByGateway), n(t.halfCloseHangs), n(t.connectFailures));
}

}  // namespace

std::uint64_t run_gateway(const GatewayOptions& given) {
    GatewayOptions options = given;
    if (options.seed == 0) options.seed = static_cast<std::uint64_t>(now_ns());
    if (options.memorySlackKib < 0) options.memorySlackKib = default_memory_slack_kib(options);
    std::printf("gateway: seed %llu, %.0f s, %d ports, %d raw-socket and %d VXI-11 clients each, DATA? up to "
                "%zu bytes, gateway time-outs %d/%d s\n",
                static_cast<unsigned long long>(options.seed), options.seconds, options.ports, options.clients,
                options.vxiClients, options.maxData, kWriteTimeout, kReadTimeout);
    gateway::prepare_pattern(options.maxData);
    Violations violations(options.violationsShown);

    auto sim = start_simulator({"--definitions", TAVLIB_STRESS_GATEWAY_DEFINITIONS});
    for (int port = 1; port < options.ports; ++port) sim->add_device(kInstrument);
    std::vector<std::uint32_t> devices;
    for (const sim::SimDevice& device : sim->devices()) devices.push_back(device.id);

    std::vector<PortState> ports(static_cast<std::size_t>(options.ports));
    for (std::size_t port = 0; port < ports.size(); ++port) {
        ports[port].index = static_cast<int>(port);
        ports[port].identity = gateway::identity_text(devices[port]);
        ports[port].serial = gateway::serial_of(ports[port].identity);
    }
    GatewayLog log(ports, violations, options.gatewayLog);
    std::vector<std::string> args{gateway_executable(),
                                  "--write-timeout", std::to_string(kWriteTimeout),
                                  "--read-timeout", std::to_string(kReadTimeout),
                                  "--reopen-tries", "3600",
                                  "--portmap", "off", "--mdns", "off"};
    for (std::size_t port = 0; port < ports.size(); ++port) {
        args.insert(args.end(), {"--slot", std::to_string(port), "--port", "0"});
    }
    std::vector<std::string> environment;
#ifdef TAVLIB_STRESS_ADDRESS_SANITIZED
    // The gateway is built with AddressSanitizer too, whose quarantine of
    // freed blocks (up to 256 MiB) would show as growth of its resident
    // set: a quarantine of 16 MiB, full after the warm-up, keeps the figure
    // telling.
    const char* asanOptions = std::getenv("ASAN_OPTIONS");
    environment.push_back("ASAN_OPTIONS=" + std::string(asanOptions != nullptr ? asanOptions : "") +
                          ":quarantine_size_mb=16");
#endif
    ChildProcess gatewayProcess(args, environment, [&log](const std::string& line) { log.take(line); });
    if (!gatewayProcess.wait_for_line("tavril-gateway: ready", std::chrono::seconds(60))) {
        std::string text;
        for (const std::string& line : gatewayProcess.lines()) text += "\n  " + line;
        throw std::runtime_error("tavril-gateway (" + args[0] + ") did not get ready:" + text);
    }
    for (PortState& port : ports) {
        const std::string prefix = "tavril-gateway: slot " + std::to_string(port.index) + ": listening on ";
        const std::optional<std::string> line = gatewayProcess.wait_for_line(prefix, std::chrono::seconds(1));
        unsigned tcp = 0;
        if (!line || std::sscanf(line->c_str() + line->find(':', prefix.size() - 1) + 1, "%u", &tcp) != 1)
            throw std::runtime_error("the gateway shows no port for slot " + std::to_string(port.index));
        port.tcp = static_cast<std::uint16_t>(tcp);
    }
    unsigned vxiCore = 0;
    if (options.vxiClients > 0) {
        const std::string prefix = "tavril-gateway: vxi11: core channel on port ";
        const std::optional<std::string> line = gatewayProcess.wait_for_line(prefix, std::chrono::seconds(1));
        if (!line || std::sscanf(line->c_str() + prefix.size(), "%u", &vxiCore) != 1)
            throw std::runtime_error("the gateway shows no VXI-11 core channel");
    }

    const std::int64_t startNs = now_ns();
    log.start_clock(startNs);
    Run run{options, ports, violations, log, startNs,
            startNs + static_cast<std::int64_t>(options.seconds * 1e9), options.maxData,
            static_cast<std::uint16_t>(vxiCore)};

    // Clients 0 .. clients-1 are the random ones; the warm-up and the final
    // check use one more, with tags of its own.
    std::vector<std::vector<Client>> clients(ports.size());
    for (std::size_t port = 0; port < ports.size(); ++port)
        for (int id = 0; id <= options.clients; ++id)
            clients[port].emplace_back(run, ports[port], id, options.seed + 1000 * port + static_cast<std::uint64_t>(id) + 1);
    // The VXI-11 clients likewise, the last of each port for the probes;
    // their tags' client numbers are 100 and up.
    std::vector<std::vector<std::unique_ptr<VxiClient>>> vxiClients(ports.size());
    if (options.vxiClients > 0)
        for (std::size_t port = 0; port < ports.size(); ++port)
            for (int id = 0; id <= options.vxiClients; ++id)
                vxiClients[port].push_back(std::make_unique<VxiClient>(
                    run, ports[port], id, options.seed + 1000 * port + 500 + static_cast<std::uint64_t>(id)));
    const auto probe_all = [&](const char* when, std::int64_t timeoutNs) {
        const std::vector<Kind> kinds{Kind::identity, Kind::query, Kind::data, Kind::pair, Kind::echo};
        // Either kind of client: it must get its instrument's answers again.
        const auto probe = [&](auto& prober, std::size_t port, const char* over) {
            std::string why;
            const std::int64_t deadline = now_ns() + timeoutNs;
            bool ok = false;
            while (!(ok = prober.probe(kinds, options.maxData, 20 * kSecond, &why)) && now_ns() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            if (!ok)
                violations.add(std::string(when) + ": port " + std::to_string(port) + " does not serve its instrument" +
                               over + " (" + why + "); the gateway's last lines:" + log.tail());
        };
        for (std::size_t port = 0; port < ports.size(); ++port)
            if (!vxiClients[port].empty()) probe(*vxiClients[port].back(), port, " over VXI-11");
        for (std::size_t port = 0; port < ports.size(); ++port) probe(clients[port].back(), port, "");
    };
    // Twice: glibc serves a large block from the heap once one of its size
    // was freed, so the second round takes the memory the run will hold.
    probe_all("warm-up", 30 * kSecond);
    probe_all("warm-up", 30 * kSecond);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const pid_t pid = gatewayProcess.pid();
    const Figures before = figures_of(pid);
    Figures most = before;

    // A run that stops making progress ends, rather than wait for ever.
    std::jthread watchdog([&run](std::stop_token stop) {
        while (!stop.stop_requested()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (now_ns() > run.endNs + 300 * kSecond) {
                std::fprintf(stderr, "VIOLATION: the run did not end 300 s after its time (a hang); ending\n");
                std::fflush(nullptr);
                ::_exit(1);
            }
        }
    });

    Chaos chaos(run, *sim, devices, options.seed + 999);
    std::exception_ptr chaosFailure;
    {
        std::vector<std::jthread> threads;
        threads.emplace_back([&] {
            try {
                chaos.run();
                chaos.quiet();
            } catch (...) {
                chaosFailure = std::current_exception();
            }
        });
        for (auto& portClients : clients)
            for (std::size_t id = 0; id + 1 < portClients.size(); ++id)
                threads.emplace_back([&client = portClients[id]] { client.run(); });
        for (auto& portClients : vxiClients)
            for (std::size_t id = 0; id + 1 < portClients.size(); ++id)
                threads.emplace_back([&client = *portClients[id]] { client.run(); });
        // Turns: every 8-20 s a port passes from its raw-socket clients to
        // its VXI-11 links or back; neighbouring ports start in different
        // turns, so that both kinds run at once.
        if (options.vxiClients > 0)
            threads.emplace_back([&] {
                Random random(options.seed + 777);
                std::vector<std::int64_t> next(ports.size());
                for (std::size_t port = 0; port < ports.size(); ++port) {
                    {
                        std::lock_guard lock(ports[port].mutex);
                        ports[port].vxiTurn = port % 2 == 1;
                    }
                    ports[port].notify();
                    next[port] = now_ns() + static_cast<std::int64_t>(random.pick(8, 20)) * kSecond;
                }
                while (now_ns() < run.endNs) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    for (std::size_t port = 0; port < ports.size(); ++port) {
                        if (now_ns() < next[port]) continue;
                        {
                            std::lock_guard lock(ports[port].mutex);
                            ports[port].vxiTurn = !ports[port].vxiTurn;
                            ++ports[port].turns;
                        }
                        ports[port].notify();
                        next[port] = now_ns() + static_cast<std::int64_t>(random.pick(8, 20)) * kSecond;
                    }
                }
                for (PortState& port : ports) {
                    {
                        std::lock_guard lock(port.mutex);
                        port.vxiTurn = false;
                    }
                    port.notify();
                }
            });
        while (now_ns() < run.endNs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            const Figures now = figures_of(pid);
            if (now.fds < 0) {
                violations.add("the gateway process ended during the run; its last lines:" + log.tail());
                break;
            }
            most.fds = std::max(most.fds, now.fds);
            most.threads = std::max(most.threads, now.threads);
            most.memory.kib = std::max(most.memory.kib, now.memory.kib);
        }
    }
    if (chaosFailure) std::rethrow_exception(chaosFailure);

    probe_all("after the run", 60 * kSecond);
    // Turned-away connections close within 2 s, a leaving client's output
    // is dropped within a second or two: then the figures are back.
    Figures after = figures_of(pid);
    for (const std::int64_t deadline = now_ns() + 10 * kSecond;
         (after.fds != before.fds || after.threads != before.threads) && now_ns() < deadline;
         after = figures_of(pid))
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // SIGTERM while reads wait: the gateway is to end within 2 s all the
    // same.
    std::size_t readsWaiting = 0;
    std::int64_t stopNs = 0;
    int status = -1;
    {
        std::optional<WaitingReads> waiting;
        if (options.vxiClients > 0) {
            waiting.emplace(run, options.ports, 10000);
            readsWaiting = waiting->waiting();
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        const std::int64_t t0 = now_ns();
        status = gatewayProcess.stop(std::chrono::seconds(20));
        stopNs = now_ns() - t0;
    }
    watchdog.request_stop();
    if (readsWaiting > 0 && stopNs > 2 * kSecond)
        violations.add("the gateway took " + std::to_string(stopNs / kMs) + " ms to end on SIGTERM while " +
                       std::to_string(readsWaiting) + " VXI-11 read(s) waited (more than 2 s)");

    Tally total;
    for (const auto& portClients : clients)
        for (const Client& client : portClients) total.add(client.tally);
    std::uint64_t twoOwners = 0;
    for (PortState& port : ports) {
        std::sort(port.owned.begin(), port.owned.end(), [](const Span& a, const Span& b) { return a.from < b.from; });
        for (std::size_t i = 1; i < port.owned.size(); ++i) {
            // Spans start in order: one that starts before an earlier one ended overlaps it.
            for (std::size_t j = i; j-- > 0;) {
                if (port.owned[j].to > port.owned[i].from) {
                    ++twoOwners;
                    violations.add("port " + std::to_string(port.index) + ": clients " +
                                   std::to_string(port.owned[j].client) + " and " +
                                   std::to_string(port.owned[i].client) + " were served at once (t=" +
                                   std::to_string(run.at(port.owned[i].from)) + " s)");
                    break;
                }
                if (port.owned[i].from - port.owned[j].from > kLongestDisturbanceNs) break;
            }
        }
    }

    print_tally(total);
    VxiTally vxiTotal;
    for (const auto& portClients : vxiClients)
        for (const auto& client : portClients) vxiTotal.add(client->tally);
    if (options.vxiClients > 0) {
        print_vxi_tally(vxiTotal);
        std::uint64_t turns = 0;
        for (PortState& port : ports) turns += port.turns;
        std::printf("gateway: turns passed between raw-socket clients and VXI-11 links %llu; raw-socket clients "
                    "that tried the links' turn %llu, served beside open links %llu\n",
                    static_cast<unsigned long long>(turns), static_cast<unsigned long long>(total.intrusions),
                    static_cast<unsigned long long>(total.servedBesideLinks));
    }
    std::printf("gateway: two clients served at once %llu\n", static_cast<unsigned long long>(twoOwners));
    std::printf("gateway: simulator: unsolicited messages pushed %llu, removals %llu (devices put back %llu, "
                "ports whose reopening was not seen within 30 s %llu)\n",
                static_cast<unsigned long long>(chaos.pushed), static_cast<unsigned long long>(chaos.removals),
                static_cast<unsigned long long>(chaos.devicesAdded),
                static_cast<unsigned long long>(chaos.reopenUnseen));
    for (const auto& [name, count] : chaos.faults)
        std::printf("gateway: fault %-40s armed %6llu  used %6llu\n", name.c_str(),
                    static_cast<unsigned long long>(count.armed), static_cast<unsigned long long>(count.used));
    for (const auto& [name, count] : log.counts())
        std::printf("gateway: log: %-45s %llu\n", name.c_str(), static_cast<unsigned long long>(count));
    std::printf("gateway: process: fds %d before, max %d, after %d; threads %d before, max %d, after %d; "
                "RSS before %ld KiB, max %ld KiB, after %ld KiB (slack %ld KiB); exit status %d after %lld ms on SIGTERM (VXI-11 reads waiting %zu)\n",
                before.fds, most.fds, after.fds, before.threads, most.threads, after.threads, before.memory.kib,
                most.memory.kib, after.memory.kib, options.memorySlackKib, status,
                static_cast<long long>(stopNs / kMs), readsWaiting);

    if (after.fds != before.fds)
        violations.add("the gateway's descriptors went from " + std::to_string(before.fds) + " to " +
                       std::to_string(after.fds));
    if (after.threads != before.threads)
        violations.add("the gateway's threads went from " + std::to_string(before.threads) + " to " +
                       std::to_string(after.threads));
    Memory beforeMemory = before.memory;
    Memory afterMemory = after.memory;
    beforeMemory.name = afterMemory.name = "the gateway's RSS";
    check_memory_flat(beforeMemory, afterMemory, options.memorySlackKib, violations);
    if (status != 0) violations.add("the gateway ended with status " + std::to_string(status) + " on SIGTERM");
    return violations.count();
}

}  // namespace tavlib::stress
