// One slot's instrument as the gateway serves it: the instrument first
// opened at the slot and no other, its transfers, and the loss of it.
// Not thread-safe: the slot's service calls it from its worker thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "identity.h"
#include "instrument_calls.h"
#include "open_guard.h"
#include "result_codes.h"
#include "tavlib.h"

namespace tavlib::gateway {


// Each read asks for one transfer of 64 KiB: the driver hands out one
// message of the instrument's output at a time, and a transfer shorter than
// asked for ends a message.
inline constexpr std::uint32_t kChunk = TAVRIL_MAX_TRANSFER;

// A quoted, shortened line for the log.
std::string shown(std::string_view line);
// "Read_Tavril result -3 (time-out), Win32 code 0", as the log shows a call.
std::string call_text(tools::Function function, std::int32_t result, std::uint32_t errorCode);

class ServedInstrument {
public:
    ServedInstrument(std::unique_ptr<InstrumentCalls> calls, std::uint32_t slot, std::uint32_t writeTimeout,
               std::uint32_t readTimeout, std::string logPrefix, OpenGuard& guard);
    ~ServedInstrument();
    ServedInstrument(const ServedInstrument&) = delete;
    ServedInstrument& operator=(const ServedInstrument&) = delete;

    // Opens the slot and identifies what it holds.  The first instrument
    // opened is the one this port serves from then on: another one found at
    // the slot later is logged and closed again.  Failures are logged when
    // `logFailure` is set.  True when open.
    bool open(bool logFailure);
    bool is_open() const { return calls_->is_open(); }
    void set_log_prefix(std::string prefix) { prefix_ = std::move(prefix); }
    const std::string& log_prefix() const { return prefix_; }
    std::uint32_t read_timeout() const { return readTimeout_; }
    // The open guard held shared (open_guard.h) while one lives.  Holds
    // nest: the first takes the guard and the last lets it go, so an
    // exchange inside a longer hold never waits for an open that waits for
    // the hold itself.
    class Hold {
    public:
        explicit Hold(ServedInstrument& instrument);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        ServedInstrument& instrument_;
    };
    // The instrument this port serves, once one was opened.
    const std::optional<Identity>& identity() const { return identity_; }
    // True when `answer` is this instrument's answer to the identity query.
    bool is_own_identity(std::string_view answer);

    // Write_Tavril of `text`: its result; a failure is logged against
    // `line`, and leaves its Win32 code in `errorCode`.
    // `timeout`: of each transfer, in seconds (0: the port's write time-out).
    std::int32_t write(const std::string& text, std::string_view line, std::uint32_t& errorCode,
                       std::uint32_t timeout = 0);

    // One transfer of at most kChunk bytes (Read_Tavril, raw mode), waiting
    // at most `timeout` seconds; `chunk()` holds what it took.
    struct Read {
        std::int32_t result = 0;
        std::uint32_t count = 0;
        std::uint32_t errorCode = 0;
        bool ok() const { return result == TAVRIL_READ_OK; }
        // Nothing came in time, and the time-out's recovery request (which
        // drops output that comes later) went well.
        bool quiet() const { return result == TAVRIL_READ_TIMEOUT && errorCode == 0; }
    };
    Read read(std::uint32_t timeout);
    const char* chunk() const { return chunk_.get(); }

    // Sends the identity query while a read transfer runs on another
    // thread (the library allows calls on one handle from several threads),
    // so that the read ends once the instrument has said what it owed.  The
    // only call that may run beside another.  Its result is not asked for:
    // a write that reports a failure may have reached the instrument all
    // the same, so the reader looks for the identity either way.
    void interrupt_read();

    // Makes the library send its recovery request, which drops the output
    // no read has taken yet: a read of 0 bytes ends at once with nothing
    // received, and its failure path sends the request.  Its result says
    // nothing about the instrument and is not reported.
    void flush();

    // Logs a failed call made for `line`.
    void log_failure(tools::Function function, std::int32_t result, std::uint32_t errorCode,
                     std::string_view line, std::string_view outcome);

    // The instrument went away (a call failed with an error code and the
    // identity exchange after it failed too) or another one answers at the
    // slot: logs `why`, closes the handle, and take_lost() tells the port.
    void lose(const std::string& why);
    // True once after lose(): the caller starts reopening the slot.
    bool take_lost();

private:
    void close();

    std::uint32_t slot_;
    std::uint32_t writeTimeout_;
    std::uint32_t readTimeout_;
    std::string prefix_;
    OpenGuard& guard_;
    unsigned holds_ = 0;
    std::optional<OpenGuard::Exchange> exchange_;  // while holds_ > 0
    std::unique_ptr<InstrumentCalls> calls_;
    std::optional<Identity> identity_;
    std::optional<Identity> lastStranger_;  // logged once while it stays
    std::string identityAnswer_;  // the last answer is_own_identity took, as it came
    bool lost_ = false;
    std::unique_ptr<char[]> chunk_;
};

}  // namespace tavlib::gateway
