#include "device.h"

#include "control_text.h"
#include "tavlib/driver_interface.h"
#include "tavlib/driver_wire.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tavlib::sim {

namespace dp = tavlib::wire;

namespace {

// Bytes of payload shown in a trace line.
constexpr std::size_t kTracePreview = 48;

std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

}  // namespace

Device::Device(DeviceContext& ctx, std::uint32_t number, std::string path, UniqueFd listener,
               std::shared_ptr<const InstrumentDef> def, std::size_t statsLimit)
    : ctx_(ctx),
      number_(number),
      path_(std::move(path)),
      listener_(std::move(listener)),
      instrument_(std::move(def), number),
      stats_(statsLimit) {
    for (const Fault& fault : instrument_.definition().faults) faults_.set(fault);
    listenWatch_ = ctx_.loop().watch(listener_.get(), EPOLLIN, [this](std::uint32_t) { on_accept(); });
}

Device::~Device() {
    // The socket goes first, so that nobody connects while the device winds down.
    ::unlink(path_.c_str());
    listenWatch_.reset();
    connections_.clear();
    lineClients_.clear();
}

std::string Device::tag(std::uint64_t conn) const {
    return "dev=" + std::to_string(number_) + " conn=" + std::to_string(conn);
}

Device::Connection* Device::find(std::uint64_t conn) {
    auto it = connections_.find(conn);
    return it == connections_.end() ? nullptr : it->second.get();
}

std::string Device::summary() const {
    return "device id=" + std::to_string(number_) + " instrument=" + instrument_.definition().name +
           " connections=" + std::to_string(connections_.size()) +
           " tcp-clients=" + std::to_string(lineClients_.size()) +
           " requests=" + std::to_string(stats_.requests()) +
           " recoveries=" + std::to_string(stats_.recoveries()) +
           " reads-pending=" + std::to_string(readWaiters_.size()) +
           " output-messages=" + std::to_string(instrument_.output_messages()) +
           " output-bytes=" + std::to_string(instrument_.output_bytes()) +
           " partial-bytes=" + std::to_string(instrument_.partial_bytes()) +
           " pending-commands=" + std::to_string(instrument_.pending_commands()) +
           " bytes-written=" + std::to_string(stats_.bytes_written()) +
           " bytes-read=" + std::to_string(stats_.bytes_read()) +
           " events=" + std::to_string(stats_.events().size()) +
           " dropped-events=" + std::to_string(stats_.dropped_events()) + " path=" + path_;
}

// ---- connections -----------------------------------------------------------

void Device::on_accept() {
    for (;;) {
        const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                ctx_.warn("device " + std::to_string(number_) + ": accept failed: " + std::strerror(errno));
            return;
        }
        // The transfer buffers come with the first connection: a device
        // nobody opens holds none, which keeps a simulator of many devices
        // small.
        if (rx_.empty()) {
            rx_.resize(dp::kMaxMessage + 1);  // one byte more tells a longer message
            tx_.resize(dp::kMaxTransfer);
        }
        auto c = std::make_unique<Connection>();
        c->number = ctx_.next_connection_number();
        const std::uint64_t conn = c->number;
        DriverConnection::Handlers handlers;
        // The connection owns its link, so it outlives every call of it.
        handlers.message = [this, connection = c.get()](std::string_view packet) {
            return on_message(*connection, packet);
        };
        handlers.closed = [this, conn](const char* reason) { close_connection(conn, reason); };
        c->link = std::make_unique<DriverConnection>(ctx_.loop(), UniqueFd(fd), std::span<char>(rx_),
                                                     std::move(handlers));
        connections_.emplace(conn, std::move(c));
        stats_.add({StatEvent::Kind::kOpen, conn, 0, 0, 0, 0, 0, {}});
        if (ctx_.tracing()) ctx_.trace(tag(conn) + " open");
        ctx_.device_changed(*this);
    }
}

void Device::reject(Connection& c, const std::string& why) {
    ctx_.warn(tag(c.number) + ": malformed message (" + why + "); connection closed");
    close_connection(c.number, "malformed");
}

