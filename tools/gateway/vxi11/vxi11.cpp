#include "vxi11.h"

#include <algorithm>

namespace tavlib::gateway::vxi11 {

// ---- messages ---------------------------------------------------------------

bool decode(XdrReader& r, CreateLinkParms& p) {
    r.i32(p.clientId);
    r.boolean(p.lockDevice);
    r.u32(p.lockTimeout);
    return r.string(p.device, kMaxDeviceName);
}

bool decode(XdrReader& r, WriteParms& p, std::size_t maxData) {
    r.i32(p.lid);
    r.u32(p.ioTimeout);
    r.u32(p.lockTimeout);
    r.i32(p.flags);
    return r.opaque(p.data, maxData);
}

bool decode(XdrReader& r, ReadParms& p) {
    std::int32_t termChar = 0;  // a char travels as an int
    r.i32(p.lid);
    r.u32(p.requestSize);
    r.u32(p.ioTimeout);
    r.u32(p.lockTimeout);
    r.i32(p.flags);
    const bool ok = r.i32(termChar);
    p.termChar = static_cast<std::uint8_t>(termChar);
    return ok;
}

bool decode(XdrReader& r, GenericParms& p) {
    r.i32(p.lid);
    r.i32(p.flags);
    r.u32(p.lockTimeout);
    return r.u32(p.ioTimeout);
}

bool decode(XdrReader& r, LockParms& p) {
    r.i32(p.lid);
    r.i32(p.flags);
    return r.u32(p.lockTimeout);
}

bool decode(XdrReader& r, EnableSrqParms& p) {
    r.i32(p.lid);
    r.boolean(p.enable);
    return r.opaque(p.handle, 40);
}

bool decode(XdrReader& r, DocmdParms& p, std::size_t maxData) {
    r.i32(p.lid);
    r.i32(p.flags);
    r.u32(p.ioTimeout);
    r.u32(p.lockTimeout);
    r.i32(p.cmd);
    r.boolean(p.networkOrder);
    r.i32(p.datasize);
    return r.opaque(p.dataIn, maxData);
}

bool decode(XdrReader& r, RemoteFunc& p) {
    r.u32(p.hostAddr);
    r.u32(p.hostPort);
    r.u32(p.progNum);
    r.u32(p.progVers);
    return r.i32(p.progFamily);
}

bool decode_link(XdrReader& r, std::int32_t& lid) { return r.i32(lid); }

void encode(XdrWriter& w, const CreateLinkResp& resp) {
    w.i32(resp.error);
    w.i32(resp.lid);
    w.u32(resp.abortPort);
    w.u32(resp.maxRecvSize);
}

void encode(XdrWriter& w, const WriteResp& resp) {
    w.i32(resp.error);
    w.u32(resp.size);
}

void encode(XdrWriter& w, const ReadResp& resp) {
    w.i32(resp.error);
    w.i32(resp.reason);
    w.opaque(resp.data);
}

void encode(XdrWriter& w, const ReadStbResp& resp) {
    w.i32(resp.error);
    w.u32(resp.stb);  // an unsigned char travels as an unsigned int
}

void encode_error(XdrWriter& w, std::int32_t error) { w.i32(error); }

void encode_docmd(XdrWriter& w, std::int32_t error, ByteView data) {
    w.i32(error);
    w.opaque(data);
}

// ---- helpers ----------------------------------------------------------------

std::size_t max_record(const Limits& limits) {
    // The call header with two authentication bodies of 400 bytes, and the
    // write's own fields, fit in 1 KiB.
    return std::size_t{limits.maxRecvSize} + 1024;
}

std::uint32_t io_seconds(std::uint32_t milliseconds, std::uint32_t maxIoSeconds) {
    const std::uint32_t seconds = milliseconds / 1000 + (milliseconds % 1000 != 0 ? 1 : 0);
    return std::clamp<std::uint32_t>(seconds, 1, std::max<std::uint32_t>(maxIoSeconds, 1));
}

namespace {

std::int32_t error_of(DeviceStatus status) {
    switch (status) {
    case DeviceStatus::ok: return kNoError;
    case DeviceStatus::timeout: return kIoTimeout;
    case DeviceStatus::io_error: return kIoError;
    case DeviceStatus::not_accessible: return kDeviceNotAccessible;
    case DeviceStatus::locked: return kLockedByAnother;
    case DeviceStatus::parameter_error: return kParameterError;
    }
    return kIoError;
}

bool same_name(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

Outcome replied(Bytes reply) {
    Outcome outcome;
    outcome.reply = std::move(reply);
    return outcome;
}

Outcome error_reply(std::uint32_t xid, std::int32_t error) {
    rpc::Reply reply(xid, true);
    encode_error(reply.body(), error);
    return replied(reply.finish());
}

Outcome garbage(std::uint32_t xid) { return replied(rpc::accepted_reply(xid, rpc::kGarbageArgs, true)); }

}  // namespace

// ---- dispatcher -------------------------------------------------------------

Dispatcher::Dispatcher(Limits limits) : limits_(limits) {}

void Dispatcher::add_device(std::string name, Device& device) {
    DeviceSlot slot;
    slot.name = std::move(name);
    slot.device = &device;
    devices_.push_back(std::move(slot));
}

void Dispatcher::note(std::string_view text) const {
    if (log_) log_(text);
}

ConnectionId Dispatcher::connect(Channel channel) {
    const ConnectionId id = nextConnection_++;
    connections_[id].channel = channel;
    return id;
}

void Dispatcher::disconnect(ConnectionId id) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) return;
    const std::vector<std::int32_t> links = std::move(found->second.links);
    connections_.erase(found);
    for (const std::int32_t lid : links) {
        const auto link = links_.find(lid);
        if (link != links_.end() && !link->second.pendingWrite.empty())
            note("link " + std::to_string(lid) + ": its connection closed; " +
                 std::to_string(link->second.pendingWrite.size()) +
                 " bytes written without END dropped");
        drop_link(lid);
    }
}

