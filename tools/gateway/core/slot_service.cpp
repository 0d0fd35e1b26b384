#include "slot_service.h"

#include <algorithm>
#include <utility>

#include "log.h"

namespace tavlib::gateway {
namespace {

using vxi11::Bytes;
using vxi11::DeviceRead;

// Write_Tavril takes at most this many seconds a transfer, Read_Tavril
// this many; a VXI-11 client's io_timeout may be longer or shorter.
constexpr std::uint32_t kMaxWriteSeconds = TAVRIL_MAX_TIMEOUT_SECONDS;
constexpr std::uint32_t kMaxReadSeconds = TAVRIL_MAX_READ_TIMEOUT_SECONDS;

// A VXI-11 message as the instrument takes it: each of its lines (LF or
// CR LF ends one) a command line ended by CR LF; empty lines are not sent,
// as the raw socket does not send them.  Write_Tavril sends a text that
// holds CR LF as it is.
std::string command_lines(std::string_view message) {
    std::string text;
    std::size_t start = 0;
    while (start < message.size()) {
        std::size_t end = message.find('\n', start);
        if (end == std::string_view::npos) end = message.size();
        std::string_view line = message.substr(start, end - start);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (!line.empty()) {
            text.append(line);
            text += "\r\n";
        }
        start = end + 1;
    }
    return text;
}

std::string link_text(SlotService::LinkId link) { return "VXI-11 link " + std::to_string(link); }

Bytes bytes_of(std::string&& text) { return Bytes(text.begin(), text.end()); }

}  // namespace

SlotService::SlotService(SlotConfig config, std::unique_ptr<InstrumentCalls> calls, OpenGuard& guard)
    : config_(config),
      prefix_("slot " + std::to_string(config.slot) + ": "),
      instrument_(std::move(calls), config.slot, config.writeTimeout, config.readTimeout, prefix_, guard),
      party_(guard, [this] { open_waits(); }) {}

SlotService::~SlotService() {
    request_stop();
    if (worker_.joinable()) worker_.join();
    {
        const std::lock_guard<std::mutex> lock(transferMutex_);
        interrupterEnds_ = true;
    }
    interruptWanted_.notify_all();
    if (interrupterThread_.joinable()) interrupterThread_.join();
}

void SlotService::set_log_prefix(std::string prefix) {
    prefix_ = std::move(prefix);
    instrument_.set_log_prefix(prefix_);
}

bool SlotService::open() {
    const bool opened = instrument_.open(true);
    open_ = opened;
    if (opened) {
        const std::lock_guard<std::mutex> lock(mutex_);
        identity_ = instrument_.identity();
    } else {
        reopening_ = true;
    }
    return opened;
}

void SlotService::set_runner(Runner runner) { runner_ = std::move(runner); }

void SlotService::start() {
    interrupterThread_ = std::thread([this] { interrupter(); });
    worker_ = std::thread([this] {
        run();
        {
            const std::lock_guard<std::mutex> lock(finishedMutex_);
            finished_ = true;
        }
        finishedChanged_.notify_all();
    });
}

void SlotService::on_gave_up(std::function<void()> gaveUp) { gaveUpHandler_ = std::move(gaveUp); }

void SlotService::on_identity(std::function<void(const std::optional<Identity>&)> changed) {
    identityHandler_ = std::move(changed);
}

void SlotService::request_stop() {
    {
        const std::lock_guard<std::mutex> lock(jobsMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    interrupt(0);
}

void SlotService::interrupt(LinkId link) {
    {
        const std::lock_guard<std::mutex> lock(transferMutex_);
        interrupts_.push_back(Interrupt{link, false});
    }
    interruptWanted_.notify_all();
}

void SlotService::interrupter() {
    std::unique_lock<std::mutex> lock(transferMutex_);
    for (;;) {
        interruptWanted_.wait(lock, [this] { return interrupterEnds_ || !interrupts_.empty(); });
        if (interrupterEnds_) return;
        const std::vector<Interrupt> asked = std::exchange(interrupts_, {});
        const bool meant = std::any_of(asked.begin(), asked.end(), [this](const Interrupt& one) {
            return one.link == 0 || (one.others ? one.link != transferLink_ : one.link == transferLink_);
        });
        if (!transferRunning_ || transferInterrupted_ || transferMayName_ || !meant) continue;
        // The worker, back from its transfer, takes this lock first: it
        // learns of the query before it does anything else.  A write that
        // reports a failure may still have reached the instrument, whose
        // identity would then come as the link's output: it is looked for
        // all the same (if it never comes, the read fails and the slot is
        // brought in step again).
        instrument_.interrupt_read();
        transferInterrupted_ = true;
    }
}

bool SlotService::read_transfer(LinkId link, std::uint32_t seconds, ServedInstrument::Read& got) {
    {
        const std::lock_guard<std::mutex> lock(transferMutex_);
        transferLink_ = link;
        transferRunning_ = true;
        transferInterrupted_ = false;
        transferMayName_ = ownerMayName_;
        // Another link's job queued before this transfer began: the
        // interrupter ends the transfer as it would have had it run.
        if (another_link_waits(link)) {
            interrupts_.push_back(Interrupt{link, false});
            interruptWanted_.notify_all();
        }
    }
    {
        const ServedInstrument::Hold hold(instrument_);
        got = instrument_.read(seconds);
    }
    const std::lock_guard<std::mutex> lock(transferMutex_);
    transferRunning_ = false;
    return transferInterrupted_;
}

bool SlotService::join(std::chrono::milliseconds patience) {
    if (!worker_.joinable()) return true;
    request_stop();
    std::unique_lock<std::mutex> lock(finishedMutex_);
    if (!finishedChanged_.wait_for(lock, patience, [this] { return finished_.load(); })) {
        worker_.detach();
        return false;
    }
    lock.unlock();
    worker_.join();
    return true;
}

std::optional<Identity> SlotService::identity() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return identity_;
}

void SlotService::queue(Job job, LinkId link, bool mayRunAtOnce) {
    bool atOnce = false;
    {
        const std::lock_guard<std::mutex> lock(jobsMutex_);
        atOnce = mayRunAtOnce && runner_ && !busy_ && jobs_.empty() && !stopping_;
        if (atOnce)
            busy_ = true;
        else
            jobs_.push_back(Queued{link, std::move(job)});
    }
    if (atOnce) {
        // Nothing runs on the instrument: no transfer to end.
        runner_([this, job = std::move(job)] {
            job();
            end_run_at_once();
        });
        return;
    }
    wake_.notify_one();
    if (link == 0) return;
    // Only a transfer running for another link is ended; one that starts
    // later finds the job queued (read_transfer).  The interrupter is not
    // woken for nothing: one link's calls cost no extra switch.
    {
        const std::lock_guard<std::mutex> lock(transferMutex_);
        if (!transferRunning_ || transferLink_ == link) return;
        interrupts_.push_back(Interrupt{link, true});
    }
    interruptWanted_.notify_all();
}

void SlotService::queue_first(Job job) {
    {
        const std::lock_guard<std::mutex> lock(jobsMutex_);
        jobs_.push_front(Queued{0, std::move(job)});
    }
    wake_.notify_one();
}

void SlotService::end_run_at_once() {
    bool wanted = false;
    {
        const std::lock_guard<std::mutex> lock(jobsMutex_);
        busy_ = false;
        // The worker is woken only when it waits for the instrument: a
        // wake for nothing would cost each call a switch.
        wanted = workerWaits_;
    }
    if (wanted) wake_.notify_one();
}

bool SlotService::another_link_waits(LinkId link) {
    const std::lock_guard<std::mutex> lock(jobsMutex_);
    return std::any_of(jobs_.begin(), jobs_.end(),
                       [link](const Queued& queued) { return queued.link != 0 && queued.link != link; });
}

void SlotService::run() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point nextCheck = Clock::now() + config_.idleCheck;
    Clock::time_point nextAttempt = Clock::now() + config_.reopenEvery;
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(jobsMutex_);
            for (;;) {
                // A job the runner runs has the instrument: wait for its end.
                workerWaits_ = true;
                wake_.wait(lock, [this] { return stopping_.load() || !busy_; });
                workerWaits_ = false;
                if (stopping_) return;
                const Clock::time_point due = reopening_ ? nextAttempt : nextCheck;
                if (wake_.wait_until(lock, due, [this] { return stopping_.load() || busy_ || !jobs_.empty(); })) {
                    if (stopping_) return;
                    if (busy_) continue;
                }
                break;  // a job waits, or the checks are due
            }
            busy_ = true;
            if (!jobs_.empty()) {
                job = std::move(jobs_.front().job);
                jobs_.pop_front();
            }
        }
        if (job) job();
        // The timers are looked at after every job too, so that a stream of
        // work does not hold up a reopening.
        const Clock::time_point now = Clock::now();
        if (reopening_) {
            if (now >= nextAttempt) {
                reopen_attempt();
                nextAttempt = Clock::now() + config_.reopenEvery;
            }
        } else {
            nextAttempt = now + config_.reopenEvery;
            if (now >= nextCheck) {
                idle_check();
                nextCheck = Clock::now() + config_.idleCheck;
            }
        }
        const std::lock_guard<std::mutex> lock(jobsMutex_);
        busy_ = false;
    }
}

