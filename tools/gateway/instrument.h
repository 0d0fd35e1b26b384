// One slot's instrument, reached only through the six exported functions.
// Not thread-safe: each port calls its instrument from its own thread.
#ifndef TAVRIL_GATEWAY_INSTRUMENT_H
#define TAVRIL_GATEWAY_INSTRUMENT_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tavlib.h"

namespace gateway {

class Instrument {
public:
    Instrument(std::uint32_t slot, std::uint32_t writeTimeout, std::uint32_t readTimeout,
               std::string logPrefix);
    ~Instrument();
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    // Opens and identifies the slot's instrument and logs its identity;
    // failures are logged when `logFailure` is set.  True when open.
    bool open(bool logFailure);
    bool is_open() const { return handle_ != TAVRIL_INVALID_HANDLE; }
    void set_log_prefix(std::string prefix) { prefix_ = std::move(prefix); }

    // Sends the line and reads the whole response; gives it with its final
    // line end (CR LF or LF) replaced by one LF.  Nothing when the instrument
    // is not open or the transaction failed (logged).
    std::optional<std::string> query(const std::string& line);

    // Sends the line, reads nothing.
    void write(const std::string& line);

    // Takes and drops whatever output is waiting; the read time-out that
    // ends it makes the library's recovery drop the rest (a response still
    // being made, a partly received command).
    void drain();

    // Asks the instrument for its identity (Conf_Tavril); when that fails
    // with an error code, the instrument went away: logs it and closes the
    // handle (see take_lost).  For a port that no client uses.
    void check_presence();

    // True once after a failure showed that the instrument went away (its
    // handle is then closed): the caller starts reopening the slot.
    bool take_lost();

private:
    bool send(const std::string& line);
    // Logs a failed call; when it was not a time-out, asks the instrument
    // for its identity to tell a failed transfer from an instrument gone.
    void failed(const char* function, std::int32_t result, std::uint32_t errorCode,
                const std::string& line);
    void close();

    std::uint32_t slot_;
    std::uint32_t writeTimeout_;
    std::uint32_t readTimeout_;
    std::string prefix_;
    TavrilHandle handle_ = TAVRIL_INVALID_HANDLE;
    bool lost_ = false;
    std::unique_ptr<char[]> chunk_;
};

}  // namespace gateway

#endif
