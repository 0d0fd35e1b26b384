// One simulated device: its interface socket, the requests outstanding on
// each connection opened on it (DriverConnection moves their messages), the
// TCP clients (LineConnection), and the instrument behind it, whose one
// output queue they all read in turn.
#pragma once

#include "driver_connection.h"
#include "event_loop.h"
#include "faults.h"
#include "instrument.h"
#include "line_connection.h"
#include "stats.h"
#include "tavlib/driver_wire.h"
#include "unique_fd.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavlib::sim {

class Device;

// What a device needs from the simulator around it.
class DeviceContext {
public:
    virtual ~DeviceContext() = default;
    virtual EventLoop& loop() = 0;
    virtual bool tracing() const = 0;
    virtual void trace(const std::string& line) = 0;  // printed when tracing is on
    virtual void warn(const std::string& line) = 0;   // always printed
    virtual std::uint64_t next_connection_number() = 0;
    // Something that a `wait` may be waiting for has changed.
    virtual void device_changed(Device& device) = 0;
};

class Device {
public:
    // `listener` is bound to `path` and listening; the device removes the
    // socket file when it is destroyed.
    Device(DeviceContext& ctx, std::uint32_t number, std::string path, UniqueFd listener,
           std::shared_ptr<const InstrumentDef> def, std::size_t statsLimit);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    ~Device();

    std::uint32_t number() const { return number_; }
    const std::string& path() const { return path_; }
    const std::string& instrument_name() const { return instrument_.definition().name; }
    Instrument& instrument() { return instrument_; }
    const Instrument& instrument() const { return instrument_; }
    FaultSet& faults() { return faults_; }
    DeviceStats& stats() { return stats_; }
    const DeviceStats& stats() const { return stats_; }
    std::size_t connection_count() const { return connections_.size(); }
    std::size_t line_client_count() const { return lineClients_.size(); }
    std::size_t reads_pending() const { return readWaiters_.size(); }

    // Queues a response message as if the instrument had produced it.
    void push_output(Message message);

    // Takes over a connected, non-blocking stream socket (a TCP client) whose
    // peer speaks command lines (LineConnection).  Its lines join the
    // instrument's command queue whole.  It reads the one output queue like
    // a driver connection does: for each response message that one of its
    // own commands queues, it places one READ of unlimited capacity at the
    // back of the waiting READs at that moment, and the message each such
    // READ takes (the front one, oldest READ first) is sent to it.
    void attach_line_client(UniqueFd fd, std::string peer);

    // The summary line of `stats` and `list`:
    //   device id=1 instrument=default connections=1 ... path=/...
    std::string summary() const;

private:
    struct Request {
        std::uint64_t serial = 0;  // unique over the device's life
        std::uint32_t type = 0;
        std::uint32_t id = 0;
        std::uint32_t arg = 0;
        std::string payload;
        // Fault decisions, taken when the request arrives.
        std::optional<std::uint32_t> error;
        std::optional<std::uint32_t> partial;
        std::optional<std::uint32_t> recoverFail;
        std::optional<std::uint32_t> malformed;  // MalformedWay of its completion
        bool zeroRead = false;
        bool waiting = false;  // a READ queued for output
        EventLoop::Timer hold;
        EventLoop::Timer lateCancel;
    };

    struct Connection {
        std::uint64_t number = 0;
        std::map<std::uint32_t, Request> requests;
        std::unique_ptr<DriverConnection> link;
    };

    // A TCP client (see attach_line_client).
    struct LineClient {
        std::unique_ptr<LineConnection> connection;
        std::size_t commands = 0;   // its lines not answered yet
        bool inputEnded = false;   // it sent EOF: finish once `commands` is 0
    };

    void on_accept();
    // Returns false when the connection was closed.
    bool on_message(Connection& c, std::string_view packet);
    void reject(Connection& c, const std::string& why);
    void close_connection(std::uint64_t conn, const std::string& reason);

    // Returns false when the connection was closed.
    bool on_request(Connection& c, std::uint32_t type, std::uint32_t id, std::uint32_t arg,
                    std::string_view payload);
    void on_cancel(Connection& c, std::uint32_t id);
    void activate(std::uint64_t conn, std::uint32_t id, std::uint64_t serial);
    void activate(Connection& c, Request& r);
    void abort(std::uint64_t conn, std::uint32_t id, std::uint64_t serial);
    void complete(Connection& c, std::uint32_t id, std::uint32_t status, std::string_view data,
                  std::uint32_t count);
    void remove_waiter(std::uint64_t conn, std::uint32_t id);

    void on_line(std::uint64_t conn, std::string line);
    void close_line_client(std::uint64_t conn, const char* reason);
    // Lets a client that sent EOF go once its lines are answered.
    void finish_if_answered(LineClient& client);

    void serve_reads();
    void run_commands();
    // Queues the responses to a command from `source` (see Command).
    void queue_reply(std::vector<Message> messages, std::uint64_t source);
    void recover();

    Connection* find(std::uint64_t conn);
    std::string tag(std::uint64_t conn) const;

    DeviceContext& ctx_;
    std::uint32_t number_;
    std::string path_;
    UniqueFd listener_;
    EventLoop::Watch listenWatch_;
    Instrument instrument_;
    FaultSet faults_;
    DeviceStats stats_;
    std::map<std::uint64_t, std::unique_ptr<Connection>> connections_;
    std::map<std::uint64_t, LineClient> lineClients_;
    // Waiting READs, oldest first: (conn, id) of a driver connection's READ,
    // or (conn, 0) for a line client's READ (request id 0 never occurs).
    std::deque<std::pair<std::uint64_t, std::uint32_t>> readWaiters_;
    bool instrumentBusy_ = false;   // a reply is in its delay
    EventLoop::Timer replyTimer_;
    std::uint64_t nextSerial_ = 1;
    std::vector<char> rx_;
    std::vector<char> tx_;  // the payload of the READ completion being sent
};

}  // namespace tavlib::sim