bool SlotService::in_step(std::string_view why) {
    if (!inStep_) {
        // Whatever waits goes: no link owns output after it.
        clear_owner();
        inStep_ = resync(instrument_, config_.rules, why);
    }
    check_lost();
    return inStep_;
}

void SlotService::check_lost() {
    if (!instrument_.take_lost()) return;
    inStep_ = false;
    clear_owner();
    open_ = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        identity_.reset();
    }
    if (identityHandler_) identityHandler_(std::nullopt);
    if (reopening_) return;
    reopening_ = true;
    attempts_ = 0;
}

void SlotService::reopen_attempt() {
    if (gaveUp_) return;
    ++attempts_;
    if (instrument_.open(attempts_ == 1)) {
        log(prefix_ + "slot reopened (attempt " + std::to_string(attempts_) + ")");
        reopening_ = false;
        inStep_ = false;
        open_ = true;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            identity_ = instrument_.identity();
        }
        if (identityHandler_) identityHandler_(instrument_.identity());
        return;
    }
    if (attempts_ < config_.reopenTries) return;
    log(prefix_ + "gave up after " + std::to_string(config_.reopenTries) +
        " attempts to reopen the slot; port closed");
    gaveUp_ = true;
    reopening_ = false;
    if (gaveUpHandler_) gaveUpHandler_();
}