void Dispatcher::drop_link(std::int32_t lid) {
    const auto link = links_.find(lid);
    if (link == links_.end()) return;
    const std::size_t device = link->second.device;
    links_.erase(link);
    if (devices_[device].lockOwner == lid) release_lock(device);
    devices_[device].device->link_closed();
}

void Dispatcher::release_lock(std::size_t device) {
    DeviceSlot& slot = devices_[device];
    if (!slot.lockOwner) return;
    slot.lockOwner.reset();
    slot.device->lock_changed(false);
    if (!wake_) return;
    for (const auto& [id, connection] : connections_)
        if (connection.parked && connection.parked->device == device) wake_(id);
}

Dispatcher::Link* Dispatcher::own_link(const Connection& connection, std::int32_t lid) {
    if (std::find(connection.links.begin(), connection.links.end(), lid) == connection.links.end())
        return nullptr;
    const auto link = links_.find(lid);
    return link == links_.end() ? nullptr : &link->second;
}

Outcome Dispatcher::call(ConnectionId id, const rpc::Call& call, Clock::time_point now) {
    const auto found = connections_.find(id);
    const std::uint32_t xid = call.header.xid;
    if (found == connections_.end()) return replied(rpc::accepted_reply(xid, rpc::kSystemErr, true));
    Connection& connection = found->second;
    const std::uint32_t program = connection.channel == Channel::core ? kCoreProgram : kAbortProgram;
    if (call.header.prog != program) return replied(rpc::accepted_reply(xid, rpc::kProgUnavail, true));
    if (call.header.vers != kVersion)
        return replied(rpc::prog_mismatch_reply(xid, kVersion, kVersion, true));
    connection.parked.reset();
    if (connection.channel == Channel::abort) return run_abort(xid, call.header.proc, call.args);
    return run(id, connection, xid, call.header.proc, call.args, now);
}

Outcome Dispatcher::resume(ConnectionId id, Clock::time_point now) {
    const auto found = connections_.find(id);
    if (found == connections_.end() || !found->second.parked) return {};
    Connection& connection = found->second;
    // The parked call runs again from its arguments; the time it may wait
    // stays the one set when it was first parked.
    const Parked parked = *connection.parked;
    return run(id, connection, parked.xid, parked.proc, parked.args, now);
}

Dispatcher::Gate Dispatcher::gate(Connection& connection, std::size_t device,
                                  std::int32_t lid, bool waitLock, std::uint32_t lockTimeout,
                                  bool acquire, Clock::time_point now, std::uint32_t xid,
                                  std::uint32_t proc, ByteView args) {
    DeviceSlot& slot = devices_[device];
    const bool free = !slot.lockOwner || *slot.lockOwner == lid;
    std::optional<Parked>& parked = connection.parked;
    const bool again = parked && parked->xid == xid && parked->proc == proc;
    if (again && parked->aborted) {
        parked.reset();
        return Gate::aborted;
    }
    if (free) {
        parked.reset();
        if (acquire && !slot.lockOwner) {
            slot.lockOwner = lid;
            slot.device->lock_changed(true);
        }
        return Gate::go;
    }
    if (!waitLock || lockTimeout == 0 || (again && now >= parked->until)) {
        parked.reset();
        return Gate::locked;
    }
    if (!again) {
        Parked park;
        park.xid = xid;
        park.proc = proc;
        park.args.assign(args.begin(), args.end());
        park.device = device;
        park.lid = lid;
        park.until = now + std::chrono::milliseconds(lockTimeout);
        parked = std::move(park);
    }
    return Gate::wait;
}

