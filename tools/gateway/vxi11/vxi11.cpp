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
    case DeviceStatus::not_supported: return kNotSupported;
    case DeviceStatus::aborted: return kAborted;
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

// NULL: an empty success, as every ONC RPC program answers it.
Outcome null_reply(std::uint32_t xid) { return replied(rpc::Reply(xid, true).finish()); }

Outcome still_running() {
    Outcome outcome;
    outcome.waiting = true;
    outcome.until = std::chrono::steady_clock::time_point::max();
    return outcome;
}

std::int32_t lock_error(bool aborted) { return aborted ? kAborted : kLockedByAnother; }

Outcome parked_outcome(std::chrono::steady_clock::time_point until) {
    Outcome outcome;
    outcome.waiting = true;
    outcome.until = until;
    return outcome;
}

}  // namespace

Bytes aborted_reply(std::uint32_t xid, std::uint32_t proc) {
    rpc::Reply reply(xid, true);
    switch (proc) {
    case kCreateLink: encode(reply.body(), CreateLinkResp{kAborted, 0, 0, 0}); break;
    case kDeviceWrite: encode(reply.body(), WriteResp{kAborted, 0}); break;
    case kDeviceRead: encode(reply.body(), ReadResp{kAborted, 0, {}}); break;
    case kDeviceReadStb: encode(reply.body(), ReadStbResp{kAborted, 0}); break;
    default: encode_error(reply.body(), kAborted); break;
    }
    return reply.finish();
}

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
    if (found->second.running) {
        const std::int32_t lid = found->second.running->lid;
        if (const auto link = links_.find(lid); link != links_.end())
            devices_[link->second.device].device->abandon(lid);
    }
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

std::size_t Dispatcher::waiting_calls() const {
    std::size_t count = 0;
    for (const auto& [id, connection] : connections_)
        count += connection.parked || connection.running ? 1 : 0;
    return count;
}

void Dispatcher::drop_link(std::int32_t lid) {
    const auto link = links_.find(lid);
    if (link == links_.end()) return;
    const std::size_t device = link->second.device;
    links_.erase(link);
    if (devices_[device].lockOwner == lid) release_lock(device);
    devices_[device].device->link_closed(lid);
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
    if (call.header.proc == 0) return null_reply(xid);
    connection.parked.reset();
    if (connection.channel == Channel::abort) return run_abort(xid, call.header.proc, call.args);
    return run(id, connection, xid, call.header.proc, call.args, now);
}

Outcome Dispatcher::resume(ConnectionId id, Clock::time_point now) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) return {};
    Connection& connection = found->second;
    if (connection.finished) {
        if (connection.finishedAt > now) return parked_outcome(connection.finishedAt);
        Outcome outcome;
        outcome.reply = std::move(*connection.finished);
        connection.finished.reset();
        connection.running.reset();
        return outcome;
    }
    if (connection.running) return still_running();
    if (!connection.parked) return {};
    // The parked call runs again from its arguments; the time it may wait
    // stays the one set when it was first parked.
    const Parked parked = *connection.parked;
    return run(id, connection, parked.xid, parked.proc, parked.args, now);
}

