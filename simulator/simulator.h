// The simulator: the devices, the control channel and its commands, the
// network port and the trace, all on one event loop in one thread.  main.cpp
// wraps it in a command line; tests can also run it in-process.
#pragma once

#include "control_channel.h"
#include "control_commands.h"
#include "device.h"
#include "device_set.h"
#include "event_loop.h"
#include "instrument.h"
#include "tcp_listener.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tavlib::sim {

struct SimulatorOptions {
    // The runtime directory, in which the interface folder is made (or
    // found, if it is private to this user).  main.cpp takes it from the
    // environment as the library does.
    std::string runtimeDir;
    // Instruments from a definitions file.  Empty: only the built-in
    // instrument "default", with `devices` devices at start.  Otherwise each
    // instrument starts with its `count` devices.
    std::vector<InstrumentDef> instruments;
    unsigned devices = 1;
    std::string controlPath;    // Unix stream socket for control commands; empty: none
    bool controlStdin = false;  // also take control commands from stdin (EOF ends the simulator)
    bool trace = false;
    // The network port: one device's instrument served to TCP clients in
    // the raw socket convention (LineConnection).  Port 0: a free one.
    bool tcp = false;
    std::uint16_t tcpPort = 5025;
    std::string tcpBind = "127.0.0.1";
    std::uint32_t tcpDevice = 0;      // 0: the lowest-numbered device at start
    std::size_t statsLimit = 100000;  // events kept per device
    // Where status lines, trace lines and stdin replies go (default stdout),
    // and warnings (default stderr).  Each call is one line without its
    // line end.
    std::function<void(const std::string&)> out;
    std::function<void(const std::string&)> err;
};

class Simulator final : private DeviceContext, private ControlHost {
public:
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

    const std::string& interface_folder() const { return devices_.folder(); }
    std::vector<std::string> device_paths() const { return devices_.paths(); }

private:
    // DeviceContext and ControlHost
    EventLoop& loop() override { return loop_; }
    bool tracing() const override { return trace_; }
    void set_tracing(bool on) override { trace_ = on; }
    void trace(const std::string& line) override;
    void warn(const std::string& line) override;
    void print(const std::string& line) override { options_.out(line); }
    std::uint64_t next_connection_number() override { return ++lastConnection_; }
    void device_changed(Device& device) override { commands_.device_changed(device.number()); }
    Device& add_device(const std::shared_ptr<const InstrumentDef>& def) override;
    void remove_device(std::uint32_t number) override;
    void quit() override { loop_.stop(); }

    void open_tcp();
    void on_tcp_accept();

    SimulatorOptions options_;
    EventLoop loop_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    bool trace_ = false;
    std::uint64_t lastConnection_ = 0;
    // Destroyed in the reverse order: the network port, the waits, the
    // control clients and socket, then the devices and their sockets.
    DeviceSet devices_;
    ControlChannel channel_;
    ControlCommands commands_;
    TcpListener tcp_;
    EventLoop::Watch tcpWatch_;  // declared after tcp_: removed before it closes
};

}  // namespace tavlib::sim
