// The service of one slot: the one owner of its instrument.
//
// It keeps the instrument open (and reopens it when it goes away, only the
// instrument first found at the slot), keeps its output in step with the
// questions asked (nothing the instrument said before reaches a client that
// did not ask for it), knows whose answer each piece of output is, and
// decides who may use the instrument now: one raw-socket client, or VXI-11
// links, never both.
//
// Every exchange with the instrument runs one at a time, in the order asked
// for, on the service's worker thread; the calls below only queue work and
// return, so no front end ever waits for the instrument.  A raw-socket line
// or a VXI-11 operation that finds the instrument free and nothing queued
// may instead run at once where the front end's runner puts it (a thread
// that has just received the call, while another takes over the network
// if it runs long), which spares the call a hand-off to the worker and
// back.  Each operation's `done` runs
// on the thread that ran it: a front end posts it on to its own.
//
// Output belongs to the link that asked for it.  The instrument's output
// is one queue, and nothing in it says which question a message answers;
// so the service remembers which link wrote last (the owner of what the
// instrument will still say).  What one of its reads leaves waits for its
// next read.  Before another link writes, and when the owner goes, the
// owner's output is taken to its end by the identity exchange (the identity
// query, and every message before the instrument's own identity), and kept
// for the owner or dropped.  One link writing and reading costs no more
// than its own calls.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "answer.h"
#include "identity.h"
#include "served_instrument.h"
#include "instrument_calls.h"
#include "open_guard.h"
#include "vxi11.h"

namespace tavlib::gateway {

struct SlotConfig {
    std::uint32_t slot = 0;
    std::uint32_t writeTimeout = 5;   // seconds, of each write transfer of a client's line
    std::uint32_t readTimeout = 10;   // seconds, of each read transfer of a client's answer
    AnswerRules rules;
    std::uint32_t reopenTries = 300;  // attempts, one per reopenEvery
    std::chrono::milliseconds reopenEvery{1000};
    // How often an instrument nobody uses is brought in step (what it said
    // on its own dropped, and logged).
    std::chrono::milliseconds idleCheck{5000};
};

class SlotService {
public:
    using Status = vxi11::DeviceStatus;
    using LinkId = vxi11::LinkId;

    SlotService(SlotConfig config, std::unique_ptr<InstrumentCalls> calls, OpenGuard& guard);
    // Ends the worker and waits for it.
    ~SlotService();
    SlotService(const SlotService&) = delete;
    SlotService& operator=(const SlotService&) = delete;

    // Before start(): the log's prefix, and the first open of the slot (on
    // the caller's thread; it logs the instrument).  When that fails, the
    // worker goes on trying, once per reopenEvery.
    void set_log_prefix(std::string prefix);
    bool open();
    // Where a line or an operation runs when it may run at once (see above):
    // the runner is given the job and runs it soon, on a thread of its
    // choosing.  None: every job runs on the worker.
    using Runner = std::function<void(std::function<void()>)>;
    void set_runner(Runner runner);
    void start();

    // Called on the worker thread: the slot was given up for good (every
    // reopening failed); the instrument became known (an identity) or went
    // away (nothing).
    void on_gave_up(std::function<void()> gaveUp);
    void on_identity(std::function<void(const std::optional<Identity>&)> changed);

    // No further work starts; an answer waiting to be taken by its client
    // is given up.
    void request_stop();
    bool stopping() const { return stopping_.load(); }
    // Waits at most `patience` for the worker to end.  False when a library
    // call still runs on it (it ends with its time-out): the worker is then
    // left to the end of the process, and the service must not be destroyed.
    bool join(std::chrono::milliseconds patience);

    std::uint32_t slot() const { return config_.slot; }
    std::optional<Identity> identity() const;
    bool gave_up() const { return gaveUp_.load(); }

    // -- who uses the instrument -------------------------------------------
    // A raw-socket client: refused while VXI-11 links are open.  Before its
    // first line, whatever the instrument holds is dropped.
    bool claim_client();
    void release_client();
    // A VXI-11 link: refused while a raw-socket client is served.  The
    // first one brings the instrument in step.  When a link goes, the rest of
    // what it asked for is read to its end and dropped (logged).
    bool claim_link(LinkId link);
    void release_link(LinkId link);
    std::size_t links() const;

    // -- a raw-socket client's line ----------------------------------------
    // Runs the line (answer.h); each message of its answer goes to
    // `deliver`, which returns false once the client is gone (the rest is
    // then read and dropped).  `done` gets whether the client went.
    void run_line(std::string line, std::function<bool(std::string)> deliver,
                  std::function<void(bool clientGone)> done);