void Device::close_connection(std::uint64_t conn, const std::string& reason) {
    auto it = connections_.find(conn);
    if (it == connections_.end()) return;
    std::erase_if(readWaiters_, [conn](const auto& waiter) { return waiter.first == conn; });
    stats_.add({StatEvent::Kind::kClose, conn, 0, 0, 0, 0, 0, reason});
    if (ctx_.tracing()) {
        ctx_.trace(tag(conn) + " closed (" + reason + "), " + std::to_string(it->second->requests.size()) +
                   " request(s) left outstanding");
    }
    // Destroying the connection cancels its requests' timers, stops watching
    // its socket and closes it.
    std::unique_ptr<Connection> doomed = std::move(it->second);
    connections_.erase(it);
    doomed.reset();
    ctx_.device_changed(*this);
}

// ---- requests --------------------------------------------------------------

bool Device::on_message(Connection& c, std::string_view packet) {
    const dp::Message m = dp::decode_request(packet.data(), packet.size());
    const dp::Header& h = m.header;
    const std::string_view payload = m.payload;
    std::string why;
    if (m.fault != dp::Fault::kNone)
        why = dp::describe(m);
    else if (h.type != dp::kCancel && c.requests.count(h.id) != 0)
        why = "request id " + std::to_string(h.id) + " is already outstanding";
    if (!why.empty()) {
        reject(c, why);
        return false;
    }

    stats_.count_request();
    stats_.add({StatEvent::Kind::kRequest, c.number, h.type, h.id, h.arg, 0, 0, {}});
    if (ctx_.tracing()) {
        std::string line = tag(c.number) + " > " + request_type_name(h.type) + " id=" + std::to_string(h.id);
        switch (h.type) {
            case dp::kWrite:
                line += " n=" + std::to_string(h.arg) + " \"" + escape(payload, kTracePreview) + "\"";
                break;
            case dp::kRead: line += " cap=" + std::to_string(h.arg); break;
            case dp::kIoctl: line += " code=" + hex32(h.arg); break;
            default: break;
        }
        ctx_.trace(line);
    }

    if (h.type == dp::kCancel) {
        on_cancel(c, h.id);
        ctx_.device_changed(*this);
        return true;
    }
    return on_request(c, h.type, h.id, h.arg, payload);
}

bool Device::on_request(Connection& c, std::uint32_t type, std::uint32_t id, std::uint32_t arg,
                        std::string_view payload) {
    unsigned target = type == dp::kWrite ? kOnWrite : type == dp::kRead ? kOnRead : kOnIoctl;
    const bool recovery = type == dp::kIoctl && arg == tavlib::driver::kIoctlRecover;
    if (recovery) {
        target |= kOnRecover;
        stats_.count_recovery();
    }
    if (faults_.trigger(FaultKind::kDrop, target)) {
        if (ctx_.tracing()) ctx_.trace(tag(c.number) + " drop fault: closing the connection");
        close_connection(c.number, "dropped");
        return false;
    }

    Request& r = c.requests.try_emplace(id).first->second;
    r.serial = nextSerial_++;
    r.type = type;
    r.id = id;
    r.arg = arg;
    if (type == dp::kWrite) r.payload.assign(payload);
    const std::optional<std::uint32_t> hold = faults_.trigger(FaultKind::kDelay, target);
    r.error = faults_.trigger(FaultKind::kError, target);
    r.malformed = faults_.trigger(FaultKind::kMalformed, target);
    if (!r.error) {
        if (type == dp::kWrite) r.partial = faults_.trigger(FaultKind::kPartialWrite, kOnWrite);
        if (type == dp::kRead) r.zeroRead = faults_.trigger(FaultKind::kZeroRead, kOnRead).has_value();
        if (recovery) r.recoverFail = faults_.trigger(FaultKind::kRecoverFail, kOnRecover);
    }
    if (hold && *hold > 0) {
        if (ctx_.tracing())
            ctx_.trace(tag(c.number) + " id=" + std::to_string(id) + " held " + std::to_string(*hold) +
                       " ms (delay fault)");
        r.hold = ctx_.loop().after(std::chrono::milliseconds(*hold),
                                   [this, conn = c.number, id, serial = r.serial] { activate(conn, id, serial); });
        ctx_.device_changed(*this);
        return true;
    }
    activate(c, r);
    ctx_.device_changed(*this);
    return true;
}

