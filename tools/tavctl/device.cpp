#include "device.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "result_codes.h"
#include "display.h"

namespace tavlib::tavctl {

using namespace tavlib::tools;
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
    InstrumentHandle::Opened open = InstrumentHandle::open(slot);
    opened.call = {open.result, open.errorCode};
    opened.identity = open.identity;
    trace_call(trace, Function::Open, "slot " + std::to_string(slot), opened.call,
               opened.call.result == TAVRIL_OPEN_OK ? describe_identity(opened.identity)
                                                    : std::string());
    if (open.handle.is_open()) opened.connection.emplace(Connection(std::move(open.handle), trace));
    return opened;
}

Connection::Connection(Connection&& other) noexcept
    : handle_(std::move(other.handle_)), trace_(other.trace_) {}

Connection::~Connection() { close(); }

CallResult Connection::close() {
    if (!handle_.is_open()) return {};
    const InstrumentHandle::Closed closed = handle_.close();
    const CallResult call{closed.result, closed.errorCode};
    trace_call(trace_, Function::Close, "", call);
    return call;
}

TransferResult Connection::write(const std::string& text, std::uint32_t timeoutSeconds) {
    TransferResult written;
    written.call.result =
        Write_Tavril(handle_.get(), text.c_str(), timeoutSeconds, &written.bytes, &written.call.errorCode);
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
    received.call.result = Read_Tavril(handle_.get(), maxBytes, mode, timeoutSeconds, buffer.data(),
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
        Scmd_Tavril(handle_.get(), command.c_str(), maxBytes, mode, timeoutSeconds, timeoutSeconds,
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
    identified.call.result = Conf_Tavril(handle_.get(), &identified.identity, &identified.call.errorCode);
    trace_call(trace_, Function::Conf, "", identified.call,
               identified.call.result == TAVRIL_CONF_OK ? describe_identity(identified.identity)
                                                        : std::string());
    return identified;
}

}  // namespace tavlib::tavctl