    // -- a VXI-11 link's operations ----------------------------------------
    // One message: each of its lines (LF or CR LF ends one) a command line;
    // empty lines are not sent.
    void write(LinkId link, vxi11::Bytes message, std::uint32_t seconds, std::function<void(Status)> done);
    // The link's output up to the read's first reason to stop; the
    // request's seconds bound the whole read.
    void read(LinkId link, const vxi11::ReadRequest& request, std::function<void(vxi11::DeviceRead)> done);
    // What a call that needs no exchange answers now: ok, locked (a
    // raw-socket client is served) or not_accessible (no instrument).
    Status status() const;
    // The trigger command; its answer is taken and dropped.  An instrument
    // that answers it (an error) refused it: not_supported.
    void trigger(LinkId link, std::uint32_t seconds, std::function<void(Status)> done);
    // Drops every link's output, and whatever the instrument holds.
    void clear(LinkId link, std::function<void(Status)> done);
    // The link's operations queued or running have no caller any more: they
    // end at their next chance.  A read that waits for the instrument is
    // ended soon by the identity query, sent beside it (the library allows
    // calls on one handle from two threads): the instrument answers it after
    // everything it still had to say to the link, which stays the link's.
    // Another link's operation ends such a read the same way, and the read
    // then waits out its time on the link's output alone: one link waiting
    // for an answer that may never come holds up no other.
    void abandon(LinkId link);

private:
    struct LinkState {
        vxi11::OutputQueue output;
        bool lastFull = false;  // its last transfer was full: the message may go on
        std::uint64_t submitted = 0;  // operations queued (worker and callers, under mutex_)
        std::atomic<std::uint64_t> abandonedThrough{0};
    };
    using Job = std::function<void()>;
    struct Queued {
        LinkId link = 0;  // the link the job serves; 0: none
        Job job;
    };

    // A job for `link` ends the read transfer of another link.  One that
    // `mayRunAtOnce` goes to the runner when the instrument is free and no
    // job waits.
    void queue(Job job, LinkId link = 0, bool mayRunAtOnce = false);
    // A job that runs before every one queued.
    void queue_first(Job job);
    // Another slot's open waits for the open guard: what the owner link is
    // still owed is read to its end and kept for it, soon.
    void open_waits();
    // The end of a job the runner ran: the instrument is free again.
    void end_run_at_once();
    bool another_link_waits(LinkId link);
    void run();
    // -- on the worker ---------------------------------------------------
    bool in_step(std::string_view why);
    void check_lost();
    void reopen_attempt();
    void idle_check();
    // The output the owner link still has coming, to its end: kept for it,
    // or dropped when it is gone (`keep` null).  False when the exchange
    // failed.
    bool settle_owner(const std::shared_ptr<LinkState>& keep, std::string_view why);
    Status failed(std::uint32_t errorCode);
    // One read transfer for `link`, during which interrupt() may end it
    // early; true when it was interrupted (the identity is on its way).
    bool read_transfer(LinkId link, std::uint32_t seconds, ServedInstrument::Read& got);
    // Ends the read transfer running for `link` (any link: 0), from the
    // interrupter's thread.
    void interrupt(LinkId link);
    void interrupter();
    // The link's state and the number of the operation being queued for it
    // (nothing for a link that has gone).
    std::pair<std::shared_ptr<LinkState>, std::uint64_t> submit(LinkId link);
    // No link's output is on its way any more.
    void clear_owner();

    SlotConfig config_;
    std::string prefix_;
    ServedInstrument instrument_;
    std::function<void()> gaveUpHandler_;
    std::function<void(const std::optional<Identity>&)> identityHandler_;

    // The work queued for the worker, apart from the rest so that queueing
    // meets no other lock.
    std::mutex jobsMutex_;
    std::condition_variable wake_;
    std::deque<Queued> jobs_;
    // A job, or the worker's own checks, uses the instrument.  Whoever sets
    // it has the worker's own state below until it clears it.
    bool busy_ = false;
    bool workerWaits_ = false;  // for busy_ to end
    Runner runner_;
    mutable std::mutex mutex_;
    bool client_ = false;
    std::map<LinkId, std::shared_ptr<LinkState>> links_;
    std::optional<Identity> identity_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> gaveUp_{false};
    std::atomic<bool> open_{false};

    // The worker's own (or the runner's, while it runs a job: busy_).
    bool inStep_ = false;  // no output waits that nobody asked for
    bool reopening_ = false;
    std::uint32_t attempts_ = 0;
    LinkId owner_ = 0;  // the link whose output the instrument may still send; 0: none
    std::shared_ptr<LinkState> ownerState_;
    bool ownerMayName_ = false;  // a message of its may make the instrument name itself
    std::optional<ServedInstrument::Hold> owed_;  // while owner_ is set
    std::atomic<bool> settleAsked_{false};  // by an open of another slot, not yet done

    // The read transfer running on the worker, which the interrupter may
    // end by sending the identity query.
    std::mutex transferMutex_;
    std::condition_variable interruptWanted_;
    LinkId transferLink_ = 0;
    bool transferRunning_ = false;
    bool transferInterrupted_ = false;
    bool transferMayName_ = false;  // the link's output may hold an identity: not interrupted
    struct Interrupt {
        LinkId link = 0;      // 0: any link
        bool others = false;  // any link but `link`
    };
    std::vector<Interrupt> interrupts_;  // asked for, not yet looked at
    bool interrupterEnds_ = false;
    std::thread interrupterThread_;

    std::thread worker_;
    std::atomic<bool> finished_{false};
    std::mutex finishedMutex_;
    std::condition_variable finishedChanged_;
    // Last: it goes first, before anything its call uses.
    OpenGuard::Party party_;
};

}  // namespace tavlib::gateway