void Device::activate(std::uint64_t conn, std::uint32_t id, std::uint64_t serial) {
    Connection* c = find(conn);
    if (c == nullptr) return;
    auto it = c->requests.find(id);
    if (it == c->requests.end() || it->second.serial != serial) return;
    activate(*c, it->second);
}

void Device::activate(Connection& c, Request& r) {
    const std::uint32_t id = r.id;
    if (r.error) {
        complete(c, id, *r.error, {}, 0);
        return;
    }
    switch (r.type) {
        case dp::kWrite: {
            std::size_t taken = r.payload.size();
            if (r.partial) taken = std::min<std::size_t>(taken, *r.partial);
            if (!instrument_.receive(std::string_view(r.payload).substr(0, taken)))
                ctx_.warn("device " + std::to_string(number_) + ": command line longer than " +
                          std::to_string(kMaxCommandLine) + " bytes dropped");
            stats_.count_written(taken);
            complete(c, id, dp::kStatusSuccess, {}, static_cast<std::uint32_t>(taken));
            run_commands();
            return;
        }
        case dp::kRead:
            if (r.arg == 0 || r.zeroRead) {
                complete(c, id, dp::kStatusSuccess, {}, 0);
                return;
            }
            r.waiting = true;
            readWaiters_.emplace_back(c.number, id);
            serve_reads();
            return;
        case dp::kIoctl:
            if (r.arg != tavlib::driver::kIoctlRecover) {
                complete(c, id, dp::kStatusInvalidFunction, {}, 0);
            } else if (r.recoverFail) {
                complete(c, id, *r.recoverFail, {}, 0);
            } else {
                recover();
                complete(c, id, dp::kStatusSuccess, {}, 0);
            }
            return;
        default:
            return;
    }
}

void Device::on_cancel(Connection& c, std::uint32_t id) {
    auto it = c.requests.find(id);
    if (it == c.requests.end()) {
        if (ctx_.tracing())
            ctx_.trace(tag(c.number) + " CANCEL id=" + std::to_string(id) + ": not outstanding, nothing to do");
        return;
    }
    Request& r = it->second;
    if (const std::optional<std::uint32_t> ignore = faults_.trigger(FaultKind::kCancelIgnore, kOnCancel);
        ignore && *ignore > 0) {
        if (!r.lateCancel.pending()) {
            r.lateCancel = ctx_.loop().after(std::chrono::milliseconds(*ignore),
                                              [this, conn = c.number, id, serial = r.serial] {
                                                  abort(conn, id, serial);
                                              });
        }
        if (ctx_.tracing())
            ctx_.trace(tag(c.number) + " CANCEL id=" + std::to_string(id) + " ignored for " +
                       std::to_string(*ignore) + " ms (cancel-ignore fault)");
        return;
    }
    complete(c, id, dp::kStatusCancelled, {}, 0);
}

void Device::abort(std::uint64_t conn, std::uint32_t id, std::uint64_t serial) {
    Connection* c = find(conn);
    if (c == nullptr) return;
    auto it = c->requests.find(id);
    if (it == c->requests.end() || it->second.serial != serial) return;
    complete(*c, id, dp::kStatusCancelled, {}, 0);
}

void Device::remove_waiter(std::uint64_t conn, std::uint32_t id) {
    auto it = std::find(readWaiters_.begin(), readWaiters_.end(), std::make_pair(conn, id));
    if (it != readWaiters_.end()) readWaiters_.erase(it);
}

