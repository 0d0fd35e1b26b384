#include "device.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "codes.h"
#include "display.h"

namespace tavctl {
namespace {

void trace_call(std::ostream* trace, Function function, const std::string& arguments,
                const CallResult& call, const std::string& extra = {}) {
    if (trace == nullptr) return;
    *trace << "trace: " << function_name(function) << "(" << arguments << ") -> " << call.result
           << ", errorCode " << call.errorCode;
    if (!extra.empty()) *trace << ", " << extra;
    *trace << '\n';
}

// The text a read or transaction left in `buffer`: up to the first NUL.
std::string text_in(const std::vector<char>& buffer) {
    return std::string(buffer.begin(), std::find(buffer.begin(), buffer.end(), '\0'));
}

}  // namespace

OpenResult Connection::open(std::uint32_t slot, std::ostream* trace) {
    OpenResult opened;
    TavrilHandle handle = TAVRIL_INVALID_HANDLE;
    opened.call.result = Open_Tavril(slot, &handle, &opened.identity, &opened.call.errorCode);
    trace_call(trace, Function::Open, "slot " + std::to_string(slot), opened.call,
               opened.call.result == TAVRIL_OPEN_OK ? describe_identity(opened.identity)
                                                    : std::string());
    // After 0 and -2 the handle is open and the slot claimed: it must be closed.
    if ((opened.call.result == TAVRIL_OPEN_OK || opened.call.result == TAVRIL_OPEN_NOT_IDENTIFIED) &&
        handle != TAVRIL_INVALID_HANDLE)
        opened.connection.emplace(Connection(handle, trace));
    return opened;
}

Connection::Connection(Connection&& other) noexcept
    : handle_(std::exchange(other.handle_, TAVRIL_INVALID_HANDLE)), trace_(other.trace_) {}

Connection::~Connection() { close(); }

CallResult Connection::close() {
    CallResult call;
    if (handle_ == TAVRIL_INVALID_HANDLE) return call;
    call.result = Close_Tavril(std::exchange(handle_, TAVRIL_INVALID_HANDLE), &call.errorCode);
    trace_call(trace_, Function::Close, "", call);
    return call;
}

TransferResult Connection::write(const std::string& text, std::uint32_t timeoutSeconds) {
    TransferResult written;
    written.call.result =
        Write_Tavril(handle_, text.c_str(), timeoutSeconds, &written.bytes, &written.call.errorCode);
    trace_call(trace_, Function::Write,
               escaped(text) + ", " + std::to_string(timeoutSeconds) + " s",
               written.call, std::to_string(written.bytes) + " bytes written");
    return written;
}

TransferResult Connection::read(std::uint32_t maxBytes, std::int32_t mode,
                                std::uint32_t timeoutSeconds) {
    TransferResult received;
    // Text modes write a NUL behind the response; raw mode exactly maxBytes.
    std::vector<char> buffer(static_cast<std::size_t>(maxBytes) + (mode == TAVRIL_MODE_RAW ? 0 : 1));
    received.call.result = Read_Tavril(handle_, maxBytes, mode, timeoutSeconds, buffer.data(),
                                       &received.bytes, &received.call.errorCode);
    trace_call(trace_, Function::Read,
               "max " + std::to_string(maxBytes) + ", mode " + std::to_string(mode) + ", " +
                   std::to_string(timeoutSeconds) + " s",
               received.call, std::to_string(received.bytes) + " bytes read");
    if (received.call.result == TAVRIL_READ_OK) {
        if (mode == TAVRIL_MODE_RAW)
            received.data.assign(buffer.data(), std::min<std::size_t>(received.bytes, buffer.size()));
        else
            received.data = text_in(buffer);
    }
    if (trace_ != nullptr && received.call.result == TAVRIL_READ_OK)
        *trace_ << "trace:   received " << escaped(received.data) << '\n';
    return received;
}

TransactionResult Connection::transact(const std::string& command, std::uint32_t maxBytes,
                                       std::int32_t mode, std::uint32_t timeoutSeconds) {
    TransactionResult transaction;
    std::vector<char> response(static_cast<std::size_t>(maxBytes) + 1);
    transaction.call.result =
        Scmd_Tavril(handle_, command.c_str(), maxBytes, mode, timeoutSeconds, timeoutSeconds,
                    response.data(), &transaction.call.errorCode);
    trace_call(trace_, Function::Scmd,
               escaped(command) + ", max " + std::to_string(maxBytes) +
                   ", mode " + std::to_string(mode) + ", " + std::to_string(timeoutSeconds) +
                   " s",
               transaction.call);
    if (transaction.call.result >= 0) {
        transaction.response = text_in(response);
        if (trace_ != nullptr) *trace_ << "trace:   received " << escaped(transaction.response) << '\n';
    }
    return transaction;
}

IdentityResult Connection::identify() {
    IdentityResult identified;
    identified.call.result = Conf_Tavril(handle_, &identified.identity, &identified.call.errorCode);
    trace_call(trace_, Function::Conf, "", identified.call,
               identified.call.result == TAVRIL_CONF_OK ? describe_identity(identified.identity)
                                                        : std::string());
    return identified;
}

}  // namespace tavctl