std::int32_t Dispatcher::flush(Link& link, std::uint32_t ioSeconds) {
    if (link.pendingWrite.empty()) return kNoError;
    const Bytes message = std::move(link.pendingWrite);
    link.pendingWrite = Bytes{};
    return error_of(devices_[link.device].device->write(message, ioSeconds));
}

std::int32_t Dispatcher::read(Link& link, const ReadParms& parms, Bytes& data, std::int32_t& reason) {
    DeviceSlot& slot = devices_[link.device];
    const std::size_t wanted = std::min<std::size_t>(parms.requestSize, limits_.maxRecvSize);
    const std::optional<std::uint8_t> termChar =
        (parms.flags & kTermCharSet) != 0 ? std::optional<std::uint8_t>(parms.termChar) : std::nullopt;
    const auto deadline = Clock::now() + std::chrono::seconds(link.ioSeconds);
    reason = 0;
    for (;;) {
        // What is kept first, up to the request, the termination character
        // or the end of the message.
        while (slot.outputAt < slot.output.size() && data.size() < wanted) {
            const std::uint8_t byte = slot.output[slot.outputAt++];
            data.push_back(byte);
            if (termChar && byte == *termChar) {
                reason |= kReasonChr;
                break;
            }
        }
        if (slot.outputAt == slot.output.size() && slot.outputEnd) {
            reason |= kReasonEnd;
            slot.output = Bytes{};
            slot.outputAt = 0;
            slot.outputEnd = false;
        }
        if (data.size() == parms.requestSize) reason |= kReasonReqCnt;
        // Stopped by the most one read returns (reason 0: the client reads
        // on), or for a reason.
        if (reason != 0 || data.size() == wanted) return kNoError;

        // Nothing is kept now: the next piece of the instrument's output.
        const auto left = std::chrono::ceil<std::chrono::seconds>(deadline - Clock::now()).count();
        DevicePiece piece;
        if (left <= 0) piece.status = DeviceStatus::timeout;
        else
            piece = slot.device->read(wanted - data.size(), termChar,
                                      std::min(static_cast<std::uint32_t>(left), link.ioSeconds));
        if (piece.status == DeviceStatus::ok && piece.bytes.empty() && !piece.end)
            piece.status = DeviceStatus::timeout;  // nothing came
        if (piece.status != DeviceStatus::ok) {
            // Nothing is lost: what this read took is kept again for the
            // next read.
            slot.output = std::move(data);
            slot.outputAt = 0;
            slot.outputEnd = false;
            data = Bytes{};
            reason = 0;
            return error_of(piece.status);
        }
        slot.output = std::move(piece.bytes);
        slot.outputAt = 0;
        slot.outputEnd = piece.end;
    }
}

namespace {

std::int32_t gate_error(bool aborted) { return aborted ? kAborted : kLockedByAnother; }

Outcome parked_outcome(std::chrono::steady_clock::time_point until) {
    Outcome outcome;
    outcome.waiting = true;
    outcome.until = until;
    return outcome;
}

}  // namespace

