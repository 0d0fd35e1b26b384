// VXI-11 on the gateway's side: the core channel's and the abort channel's
// messages, and a dispatcher that serves their calls against instruments.
//
// The dispatcher knows nothing of sockets or threads: a transport hands it
// each call that rpc::parse_call found ok, on the connection it came on, and
// sends the reply it gives back.  It is not thread-safe: every call happens
// on one thread, and the Devices finish their operations on it.  A call
// never blocks that thread: one that waits for a lock is parked
// (Outcome::waiting, with the time its lock_timeout ends), and one whose
// device operation runs waits likewise, until the operation finishes; the
// transport awaits the wake callback for its connection, or the time, then
// calls resume().  A connection has at most one call at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output_queue.h"
#include "rpc.h"
#include "xdr.h"

namespace tavlib::gateway::vxi11 {

inline constexpr std::uint32_t kCoreProgram = 0x0607AF;
inline constexpr std::uint32_t kAbortProgram = 0x0607B0;
inline constexpr std::uint32_t kVersion = 1;

enum Procedure : std::uint32_t {
    kDeviceAbort = 1,  // the abort channel's
    kCreateLink = 10,
    kDeviceWrite = 11,
    kDeviceRead = 12,
    kDeviceReadStb = 13,
    kDeviceTrigger = 14,
    kDeviceClear = 15,
    kDeviceRemote = 16,
    kDeviceLocal = 17,
    kDeviceLock = 18,
    kDeviceUnlock = 19,
    kDeviceEnableSrq = 20,
    kDeviceDocmd = 22,
    kDestroyLink = 23,
    kCreateIntrChan = 25,
    kDestroyIntrChan = 26,
};

enum ErrorCode : std::int32_t {
    kNoError = 0,
    kSyntaxError = 1,
    kDeviceNotAccessible = 3,
    kInvalidLink = 4,
    kParameterError = 5,
    kChannelNotEstablished = 6,
    kNotSupported = 8,
    kOutOfResources = 9,
    kLockedByAnother = 11,
    kNoLockHeld = 12,
    kIoTimeout = 15,
    kIoError = 17,
    kAborted = 23,
    kChannelEstablished = 29,
};

enum Flag : std::int32_t { kWaitLock = 1, kEndFlag = 8, kTermCharSet = 128 };
enum Reason : std::int32_t { kReasonReqCnt = 1, kReasonChr = 2, kReasonEnd = 4 };

// The arguments and results.  Opaque data are views into the message.
struct CreateLinkParms {
    std::int32_t clientId = 0;
    bool lockDevice = false;
    std::uint32_t lockTimeout = 0;
    std::string device;
};
struct CreateLinkResp {
    std::int32_t error = 0;
    std::int32_t lid = 0;
    std::uint32_t abortPort = 0;
    std::uint32_t maxRecvSize = 0;
};
struct WriteParms {
    std::int32_t lid = 0;
    std::uint32_t ioTimeout = 0;
    std::uint32_t lockTimeout = 0;
    std::int32_t flags = 0;
    ByteView data;
};
struct WriteResp {
    std::int32_t error = 0;
    std::uint32_t size = 0;
};
struct ReadParms {
    std::int32_t lid = 0;
    std::uint32_t requestSize = 0;
    std::uint32_t ioTimeout = 0;
    std::uint32_t lockTimeout = 0;
    std::int32_t flags = 0;
    std::uint8_t termChar = 0;
};
struct ReadResp {
    std::int32_t error = 0;
    std::int32_t reason = 0;
    ByteView data;
};
struct ReadStbResp {
    std::int32_t error = 0;
    std::uint8_t stb = 0;
};
struct GenericParms {
    std::int32_t lid = 0;
    std::int32_t flags = 0;
    std::uint32_t lockTimeout = 0;
    std::uint32_t ioTimeout = 0;
};
struct LockParms {
    std::int32_t lid = 0;
    std::int32_t flags = 0;
    std::uint32_t lockTimeout = 0;
};
struct EnableSrqParms {
    std::int32_t lid = 0;
    bool enable = false;
    ByteView handle;  // at most 40 bytes
};
struct DocmdParms {
    std::int32_t lid = 0;
    std::int32_t flags = 0;
    std::uint32_t ioTimeout = 0;
    std::uint32_t lockTimeout = 0;
    std::int32_t cmd = 0;
    bool networkOrder = false;
    std::int32_t datasize = 0;
    ByteView dataIn;
};
struct RemoteFunc {
    std::uint32_t hostAddr = 0;
    std::uint32_t hostPort = 0;
    std::uint32_t progNum = 0;
    std::uint32_t progVers = 0;
    std::int32_t progFamily = 0;
};

// Longest device name taken in create_link.
inline constexpr std::size_t kMaxDeviceName = 256;

bool decode(XdrReader& reader, CreateLinkParms& parms);
bool decode(XdrReader& reader, WriteParms& parms, std::size_t maxData);
bool decode(XdrReader& reader, ReadParms& parms);
bool decode(XdrReader& reader, GenericParms& parms);
bool decode(XdrReader& reader, LockParms& parms);
bool decode(XdrReader& reader, EnableSrqParms& parms);
bool decode(XdrReader& reader, DocmdParms& parms, std::size_t maxData);
bool decode(XdrReader& reader, RemoteFunc& parms);
bool decode_link(XdrReader& reader, std::int32_t& lid);

void encode(XdrWriter& writer, const CreateLinkResp& resp);
void encode(XdrWriter& writer, const WriteResp& resp);
void encode(XdrWriter& writer, const ReadResp& resp);
void encode(XdrWriter& writer, const ReadStbResp& resp);
void encode_error(XdrWriter& writer, std::int32_t error);                 // Device_Error
void encode_docmd(XdrWriter& writer, std::int32_t error, ByteView data);  // Device_DocmdResp

// The instrument side.  Timeouts are whole seconds, at least 1.
enum class DeviceStatus {
    ok,
    timeout,          // answered as error 15
    io_error,         // 17
    not_accessible,   // no instrument at the moment: 3
    locked,           // another client holds the instrument: 11
    parameter_error,  // a message the instrument cannot be sent: 5
    not_supported,    // the instrument refused the operation: 8
    aborted,          // the call was given up: 23
};

struct DeviceRead {
    DeviceStatus status = DeviceStatus::ok;
    Bytes data;
    std::int32_t reason = 0;  // REQCNT, CHR, END, or 0 (the most one reply carries)
    // Not to be answered before this time: a read that nothing can answer
    // still waits out its io_timeout, as a client expects of a time-out,
    // without the Device waiting for it.
    std::chrono::steady_clock::time_point answerAt{};
};

using LinkId = std::int32_t;

// A device's operations finish later, through their `done`, which the
// Device calls on the dispatcher's thread (possibly before the operation
// returns, for a Device that does not wait).  Output belongs to the link that
// asked for it: a read returns only what the instrument answered to that
// link's messages.
class Device {
public:
    using Done = std::function<void(DeviceStatus)>;
    virtual ~Device() = default;
    // Sends one message: the bytes a link wrote up to END.
    virtual void write(LinkId link, Bytes message, std::uint32_t timeoutSeconds, Done done) = 0;
    // Reads the link's output up to the first reason to stop (output_queue.h).
    virtual void read(LinkId link, const ReadRequest& request, std::function<void(DeviceRead)> done) = 0;
    // Needs no exchange with the instrument: answers at once.
    virtual DeviceStatus read_status_byte(LinkId link, std::uint8_t& stb) = 0;
    virtual void trigger(LinkId link, std::uint32_t timeoutSeconds, Done done) = 0;
    // Leaves no output behind that was produced before it, of any link.
    virtual void clear(LinkId link, std::uint32_t timeoutSeconds, Done done) = 0;
    // The link's operation in progress has no caller any more (it was
    // aborted, or its connection closed): its `done` is not waited for.
    virtual void abandon(LinkId link) { (void)link; }
    // A link to the device is about to be made: false refuses it (create_link
    // answers 11, another client holds the instrument).  Each link made is
    // followed by one link_closed() when it goes; what the instrument still
    // owes it is dropped then.
    virtual bool link_opened(LinkId link) { (void)link; return true; }
    virtual void link_closed(LinkId link) { (void)link; }
    // A link took the device's lock (true) or gave it up (false).
    virtual void lock_changed(bool locked) { (void)locked; }
};

struct Limits {
    std::size_t maxLinks = 256;               // in all; create_link answers 9 beyond
    std::size_t maxLinksPerConnection = 32;   // likewise
    std::size_t maxMessage = 1024 * 1024;     // bytes of one message up to END; 5 beyond
    std::uint32_t maxRecvSize = 64 * 1024;    // announced by create_link; also the most one read returns
    std::uint32_t maxIoSeconds = 3600;        // a longer io_timeout is cut to this
    std::uint32_t abortPort = 0;              // announced by create_link
};

// The longest record a core channel connection takes: a write of
// maxRecvSize bytes and its headers (credentials of at most 400 bytes).
std::size_t max_record(const Limits& limits);

// Seconds the Device waits for an io_timeout in milliseconds: rounded up,
// at least 1, at most maxIoSeconds.
std::uint32_t io_seconds(std::uint32_t milliseconds, std::uint32_t maxIoSeconds);

using ConnectionId = std::uint64_t;
enum class Channel { core, abort };

struct Outcome {
    std::optional<Bytes> reply;  // a record to send (with its record mark)
    // Not answered yet: the call waits for a lock (until `until`), or its
    // device operation runs.  The transport calls resume() when woken or at
    // `until`.
    bool waiting = false;
    std::chrono::steady_clock::time_point until{};
};

class Dispatcher {
public:
    using Clock = std::chrono::steady_clock;

