// The tool's view of one open instrument: the library's handle, owned, and
// the calls made on it, each returning what the library reported.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include "instrument_handle.h"
#include "tavlib.h"

namespace tavlib::tavctl {

// What one library call reported.
struct CallResult {
    std::int32_t result = 0;
    std::uint32_t errorCode = 0;
};

struct TransferResult {
    CallResult call;
    std::uint32_t bytes = 0;  // bytesWritten / bytesRead
    std::string data;         // read: the text (modes 0, 1) or the bytes (mode 2)
};

struct TransactionResult {
    CallResult call;
    std::string response;  // valid when call.result >= 0
};

struct IdentityResult {
    CallResult call;
    InstrumentIdentity identity{};
};

struct OpenResult;

// Owns a handle from Open_Tavril: closes it (and frees its slot) on
// destruction unless close() was called.  Every call is written to `trace`
// when one is given.
class Connection {
public:
    static OpenResult open(std::uint32_t slot, std::ostream* trace);

    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&&) = delete;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    TransferResult write(const std::string& text, std::uint32_t timeoutSeconds);
    TransferResult read(std::uint32_t maxBytes, std::int32_t mode, std::uint32_t timeoutSeconds);
    TransactionResult transact(const std::string& command, std::uint32_t maxBytes,
                               std::int32_t mode, std::uint32_t timeoutSeconds);
    IdentityResult identify();

    // Closes the handle now and reports how it went; later calls do nothing.
    CallResult close();

private:
    Connection(tavlib::tools::InstrumentHandle handle, std::ostream* trace)
        : handle_(std::move(handle)), trace_(trace) {}

    tavlib::tools::InstrumentHandle handle_;
    std::ostream* trace_;
};

struct OpenResult {
    CallResult call;
    InstrumentIdentity identity{};
    std::optional<Connection> connection;  // after 0 and -2: the handle to close
};

}  // namespace tavlib::tavctl