Dispatcher::LockCheck Dispatcher::check_lock(Connection& connection, std::size_t device,
                                             std::int32_t lid, bool waitLock,
                                             std::uint32_t lockTimeout, bool acquire,
                                             Clock::time_point now, std::uint32_t xid,
                                             std::uint32_t proc, ByteView args) {
    DeviceSlot& slot = devices_[device];
    const bool free = !slot.lockOwner || *slot.lockOwner == lid;
    std::optional<Parked>& parked = connection.parked;
    const bool again = parked && parked->xid == xid && parked->proc == proc;
    if (again && parked->aborted) {
        parked.reset();
        return LockCheck::aborted;
    }
    if (free) {
        parked.reset();
        if (acquire && !slot.lockOwner) {
            slot.lockOwner = lid;
            slot.device->lock_changed(true);
        }
        return LockCheck::go;
    }
    if (!waitLock || lockTimeout == 0 || (again && now >= parked->until)) {
        parked.reset();
        return LockCheck::locked;
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
    return LockCheck::wait;
}

Outcome Dispatcher::start(ConnectionId id, Connection& connection, std::uint32_t xid,
                          std::uint32_t proc, std::int32_t lid, const std::function<void(Finished)>& operation,
                          Clock::time_point now) {
    const std::uint64_t token = nextToken_++;
    connection.running = Running{xid, proc, lid, token};
    operation([this, id, token](const Finish& finish, Clock::time_point notBefore) {
        const auto found = connections_.find(id);
        // Given up meanwhile (aborted, or its connection closed): the reply
        // went, or nobody waits for it.
        if (found == connections_.end() || !found->second.running || found->second.running->token != token ||
            found->second.finished)
            return;
        found->second.finished = finish();
        found->second.finishedAt = notBefore;
        if (wake_) wake_(id);
    });
    // A Device that finished at once: the reply goes now, or waits its time.
    if (connection.finished) return resume(id, now);
    return still_running();
}

void Dispatcher::flush(std::int32_t lid, std::uint32_t ioSeconds, std::function<void(std::int32_t)> next) {
    Link& link = links_.at(lid);
    if (link.pendingWrite.empty()) {
        next(kNoError);
        return;
    }
    Bytes message = std::move(link.pendingWrite);
    link.pendingWrite = Bytes{};
    devices_[link.device].device->write(lid, std::move(message), ioSeconds,
                                        [next = std::move(next)](DeviceStatus status) { next(error_of(status)); });
}

Outcome Dispatcher::run(ConnectionId id, Connection& connection, std::uint32_t xid,
                        std::uint32_t proc, ByteView args, Clock::time_point now) {
    XdrReader reader(args);
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
        const LockCheck check = check_lock(connection, link->device, lid, (flags & kWaitLock) != 0,
                                           lockTimeout, false, now, xid, proc, args);
        if (check != LockCheck::go) {
            parked = check == LockCheck::wait;
            error = lock_error(check == LockCheck::aborted);
            return nullptr;
        }
        link->ioSeconds = io_seconds(ioTimeout, limits_.maxIoSeconds);
        return link;
    };
    const auto begin = [&](std::int32_t lid, const std::function<void(Finished)>& operation) {
        return start(id, connection, xid, proc, lid, operation, now);
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
                const LockCheck check = check_lock(connection, index, lid, true, parms.lockTimeout,
                                                   true, now, xid, proc, args);
                if (check == LockCheck::wait) return waiting();
                if (check != LockCheck::go) resp.error = lock_error(check == LockCheck::aborted);
            }
            if (resp.error == kNoError && !devices_[index].device->link_opened(lid)) {
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
        // A block over maxRecvSize decodes (the record limit bounds it) and
        // is refused below with a parameter error.
        if (!decode(reader, parms, max_record(limits_))) return garbage(xid);
        WriteResp resp;
        bool parked = false;
        Link* link = usable_link(parms.lid, parms.flags, parms.lockTimeout, parms.ioTimeout,
                                 resp.error, parked);
        if (parked) return waiting();
        if (link != nullptr) {
            const bool end = (parms.flags & kEndFlag) != 0;
            if (link->refusing) {
                // The rest of a refused message: dropped up to its END.
                resp.error = kParameterError;
                link->refusing = !end;
            } else if (parms.data.size() > limits_.maxRecvSize ||
                       link->pendingWrite.size() + parms.data.size() > limits_.maxMessage) {
                note("link " + std::to_string(parms.lid) + ": " +
                     (parms.data.size() > limits_.maxRecvSize
                          ? "a block longer than " + std::to_string(limits_.maxRecvSize)
                          : "a message longer than " + std::to_string(limits_.maxMessage)) +
                     " bytes refused; the message is dropped up to its END");
                link->pendingWrite = Bytes{};
                link->refusing = !end;
                resp.error = kParameterError;
            } else {
                link->pendingWrite.insert(link->pendingWrite.end(), parms.data.begin(), parms.data.end());
                const auto size = static_cast<std::uint32_t>(parms.data.size());
                if (end) {
                    const std::int32_t lid = parms.lid;
                    const std::uint32_t seconds = link->ioSeconds;
                    return begin(lid, [this, lid, seconds, xid, size](Finished done) {
                        flush(lid, seconds, [done = std::move(done), xid, size](std::int32_t error) {
                            done(
                                [xid, size, error] {
                                    rpc::Reply reply(xid, true);
                                    encode(reply.body(), WriteResp{error, error == kNoError ? size : 0});
                                    return reply.finish();
                                },
                                {});
                        });
                    });
                }
                resp.size = size;
            }
        }
        rpc::Reply reply(xid, true);
        encode(reply.body(), resp);
        return replied(reply.finish());
    }
    case kDeviceRead: {
        ReadParms parms;
        if (!decode(reader, parms)) return garbage(xid);
        ReadResp resp;
        bool parked = false;
        Link* link = usable_link(parms.lid, parms.flags, parms.lockTimeout, parms.ioTimeout,
                                 resp.error, parked);
        if (parked) return waiting();
        if (link == nullptr) {
            rpc::Reply reply(xid, true);
            encode(reply.body(), resp);
            return replied(reply.finish());
        }
        ReadRequest request;
        request.requestSize = parms.requestSize;
        request.maxSize = limits_.maxRecvSize;
        if ((parms.flags & kTermCharSet) != 0) request.termChar = parms.termChar;
        request.seconds = link->ioSeconds;
        const std::int32_t lid = parms.lid;
        Device* device = devices_[link->device].device;
        return begin(lid, [this, lid, request, device, xid](Finished done) {
            // A message written without END is whole once its answer is
            // asked for (some clients never send END for a long message).
            flush(lid, request.seconds, [lid, request, device, xid, done = std::move(done)](std::int32_t error) {
                const auto answer = [xid](std::int32_t code, std::int32_t reason, Bytes data) {
                    return [xid, code, reason, data = std::move(data)] {
                        rpc::Reply reply(xid, true);
                        encode(reply.body(), ReadResp{code, code == kNoError ? reason : 0, data});
                        return reply.finish();
                    };
                };
                if (error != kNoError) {
                    done(answer(error, 0, {}), {});
                    return;
                }
                device->read(lid, request, [done, answer](DeviceRead read) {
                    done(answer(error_of(read.status), read.reason, std::move(read.data)), read.answerAt);
                });
            });
        });
    }
    case kDeviceReadStb:
    case kDeviceTrigger:
    case kDeviceClear: {
        GenericParms parms;
        if (!decode(reader, parms)) return garbage(xid);
        std::int32_t error = kNoError;
        bool parked = false;
        Link* link = usable_link(parms.lid, parms.flags, parms.lockTimeout, parms.ioTimeout, error,
                                 parked);
        if (parked) return waiting();
        if (link == nullptr) {
            rpc::Reply reply(xid, true);
            if (proc == kDeviceReadStb) encode(reply.body(), ReadStbResp{error, 0});
            else encode_error(reply.body(), error);
            return replied(reply.finish());
        }
        const std::int32_t lid = parms.lid;
        const std::uint32_t seconds = link->ioSeconds;
        Device* device = devices_[link->device].device;
        if (proc == kDeviceClear) {
            // Nothing written before the clear reaches the instrument later;
            // the device drops what it said before.
            for (auto& entry : links_)
                if (entry.second.device == link->device) {
                    entry.second.pendingWrite = Bytes{};
                    entry.second.refusing = false;
                }
            return begin(lid, [lid, seconds, device, xid](Finished done) {
                device->clear(lid, seconds, [done = std::move(done), xid](DeviceStatus status) {
                    done(
                        [xid, status] {
                            rpc::Reply reply(xid, true);
                            encode_error(reply.body(), error_of(status));
                            return reply.finish();
                        },
                        {});
                });
            });
        }
        return begin(lid, [this, lid, seconds, device, xid, proc](Finished done) {
            flush(lid, seconds, [lid, seconds, device, xid, proc, done = std::move(done)](std::int32_t flushed) {
                if (proc == kDeviceReadStb) {
                    std::uint8_t stb = 0;
                    const std::int32_t code = flushed != kNoError ? flushed : error_of(device->read_status_byte(lid, stb));
                    done(
                        [xid, code, stb] {
                            rpc::Reply reply(xid, true);
                            encode(reply.body(), ReadStbResp{code, code == kNoError ? stb : std::uint8_t{0}});
                            return reply.finish();
                        },
                        {});
                    return;
                }
                const auto answer = [xid](std::int32_t code) {
                    return [xid, code] {
                        rpc::Reply reply(xid, true);
                        encode_error(reply.body(), code);
                        return reply.finish();
                    };
                };
                if (flushed != kNoError) {
                    done(answer(flushed), {});
                    return;
                }
                device->trigger(lid, seconds, [done, answer](DeviceStatus status) { done(answer(error_of(status)), {}); });
            });
        });
    }
    case kDeviceLock: {
        LockParms parms;
        if (!decode(reader, parms)) return garbage(xid);
        Link* link = own_link(connection, parms.lid);
        if (link == nullptr) return error_reply(xid, kInvalidLink);
        // A link that holds the lock already cannot take it again.
        if (devices_[link->device].lockOwner == parms.lid) return error_reply(xid, kLockedByAnother);
        const LockCheck check = check_lock(connection, link->device, parms.lid,
                                           (parms.flags & kWaitLock) != 0, parms.lockTimeout, true,
                                           now, xid, proc, args);
        if (check == LockCheck::wait) return waiting();
        return error_reply(xid, check == LockCheck::go ? kNoError : lock_error(check == LockCheck::aborted));
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
        // What the link wrote without END was accepted: it goes out now (its
        // answer is dropped with the link).
        if (!link->pendingWrite.empty()) {
            const std::size_t size = link->pendingWrite.size();
            flush(lid, link->ioSeconds, [this, lid, size](std::int32_t error) {
                if (error != kNoError)
                    note("link " + std::to_string(lid) + ": the " + std::to_string(size) +
                         " bytes written without END failed at destroy_link (error " +
                         std::to_string(error) + ")");
            });
        }
        std::erase(connection.links, lid);
        drop_link(lid);
        return error_reply(xid, kNoError);
    }
    case kDeviceRemote:
    case kDeviceLocal: {
        GenericParms parms;
        if (!decode(reader, parms)) return garbage(xid);
        return error_reply(xid, own_link(connection, parms.lid) == nullptr ? kInvalidLink : kNotSupported);
    }
    case kDeviceEnableSrq: {
        EnableSrqParms parms;
        if (!decode(reader, parms)) return garbage(xid);
        return error_reply(xid, own_link(connection, parms.lid) == nullptr ? kInvalidLink : kNotSupported);
    }
    case kDeviceDocmd: {
        DocmdParms parms;
        if (!decode(reader, parms, limits_.maxRecvSize)) return garbage(xid);
        rpc::Reply reply(xid, true);
        encode_docmd(reply.body(), own_link(connection, parms.lid) == nullptr ? kInvalidLink : kNotSupported, {});
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
    // The link's call that waits, for a lock or for its device, ends with
    // error 23 at once.  A transfer already running on the instrument goes
    // on to its end; what it brings stays the link's.
    const ConnectionId owner = link->second.connection;
    const auto found = connections_.find(owner);
    if (found != connections_.end()) {
        Connection& connection = found->second;
        if (connection.parked && connection.parked->lid == lid) {
            connection.parked->aborted = true;
            if (wake_) wake_(owner);
        } else if (connection.running && connection.running->lid == lid) {
            // Its operation runs, or its reply waits its time: 23 now.
            connection.finished = aborted_reply(connection.running->xid, connection.running->proc);
            connection.finishedAt = {};
            connection.running->token = 0;
            devices_[link->second.device].device->abandon(lid);
            if (wake_) wake_(owner);
        }
    }
    return error_reply(xid, kNoError);
}

}  // namespace tavlib::gateway::vxi11