void SlotService::idle_check() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        // A client's or a link's output is theirs to read.
        if (client_ || !links_.empty()) return;
    }
    if (!instrument_.is_open()) return;
    inStep_ = false;
    in_step("while no client was connected");
}

// ---- who uses the instrument --------------------------------------------------

bool SlotService::claim_client() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (client_ || !links_.empty()) return false;
        client_ = true;
    }
    queue([this] {
        // Whatever the instrument said while nobody asked is not this
        // client's.
        inStep_ = false;
        if (instrument_.is_open()) in_step("before a new client");
    });
    return true;
}

void SlotService::release_client() {
    const std::lock_guard<std::mutex> lock(mutex_);
    client_ = false;
}

bool SlotService::claim_link(LinkId link) {
    bool first = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (client_) return false;
        first = links_.empty();
        links_[link] = std::make_shared<LinkState>();
    }
    if (first)
        queue([this] {
            // Nothing the instrument said before is a VXI-11 client's.
            inStep_ = false;
            if (instrument_.is_open()) in_step("before a VXI-11 client");
        });
    return true;
}

void SlotService::release_link(LinkId link) {
    std::shared_ptr<LinkState> state;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = links_.find(link);
        if (found == links_.end()) return;
        state = std::move(found->second);
        links_.erase(found);
        state->abandonedThrough = state->submitted;
    }
    const bool last = links() == 0;
    interrupt(link);
    queue([this, link, state, last] {
        std::uint64_t dropped = state->output.bytes();
        state->output.clear();
        if (owner_ == link && last) {
            // Nobody else shares the instrument: whoever uses it next brings
            // it in step first, which drops the rest (logged then).
            inStep_ = false;
            clear_owner();
        } else if (owner_ == link) {
            // The rest of what it asked for is read to its end, and dropped.
            if (instrument_.is_open()) {
                const bool ended = take_rest(instrument_, config_.rules, ownerMayName_,
                                             kDropLimitFactor * config_.rules.maxResponse,
                                             [&dropped](std::string message) { dropped += message.size(); });
                if (!ended) inStep_ = false;
            }
            clear_owner();
        }
        if (dropped > 0)
            log(prefix_ + link_text(link) + " closed; dropped the " + std::to_string(dropped) +
                " bytes of its answer still to come");
        check_lost();
    });
}