    explicit Dispatcher(Limits limits = {});
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // create_link's device name (matched without regard to case, "inst0")
    // names this device.  The Device outlives the dispatcher.
    void add_device(std::string name, Device& device);
    // Called on the dispatcher's thread when the waiting call of this
    // connection should be resumed: a lock was released, the call was
    // aborted, or its device operation finished.
    void set_wake(std::function<void(ConnectionId)> wake) { wake_ = std::move(wake); }
    void set_log(std::function<void(std::string_view)> log) { log_ = std::move(log); }
    const Limits& limits() const { return limits_; }
    // The abort channel's port, once it is bound.
    void set_abort_port(std::uint32_t port) { limits_.abortPort = port; }

    ConnectionId connect(Channel channel);
    // Frees the connection's links and their locks; a message a link wrote
    // without END yet is dropped, and a device operation in progress is
    // abandoned.
    void disconnect(ConnectionId connection);

    Outcome call(ConnectionId connection, const rpc::Call& call, Clock::time_point now);
    Outcome resume(ConnectionId connection, Clock::time_point now);

    std::size_t link_count() const { return links_.size(); }
    // Calls that wait, for a lock or for their device.
    std::size_t waiting_calls() const;

private:
    struct Link {
        ConnectionId connection = 0;
        std::size_t device = 0;
        Bytes pendingWrite;  // written without END yet
        bool refusing = false;  // the message being written was refused: dropped up to END
        std::uint32_t ioSeconds = 10;  // of its last call, for the flush at destroy_link
    };
    struct DeviceSlot {
        std::string name;
        Device* device = nullptr;
        std::optional<std::int32_t> lockOwner;
    };
    struct Parked {
        std::uint32_t xid = 0;
        std::uint32_t proc = 0;
        Bytes args;
        std::size_t device = 0;
        std::int32_t lid = 0;
        Clock::time_point until{};
        bool aborted = false;
    };
    // A call whose device operation runs.
    struct Running {
        std::uint32_t xid = 0;
        std::uint32_t proc = 0;
        std::int32_t lid = 0;
        std::uint64_t token = 0;  // tells its completion from an abandoned one's
    };
    struct Connection {
        Channel channel = Channel::core;
        std::vector<std::int32_t> links;
        std::optional<Parked> parked;
        // The call whose device operation runs, or whose reply waits for
        // `finishedAt`.
        std::optional<Running> running;
        std::optional<Bytes> finished;  // the reply of the call that ran
        Clock::time_point finishedAt{};
    };
    enum class LockCheck { go, wait, locked, aborted };