void Device::complete(Connection& c, std::uint32_t id, std::uint32_t status, std::string_view data,
                      std::uint32_t count) {
    auto it = c.requests.find(id);
    if (it == c.requests.end()) return;
    const std::uint32_t type = it->second.type;
    const std::uint32_t arg = it->second.arg;
    const std::optional<std::uint32_t> malformed = it->second.malformed;
    if (it->second.waiting) remove_waiter(c.number, id);
    c.requests.erase(it);

    const dp::Header h{dp::kComplete, id, status, count};

    stats_.add({StatEvent::Kind::kComplete, c.number, type, id, 0, status, count, {}});
    if (type == dp::kRead) stats_.count_read(count);
    if (ctx_.tracing()) {
        std::string line = tag(c.number) + " < COMPLETE id=" + std::to_string(id) + " " + request_type_name(type) +
                           " status=" + std::to_string(status) + " count=" + std::to_string(count);
        if (!data.empty()) line += " \"" + escape(data, kTracePreview) + "\"";
        ctx_.trace(line);
    }
    if (!malformed) {
        c.link->send(h, data);
    } else {
        // The completion broken as the `malformed` fault says, queued whole
        // behind whatever waits to be sent.
        dp::Header bad = h;
        if (*malformed == kCountAboveRequest) bad.count = type == dp::kIoctl ? 1 : arg + 1;
        if (*malformed == kUnknownType) bad.type = 0x7f;
        if (*malformed == kStrayFirst) {
            bad.id = id ^ 0x80000000u;
            c.link->send(bad, data);
            bad.id = h.id;
        }
        std::string message = dp::message(bad, data);
        if (*malformed == kPayloadBeyondCount) message.push_back('X');
        if (*malformed == kShortHeader) message.resize(12);
        c.link->send_packet(std::move(message));
        if (ctx_.tracing())
            ctx_.trace(tag(c.number) + " id=" + std::to_string(id) + " completion malformed (way " +
                       std::to_string(*malformed) + ")");
    }
    ctx_.device_changed(*this);
}

// ---- line clients (TCP) ---------------------------------------------------

void Device::attach_line_client(UniqueFd fd, std::string peer) {
    const std::uint64_t conn = ctx_.next_connection_number();
    LineConnection::Handlers handlers;
    handlers.line = [this, conn](std::string line) { on_line(conn, std::move(line)); };
    handlers.inputEnded = [this, conn] {
        auto it = lineClients_.find(conn);
        if (it == lineClients_.end()) return;
        it->second.inputEnded = true;
        finish_if_answered(it->second);
    };
    handlers.closed = [this, conn](const char* reason) { close_line_client(conn, reason); };
    auto client = std::make_unique<LineConnection>(ctx_.loop(), std::move(fd), conn, std::move(peer),
                                                   std::move(handlers));
    if (ctx_.tracing()) ctx_.trace("dev=" + std::to_string(number_) + " tcp=" + std::to_string(conn) +
                                   " open peer=" + client->peer());
    lineClients_.emplace(conn, LineClient{std::move(client), 0, false});
    ctx_.device_changed(*this);
}

void Device::finish_if_answered(LineClient& client) {
    if (client.inputEnded && client.commands == 0) client.connection->finish();
}

void Device::close_line_client(std::uint64_t conn, const char* reason) {
    auto it = lineClients_.find(conn);
    if (it == lineClients_.end()) return;
    const std::string reasonText = reason;
    if (reasonText == "overlong-line")
        ctx_.warn("device " + std::to_string(number_) + ": TCP client " + it->second.connection->peer() +
                  " sent a line longer than " + std::to_string(kMaxCommandLine) + " bytes; connection closed");
    std::erase_if(readWaiters_, [conn](const auto& waiter) { return waiter.first == conn; });
    if (ctx_.tracing())
        ctx_.trace("dev=" + std::to_string(number_) + " tcp=" + std::to_string(conn) + " closed (" + reasonText +
                   ")");
    // The connection is in one of its own callbacks: the watch and timer
    // handles make destroying it here safe, and it touches nothing after.
    lineClients_.erase(it);
    ctx_.device_changed(*this);
}

void Device::on_line(std::uint64_t conn, std::string line) {
    if (ctx_.tracing())
        ctx_.trace("dev=" + std::to_string(number_) + " tcp=" + std::to_string(conn) + " > \"" +
                   escape(line, kTracePreview) + "\"");
    if (auto it = lineClients_.find(conn); it != lineClients_.end()) ++it->second.commands;
    instrument_.submit(std::move(line), conn);
    run_commands();
    ctx_.device_changed(*this);
}