std::size_t SlotService::links() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return links_.size();
}

void SlotService::clear_owner() {
    owner_ = 0;
    ownerState_.reset();
    ownerMayName_ = false;
    owed_.reset();
}

void SlotService::open_waits() {
    if (settleAsked_.exchange(true)) return;
    queue_first([this] {
        settleAsked_ = false;
        if (owner_ != 0 && instrument_.is_open()) settle_owner(ownerState_, "another slot opens its instrument");
    });
    // A read that waits for the owner's answer ends once it has come.
    interrupt(0);
}

std::pair<std::shared_ptr<SlotService::LinkState>, std::uint64_t> SlotService::submit(LinkId link) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = links_.find(link);
    if (found == links_.end()) return {nullptr, 0};
    return {found->second, ++found->second->submitted};
}

// ---- a raw-socket client's line -------------------------------------------

void SlotService::run_line(std::string line, std::function<bool(std::string)> deliver,
                           std::function<void(bool)> done) {
    queue(
        [this, line = std::move(line), deliver = std::move(deliver), done = std::move(done)]() mutable {
        if (!instrument_.is_open()) {
            log(prefix_ + "no instrument: " + shown(line) + " dropped");
            done(false);
            return;
        }
        if (!in_step("after a failure")) {
            if (instrument_.is_open())
                log(prefix_ + shown(line) + ": not sent: the instrument's output is not in step");
            else
                log(prefix_ + "no instrument: " + shown(line) + " dropped");
            done(false);
            return;
        }
        bool clientGone = false;
        {
            Answer answer(instrument_, config_.rules, std::move(line));
            if (answer.send()) {
                // Each message goes out as soon as it is whole.  Once the
                // client is gone the rest is read and dropped, so that
                // nothing of it waits for the next client.
                std::uint64_t dropped = 0;
                while (std::optional<std::string> message = answer.next()) {
                    if (clientGone) {
                        dropped += message->size();
                        continue;
                    }
                    clientGone = !deliver(as_sent(std::move(*message)));
                    if (clientGone) answer.limit_output(kDropLimitFactor * config_.rules.maxResponse);
                }
                if (dropped > 0)
                    log(prefix_ + shown(answer.line()) + ": its client left; dropped the " +
                        std::to_string(dropped) + " bytes of its answer still to come");
            }
            inStep_ = answer.in_step();
            // After a call failed with an error code: is the instrument still
            // there?  The identity exchange tells.
            if (!inStep_ && answer.error_code() != 0) in_step("after a failed call");
        }
        check_lost();
        done(clientGone);
        },
        0, true);
}

// ---- a VXI-11 link's operations --------------------------------------------

SlotService::Status SlotService::status() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (client_) return Status::locked;
    return open_ ? Status::ok : Status::not_accessible;
}

SlotService::Status SlotService::failed(std::uint32_t errorCode) {
    // A failure with an error code may mean the instrument went away: the
    // identity exchange tells, and a lost one is reopened.
    inStep_ = false;
    if (errorCode != 0) in_step("after a failed call");
    check_lost();
    return instrument_.is_open() ? Status::io_error : Status::not_accessible;
}

bool SlotService::settle_owner(const std::shared_ptr<LinkState>& keep, std::string_view why) {
    if (owner_ == 0) return true;
    const LinkId owner = owner_;
    std::uint64_t dropped = 0;
    bool first = true;
    const bool ended = take_rest(
        instrument_, config_.rules, ownerMayName_, kDropLimitFactor * config_.rules.maxResponse,
        [&](std::string message) {
            if (keep) {
                // A message its last full transfer left open goes on here.
                if (first && keep->lastFull) keep->lastFull = false;
                keep->output.append(bytes_of(std::move(message)), true);
            } else {
                dropped += message.size();
            }
            first = false;
        });
    if (keep && keep->lastFull) {
        keep->output.mark_end();
        keep->lastFull = false;
    }
    clear_owner();
    if (dropped > 0)
        log(prefix_ + link_text(owner) + ": dropped the " + std::to_string(dropped) + " bytes of its answer (" +
            std::string(why) + ")");
    if (!ended) failed(0);
    return ended;
}