Outcome Dispatcher::run(ConnectionId id, Connection& connection, std::uint32_t xid,
                        std::uint32_t proc, ByteView args, Clock::time_point now) {
    XdrReader reader(args);
    // The lock: go on, wait (the call is parked), or fail with an error.
    const auto lock_gate = [&](std::size_t device, std::int32_t lid, bool waitLock,
                               std::uint32_t lockTimeout, bool acquire) {
        return gate(connection, device, lid, waitLock, lockTimeout, acquire, now, xid, proc, args);
    };
    const auto waiting = [&] { return parked_outcome(connection.parked->until); };
    // The link of a call that uses its device, past the lock: null, with
    // `error` set, when the link is not this connection's or another link
    // holds the lock; null with `parked` when the call waits for the lock.
    // On the way it takes the call's io_timeout.
    const auto usable_link = [&](std::int32_t lid, std::int32_t flags, std::uint32_t lockTimeout,
                                 std::uint32_t ioTimeout, std::int32_t& error,
                                 bool& parked) -> Link* {
        Link* link = own_link(connection, lid);
        if (link == nullptr) {
            error = kInvalidLink;
            return nullptr;
        }
        const Gate g = lock_gate(link->device, lid, (flags & kWaitLock) != 0, lockTimeout, false);
        if (g != Gate::go) {
            parked = g == Gate::wait;
            error = gate_error(g == Gate::aborted);
            return nullptr;
        }
        link->ioSeconds = io_seconds(ioTimeout, limits_.maxIoSeconds);
        return link;
    };

    switch (proc) {
    case kCreateLink: {
        CreateLinkParms parms;
        if (!decode(reader, parms)) return garbage(xid);
        CreateLinkResp resp;
        resp.abortPort = limits_.abortPort;
        resp.maxRecvSize = limits_.maxRecvSize;
        const auto device = std::find_if(devices_.begin(), devices_.end(),
                                         [&](const DeviceSlot& slot) { return same_name(slot.name, parms.device); });
        if (device == devices_.end()) {
            resp.error = kDeviceNotAccessible;
        } else if (links_.size() >= limits_.maxLinks ||
                   connection.links.size() >= limits_.maxLinksPerConnection) {
            resp.error = kOutOfResources;
        } else {
            // The id the link will get: free, and never 0.
            std::int32_t lid = nextLink_;
            while (links_.contains(lid)) lid = lid == 0x7fffffff ? 1 : lid + 1;
            const auto index = static_cast<std::size_t>(device - devices_.begin());
            if (parms.lockDevice) {
                const Gate g = lock_gate(index, lid, true, parms.lockTimeout, true);
                if (g == Gate::wait) return waiting();
                if (g != Gate::go) resp.error = gate_error(g == Gate::aborted);
            }
            if (resp.error == kNoError && !devices_[index].device->link_opened()) {
                if (parms.lockDevice) release_lock(index);
                resp.error = kLockedByAnother;
            }
            if (resp.error == kNoError) {
                nextLink_ = lid == 0x7fffffff ? 1 : lid + 1;
                Link& link = links_[lid];
                link.connection = id;
                link.device = index;
                connection.links.push_back(lid);
                resp.lid = lid;
            }
        }
        rpc::Reply reply(xid, true);
        encode(reply.body(), resp);
        return replied(reply.finish());
    }
    case kDeviceWrite: {
        WriteParms parms;
        if (!decode(reader, parms, limits_.maxRecvSize)) return garbage(xid);
        WriteResp resp;
        bool parked = false;
        Link* link = usable_link(parms.lid, parms.flags, parms.lockTimeout, parms.ioTimeout,
                                 resp.error, parked);
        if (parked) return waiting();
        if (link != nullptr) {
            if (link->pendingWrite.size() + parms.data.size() > limits_.maxMessage) {
                note("link " + std::to_string(parms.lid) + ": a message longer than " +
                     std::to_string(limits_.maxMessage) + " bytes refused");
                link->pendingWrite = Bytes{};
                resp.error = kParameterError;
            } else {
                link->pendingWrite.insert(link->pendingWrite.end(), parms.data.begin(), parms.data.end());
                if ((parms.flags & kEndFlag) != 0) resp.error = flush(*link, link->ioSeconds);
                if (resp.error == kNoError) resp.size = static_cast<std::uint32_t>(parms.data.size());
            }
        }
        rpc::Reply reply(xid, true);
        encode(reply.body(), resp);
        return replied(reply.finish());
    }
    case kDeviceRead: {
        ReadParms parms;
        if (!decode(reader, parms)) return garbage(xid);
        Bytes data;
        ReadResp resp;
        bool parked = false;
        Link* link = usable_link(parms.lid, parms.flags, parms.lockTimeout, parms.ioTimeout,
                                 resp.error, parked);
        if (parked) return waiting();
        if (link != nullptr) {
            // A message written without END is whole once its answer is
            // asked for (some clients never send END for a long message).
            resp.error = flush(*link, link->ioSeconds);
            if (resp.error == kNoError) resp.error = read(*link, parms, data, resp.reason);
        }
        resp.data = data;
        rpc::Reply reply(xid, true);
        encode(reply.body(), resp);
        return replied(reply.finish());
    }
    case kDeviceReadStb:
    case kDeviceTrigger:
    case kDeviceClear: {
        GenericParms parms;
        if (!decode(reader, parms)) return garbage(xid);
        std::int32_t error = kNoError;
        std::uint8_t stb = 0;
        bool parked = false;
        Link* link = usable_link(parms.lid, parms.flags, parms.lockTimeout, parms.ioTimeout, error,
                                 parked);
        if (parked) return waiting();
        if (link != nullptr) {
            DeviceSlot& slot = devices_[link->device];
            if (proc == kDeviceClear) {
                // Nothing written before the clear reaches the instrument
                // later, nothing it said before is read after.
                for (auto& entry : links_)
                    if (entry.second.device == link->device) entry.second.pendingWrite = Bytes{};
                slot.output = Bytes{};
                slot.outputAt = 0;
                slot.outputEnd = false;
                error = error_of(slot.device->clear(link->ioSeconds));
            } else {
                error = flush(*link, link->ioSeconds);
                if (error == kNoError)
                    error = error_of(proc == kDeviceReadStb
                                         ? slot.device->read_status_byte(stb, link->ioSeconds)
                                         : slot.device->trigger(link->ioSeconds));
            }
        }
        rpc::Reply reply(xid, true);
        if (proc == kDeviceReadStb)
            encode(reply.body(), ReadStbResp{error, error == kNoError ? stb : std::uint8_t{0}});
        else
            encode_error(reply.body(), error);
        return replied(reply.finish());
    }
    case kDeviceLock: {
        LockParms parms;
        if (!decode(reader, parms)) return garbage(xid);
        Link* link = own_link(connection, parms.lid);
        if (link == nullptr) return error_reply(xid, kInvalidLink);
        const Gate g = lock_gate(link->device, parms.lid, (parms.flags & kWaitLock) != 0,
                                 parms.lockTimeout, true);
        if (g == Gate::wait) return waiting();
        return error_reply(xid, g == Gate::go ? kNoError : gate_error(g == Gate::aborted));
    }
    case kDeviceUnlock: {
        std::int32_t lid = 0;
        if (!decode_link(reader, lid)) return garbage(xid);
        Link* link = own_link(connection, lid);
        if (link == nullptr) return error_reply(xid, kInvalidLink);
        if (devices_[link->device].lockOwner != lid) return error_reply(xid, kNoLockHeld);
        release_lock(link->device);
        return error_reply(xid, kNoError);
    }
    case kDestroyLink: {
        std::int32_t lid = 0;
        if (!decode_link(reader, lid)) return garbage(xid);
        Link* link = own_link(connection, lid);
        if (link == nullptr) return error_reply(xid, kInvalidLink);
        // What the link wrote without END was accepted: it goes out now.
        if (!link->pendingWrite.empty()) {
            const std::size_t size = link->pendingWrite.size();
            if (const std::int32_t error = flush(*link, link->ioSeconds); error != kNoError)
                note("link " + std::to_string(lid) + ": the " + std::to_string(size) +
                     " bytes written without END failed at destroy_link (error " +
                     std::to_string(error) + ")");
        }
        std::erase(connection.links, lid);
        drop_link(lid);
        return error_reply(xid, kNoError);
    }
    case kDeviceRemote:
    case kDeviceLocal: {
        GenericParms parms;
        if (!decode(reader, parms)) return garbage(xid);
        return error_reply(xid, kNotSupported);
    }
    case kDeviceEnableSrq: {
        EnableSrqParms parms;
        if (!decode(reader, parms)) return garbage(xid);
        return error_reply(xid, kNotSupported);
    }
    case kDeviceDocmd: {
        DocmdParms parms;
        if (!decode(reader, parms, limits_.maxRecvSize)) return garbage(xid);
        rpc::Reply reply(xid, true);
        encode_docmd(reply.body(), kNotSupported, {});
        return replied(reply.finish());
    }
    case kCreateIntrChan: {
        RemoteFunc parms;
        if (!decode(reader, parms)) return garbage(xid);
        return error_reply(xid, kNotSupported);
    }
    case kDestroyIntrChan: return error_reply(xid, kNotSupported);
    default: return replied(rpc::accepted_reply(xid, rpc::kProcUnavail, true));
    }
}

Outcome Dispatcher::run_abort(std::uint32_t xid, std::uint32_t proc, ByteView args) {
    if (proc != kDeviceAbort) return replied(rpc::accepted_reply(xid, rpc::kProcUnavail, true));
    XdrReader reader(args);
    std::int32_t lid = 0;
    if (!decode_link(reader, lid)) return garbage(xid);
    const auto link = links_.find(lid);
    if (link == links_.end()) return error_reply(xid, kInvalidLink);
    // A call of the link that waits for a lock ends with error 23.  A
    // transfer already running on the instrument is not interrupted.
    const ConnectionId owner = link->second.connection;
    const auto connection = connections_.find(owner);
    if (connection != connections_.end() && connection->second.parked &&
        connection->second.parked->lid == lid) {
        connection->second.parked->aborted = true;
        if (wake_) wake_(owner);
    }
    return error_reply(xid, kNoError);
}

}  // namespace tavlib::gateway::vxi11