    Outcome run(ConnectionId id, Connection& connection, std::uint32_t xid, std::uint32_t proc,
                ByteView args, Clock::time_point now);
    Outcome run_abort(std::uint32_t xid, std::uint32_t proc, ByteView args);
    LockCheck check_lock(Connection& connection, std::size_t device, std::int32_t lid, bool waitLock,
                         std::uint32_t lockTimeout, bool acquire, Clock::time_point now,
                         std::uint32_t xid, std::uint32_t proc, ByteView args);
    Link* own_link(const Connection& connection, std::int32_t lid);
    // Starts a device operation for the call; `finish` builds its reply
    // from the operation's outcome.  Answered at once when the Device
    // finishes at once.
    using Finish = std::function<Bytes()>;
    // The operation's end: its reply, and the time before which it is not
    // sent (a past one: at once).
    using Finished = std::function<void(Finish, Clock::time_point)>;
    Outcome start(ConnectionId id, Connection& connection, std::uint32_t xid, std::uint32_t proc,
                  std::int32_t lid, const std::function<void(Finished)>& operation,
                  Clock::time_point now);
    // Sends what the link wrote without END, then `next`; a failure ends
    // there with its error.
    void flush(std::int32_t lid, std::uint32_t ioSeconds,
               std::function<void(std::int32_t error)> next);
    void release_lock(std::size_t device);
    void drop_link(std::int32_t lid);
    void note(std::string_view text) const;

    Limits limits_;
    std::vector<DeviceSlot> devices_;
    std::map<std::int32_t, Link> links_;
    std::map<ConnectionId, Connection> connections_;
    ConnectionId nextConnection_ = 1;
    std::int32_t nextLink_ = 1;
    std::uint64_t nextToken_ = 1;
    std::function<void(ConnectionId)> wake_;
    std::function<void(std::string_view)> log_;
};

// The reply a call that was given up gets: error 23 in its procedure's
// result.
Bytes aborted_reply(std::uint32_t xid, std::uint32_t proc);

}  // namespace tavlib::gateway::vxi11