void SlotService::write(LinkId link, Bytes message, std::uint32_t seconds, std::function<void(Status)> done) {
    auto [state, call] = submit(link);
    queue([this, link, state = std::move(state), call, message = std::move(message), seconds, done = std::move(done)] {
        if (!state || call <= state->abandonedThrough) {
            done(Status::aborted);
            return;
        }
        const std::string_view text(reinterpret_cast<const char*>(message.data()), message.size());
        const std::string shownLine = "(" + link_text(link) + ") " + std::string(text.substr(0, 60));
        if (text.find('\0') != std::string_view::npos) {
            log(prefix_ + shown(shownLine) + ": a message holding a NUL byte cannot be sent");
            done(Status::parameter_error);
            return;
        }
        const std::string lines = command_lines(text);
        if (lines.empty()) {
            done(Status::ok);  // empty lines only: nothing to send
            return;
        }
        if (!instrument_.is_open()) {
            done(Status::not_accessible);
            return;
        }
        // What another link still has coming is its own: kept for it first.
        if (owner_ != link) {
            if (!settle_owner(ownerState_, "another link writes")) {
                done(instrument_.is_open() ? Status::io_error : Status::not_accessible);
                return;
            }
        }
        if (!in_step("before a VXI-11 write")) {
            done(instrument_.is_open() ? Status::io_error : Status::not_accessible);
            return;
        }
        std::uint32_t errorCode = 0;
        std::int32_t result = 0;
        // From the write until the answers have been taken to their end
        // (clear_owner), the instrument owes the link output: another slot's
        // open would meet it.
        if (!owed_) owed_.emplace(instrument_);
        result = instrument_.write(lines, shownLine, errorCode, std::clamp(seconds, TAVRIL_MIN_TIMEOUT_SECONDS, kMaxWriteSeconds));
        // What the instrument takes of it, it may answer: the link's.
        if (result != TAVRIL_WRITE_OK) {
            // The client is told the message failed, yet the instrument may
            // have taken it whole and answer it: nothing it says now is the
            // link's, and the next exchange drops it.
            clear_owner();
            if (result == TAVRIL_WRITE_TIMEOUT && errorCode == 0) {
                inStep_ = false;
                done(Status::timeout);
                return;
            }
            done(failed(errorCode));
            return;
        }
        // Any of the messages it has not had all answers to may make the
        // instrument name itself: the end of its output is then found by
        // quiet, not by the identity.
        ownerMayName_ = (owner_ == link && ownerMayName_) || may_name_instrument(text);
        owner_ = link;
        ownerState_ = state;
        state->lastFull = false;
        done(Status::ok);
    }, link, true);
}

