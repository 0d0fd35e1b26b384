// The simulator: the devices, the control channel and the trace, all on one
// event loop in one thread.  main.cpp wraps it in a command line; tests can
// also run it in-process.
#pragma once

#include "device.h"
#include "event_loop.h"
#include "instrument.h"
#include "tcp_listener.h"
#include "unique_fd.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavlib::sim {

struct SimulatorOptions {
    // Instruments from a definitions file.  Empty: only the built-in
    // instrument "default", with `devices` devices at start.  Otherwise each
    // instrument starts with its `count` devices.
    std::vector<InstrumentDef> instruments;
    unsigned devices = 1;
    std::string control_path;    // Unix stream socket for control commands; empty: none
    bool control_stdin = false;  // also take control commands from stdin (EOF ends the simulator)
    bool trace = false;
    // The network port: one device's instrument served to TCP clients in
    // the raw socket convention (LineConnection).  Port 0: a free one.
    bool tcp = false;
    std::uint16_t tcp_port = 5025;
    std::string tcp_bind = "127.0.0.1";
    std::uint32_t tcp_device = 0;  // 0: the lowest-numbered device at start
    std::size_t stats_limit = 100000;  // events kept per device
    // Where status lines, trace lines and stdin replies go (default stdout),
    // and warnings (default stderr).  Each call is one line without its
    // line end.
    std::function<void(const std::string&)> out;
    std::function<void(const std::string&)> err;
};

class Simulator final : private DeviceContext {
    struct Call;  // one control command being run

public:
    // What a control command accepts after its name.  Checked in this
    // order: the number of words (and the first word's choices), the
    // control channel, the device.  A failed count or choice gets the
    // reply "error usage: " + the command's usage.
    struct ArgRule {
        std::size_t min = 0;
        std::size_t max = SIZE_MAX;
        std::string_view choices{};  // non-empty: the first word must be one of these (blank-separated)
        bool channel = false;        // refused by execute(): needs the control channel
        bool device = false;         // the first word is a device number as `list` shows it
    };
    // One entry of the control command table, which both runs the commands
    // and writes `help`.
    struct ControlCommand {
        std::string_view name;
        std::string_view usage;    // the command's line in `help` and its usage error
        std::string_view summary;  // behind the usage in `help`; may be empty
        std::string_view details;  // further `help` lines, separated by '\n'; may be empty
        ArgRule args;
        void (Simulator::*handler)(Call&);
    };
    static std::span<const ControlCommand> commands();
    // The table's entry for `name`, or nullptr.
    static const ControlCommand* find_command(std::string_view name);

    // Creates the interface folder, the start devices and the control
    // channel.  Throws std::runtime_error with a message for the user.
    explicit Simulator(SimulatorOptions options);
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;
    ~Simulator() override;  // removes every socket it created

    // Runs the event loop until `quit`, request_stop() or EOF on stdin.
    void run();
    // Safe from any thread and from a signal handler.
    void request_stop() noexcept { loop_.request_stop(); }

    // Runs one control command; returns its reply lines, the last of which
    // begins with "ok" or "error".  `wait` is refused here (it needs the
    // loop to run).  Not while run() runs on another thread: the simulator
    // is single-threaded; use the control socket then.
    std::vector<std::string> execute(std::string_view line);

    const std::string& interface_folder() const { return folder_; }
    std::vector<std::string> device_paths() const;

private:
    struct WaitTerm {
        std::string key;
        char op;  // '=', '>' (>=) or '<' (<=)
        std::uint64_t value;
    };
    struct ControlClient {
        std::uint64_t key = 0;
        UniqueFd fd;       // empty for stdin
        int in_fd = -1;
        bool is_stdin = false;
        EventLoop::Watch watch;
        std::string in;
        std::string out;
        std::deque<std::string> lines;  // received, not yet run
        bool waiting = false;           // a `wait` holds the following lines back
        std::uint32_t wait_device = 0;
        std::vector<WaitTerm> wait_terms;
        EventLoop::Timer wait_timer;
        EventLoop::Timer resume;
        bool closing = false;  // stdin at EOF: end the simulator after the queued lines
    };
    struct Result {
        std::vector<std::string> lines;
        bool deferred = false;  // a `wait` that has not been met yet
    };

    // DeviceContext
    EventLoop& loop() override { return loop_; }
    bool tracing() const override { return trace_; }
    void trace(const std::string& line) override;
    void warn(const std::string& line) override;
    std::uint64_t next_connection_number() override { return ++last_connection_; }
    void device_changed(Device& device) override;
    void check_waits();

    Device& add_device(const std::shared_ptr<const InstrumentDef>& def);
    void open_control_socket();
    void open_tcp();
    void on_tcp_accept();
    void open_stdin();
    void on_control_accept();
    void on_control_event(std::uint64_t key, std::uint32_t events);
    void run_lines(ControlClient& client);
    void reply(ControlClient& client, const std::vector<std::string>& lines);
    void flush(ControlClient& client);
    void drop_client(std::uint64_t key);
    Result run_command(std::string_view line, ControlClient* client);
    void cmd_help(Call& call);
    void cmd_list(Call& call);
    void cmd_instruments(Call& call);
    void cmd_add(Call& call);
    void cmd_remove(Call& call);
    void cmd_fault(Call& call);
    void cmd_clear(Call& call);
    void cmd_faults(Call& call);
    void cmd_push(Call& call);
    void cmd_identity(Call& call);
    void cmd_stats(Call& call);
    void cmd_reset(Call& call);
    void cmd_wait(Call& call);
    void cmd_trace(Call& call);
    void cmd_quit(Call& call);
    std::optional<std::uint64_t> wait_value(const Device& device, std::string_view key) const;
    bool wait_met(const ControlClient& client) const;
    Device* device_word(std::string_view word, std::vector<std::string>& lines);
    void print(const std::string& line);

    SimulatorOptions options_;
    EventLoop loop_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    bool trace_ = false;
    bool quitting_ = false;  // `quit` ran: later lines are not run
    std::string folder_;
    std::map<std::string, std::shared_ptr<const InstrumentDef>> instruments_;
    std::map<std::uint32_t, std::unique_ptr<Device>> devices_;
    std::uint32_t last_number_ = 0;
    std::uint64_t last_connection_ = 0;
    UniqueFd control_;
    EventLoop::Watch control_watch_;
    bool control_created_ = false;
    std::map<std::uint64_t, std::unique_ptr<ControlClient>> clients_;
    std::uint64_t last_client_ = 0;
    std::size_t waiting_clients_ = 0;
    TcpListener tcp_;
    EventLoop::Watch tcp_watch_;
    std::set<std::uint32_t> changed_devices_;
    EventLoop::Timer wait_check_;
};

}  // namespace tavlib::sim