// ---- the instrument --------------------------------------------------------

void Device::serve_reads() {
    while (!readWaiters_.empty() && instrument_.has_output()) {
        const auto [conn, id] = readWaiters_.front();
        if (id == 0) {
            readWaiters_.pop_front();
            auto it = lineClients_.find(conn);
            if (it == lineClients_.end()) continue;
            const std::string data = instrument_.take(std::string::npos);
            if (ctx_.tracing())
                ctx_.trace("dev=" + std::to_string(number_) + " tcp=" + std::to_string(conn) + " < \"" +
                           escape(to_lf_line_ends(data), kTracePreview) + "\"");
            it->second.connection->send_response(data);
            continue;
        }
        Connection* c = find(conn);
        if (c == nullptr || c->requests.count(id) == 0) {
            readWaiters_.pop_front();
            continue;
        }
        const std::size_t n = instrument_.take_into(tx_.data(), c->requests.at(id).arg);
        complete(*c, id, dp::kStatusSuccess, std::string_view(tx_.data(), n), static_cast<std::uint32_t>(n));
    }
}

void Device::run_commands() {
    while (!instrumentBusy_ && instrument_.has_command()) {
        Command next = instrument_.take_command();
        const std::string& command = next.line;
        const std::uint64_t source = next.source;
        const bool suppress =
            command == kIdentityQuery && faults_.trigger(FaultKind::kNoIdentity, kOnIdentity).has_value();
        Reply reply = instrument_.answer(command, suppress);
        if (ctx_.tracing()) {
            std::string line = "dev=" + std::to_string(number_) + " command \"" + escape(command, kTracePreview) +
                               "\": " + std::to_string(reply.messages.size()) + " response(s)";
            if (reply.delayMs > 0) line += " after " + std::to_string(reply.delayMs) + " ms";
            if (suppress) line += " (no-idn fault)";
            ctx_.trace(line);
        }
        if (reply.delayMs > 0) {
            instrumentBusy_ = true;
            replyTimer_ = ctx_.loop().after(std::chrono::milliseconds(reply.delayMs),
                                             [this, source, messages = std::move(reply.messages)]() mutable {
                                                 instrumentBusy_ = false;
                                                 queue_reply(std::move(messages), source);
                                                 run_commands();
                                             });
            return;
        }
        queue_reply(std::move(reply.messages), source);
    }
}

void Device::queue_reply(std::vector<Message> messages, std::uint64_t source) {
    auto client = source == 0 ? lineClients_.end() : lineClients_.find(source);
    for (Message& message : messages) {
        if (message.size() == 0) continue;
        instrument_.queue(std::move(message));
        if (client != lineClients_.end()) readWaiters_.emplace_back(source, 0);
    }
    serve_reads();
    if (client != lineClients_.end() && client->second.commands > 0) {
        --client->second.commands;
        finish_if_answered(client->second);
    }
    ctx_.device_changed(*this);
}

void Device::push_output(Message message) {
    instrument_.queue(std::move(message));
    serve_reads();
    ctx_.device_changed(*this);
}

void Device::recover() {
    if (ctx_.tracing()) {
        ctx_.trace("dev=" + std::to_string(number_) + " recovery: dropped " +
                   std::to_string(instrument_.output_messages()) + " output message(s) (" +
                   std::to_string(instrument_.output_bytes()) + " bytes), " +
                   std::to_string(instrument_.partial_bytes()) + " partial command byte(s), " +
                   std::to_string(instrument_.pending_commands() + (instrumentBusy_ ? 1 : 0)) +
                   " unanswered command(s)");
    }
    instrument_.clear();
    instrumentBusy_ = false;
    replyTimer_.reset();
    // The TCP clients' lines went with the rest.
    for (auto& [conn, client] : lineClients_) {
        client.commands = 0;
        finish_if_answered(client);
    }
}

}  // namespace tavlib::sim