void SlotService::read(LinkId link, const vxi11::ReadRequest& request, std::function<void(DeviceRead)> done) {
    auto [state, call] = submit(link);
    queue([this, link, state = std::move(state), call, request, done = std::move(done)] {
        using Clock = std::chrono::steady_clock;
        const auto finish = [&done](Status status) { done(DeviceRead{status, {}, 0}); };
        if (!state) {
            finish(Status::aborted);
            return;
        }
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(request.seconds);
        for (;;) {
            if (call <= state->abandonedThrough) {
                finish(Status::aborted);  // what it read stays the link's
                return;
            }
            if (std::optional<vxi11::ReadTaken> taken = state->output.take(request)) {
                done(DeviceRead{Status::ok, std::move(taken->data), taken->reason});
                return;
            }
            // Nothing more can come for a link that is not the owner: what it
            // asked for was taken to its end already.  The read still ends
            // at its time-out, as a client expects of one, but the
            // instrument does not wait for it.
            if (owner_ != link) {
                done(DeviceRead{Status::timeout, {}, 0, deadline});
                return;
            }
            if (!instrument_.is_open()) {
                finish(Status::not_accessible);
                return;
            }
            const auto left = std::chrono::ceil<std::chrono::seconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                finish(Status::timeout);
                return;
            }
            ServedInstrument::Read got;
            const bool interrupted = read_transfer(
                link, std::clamp(static_cast<std::uint32_t>(left), TAVRIL_MIN_TIMEOUT_SECONDS, kMaxReadSeconds), got);
            if (interrupted) {
                // The identity query went beside the transfer: everything the
                // instrument still owed the link comes before its identity,
                // and stays the link's; the identity is dropped.
                bool ended = false;
                for (bool first = true; !ended; first = false) {
                    if (!first) got = instrument_.read(config_.readTimeout);
                    if (!got.ok()) break;
                    const std::string_view chunk(instrument_.chunk(), got.count);
                    if (got.count < kChunk && instrument_.is_own_identity(chunk)) {
                        // A message that filled its last transfer exactly
                        // ended there, as the identity shows.
                        if (state->lastFull) state->output.mark_end();
                        state->lastFull = false;
                        ended = true;
                        break;
                    }
                    const bool end = got.count < kChunk;
                    state->output.append(Bytes(chunk.begin(), chunk.end()), end);
                    state->lastFull = !end;
                }
                if (!ended) {
                    finish(failed(got.errorCode));
                    return;
                }
                clear_owner();
                continue;  // the abandoned call ends above; a stop ends the worker
            }
            if (got.ok()) {
                // A transfer shorter than asked for ends a message.
                const bool end = got.count < kChunk;
                state->output.append(Bytes(instrument_.chunk(), instrument_.chunk() + got.count), end);
                state->lastFull = !end;
                continue;
            }
            if (got.quiet()) {
                if (state->lastFull) {
                    // A message that filled its last transfer exactly ends here.
                    state->output.mark_end();
                    state->lastFull = false;
                    continue;
                }
                finish(Status::timeout);
                return;
            }
            instrument_.log_failure(tools::Function::Read, got.result, got.errorCode, "(" + link_text(link) + " read)",
                                    "no answer sent");
            state->lastFull = false;
            finish(failed(got.errorCode));
            return;
        }
    }, link, true);
}

void SlotService::trigger(LinkId link, std::uint32_t seconds, std::function<void(Status)> done) {
    auto [state, call] = submit(link);
    queue([this, link, state = std::move(state), call, seconds, done = std::move(done)] {
        if (!state || call <= state->abandonedThrough) {
            done(Status::aborted);
            return;
        }
        if (!instrument_.is_open()) {
            done(Status::not_accessible);
            return;
        }
        // What the owner (perhaps this link) still has coming stays its own.
        if (!settle_owner(ownerState_, "a trigger") || !in_step("before a trigger")) {
            done(instrument_.is_open() ? Status::io_error : Status::not_accessible);
            return;
        }
        (void)seconds;  // the trigger's exchange runs under the port's time-outs
        std::string answered;
        bool ended = false;
        std::uint32_t errorCode = 0;
        {
            Answer answer(instrument_, config_.rules, "*TRG");
            if (answer.send())
                while (std::optional<std::string> message = answer.next())
                    if (answered.empty()) answered = std::move(*message);
            ended = answer.in_step();
            errorCode = answer.error_code();
        }
        if (!ended) {
            done(failed(errorCode));
            return;
        }
        if (!answered.empty()) {
            log(prefix_ + "\"*TRG\" (" + link_text(link) + "): the instrument answered " + shown(answered) +
                "; dropped, the trigger was refused");
            done(Status::not_supported);
            return;
        }
        done(Status::ok);
    }, link, true);
}

void SlotService::clear(LinkId link, std::function<void(Status)> done) {
    auto [state, call] = submit(link);
    queue([this, state = std::move(state), call, done = std::move(done)] {
        if (!state || call <= state->abandonedThrough) {
            done(Status::aborted);
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            for (auto& [id, other] : links_) {
                other->output.clear();
                other->lastFull = false;
            }
        }
        // The identity exchange drops whatever the instrument holds (logged).
        inStep_ = false;
        if (!instrument_.is_open()) {
            done(Status::not_accessible);
            return;
        }
        if (in_step("VXI-11 device clear")) {
            done(Status::ok);
            return;
        }
        done(instrument_.is_open() ? Status::io_error : Status::not_accessible);
    }, link, true);
}

void SlotService::abandon(LinkId link) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = links_.find(link);
        if (found == links_.end()) return;
        found->second->abandonedThrough = found->second->submitted;
    }
    interrupt(link);
}

}  // namespace tavlib::gateway
