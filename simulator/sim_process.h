// SimProcess: runs tavril-sim as a child process for a test and drives it
// through its control socket.
//
// Link the CMake target `tavril_sim_client`.  It builds tavril-sim first
// and defines TAVRIL_SIM_PATH, the path of the simulator binary, which
// SimProcess uses unless the environment variable TAVRIL_SIM_PATH or
// SimOptions::executable names another one.
//
// Typical use in a library test:
//
//     tavlib::sim::SimOptions options;
//     options.exportRuntimeDir = true;           // this process sees its devices
//     tavlib::sim::SimProcess sim(options);        // starts, waits for "ready"
//     sim.set_fault(1, "delay 5000 times=1");      // the next WRITE/READ is late
//     ... call the library on slot 0 ...
//     tavlib::sim::SimStats stats = sim.stats(1);
//     EXPECT_EQ(stats.request_args("WRITE"), (std::vector<std::uint32_t>{65536, 1}));
//     EXPECT_EQ(stats.recoveries(), 1u);
//
// Devices are numbered as the simulator numbers them (1, 2, ... in the
// order they were added; `devices()` lists them).  Slot n of the library
// is the n-th device of that list while no device was removed.
//
// Every SimProcess has its own runtime directory (a fresh temporary one
// unless SimOptions::runtimeDir is set), so tests run side by side.  The
// destructor stops the simulator (SIGTERM, then SIGKILL after 10 s), reaps
// it and removes the temporary directory.  The child also gets SIGTERM if
// the thread that started it ends first.
//
// Control commands block until the simulator answers (at most a minute, a
// guard against hangs).  A command answered with "error ..." throws
// SimProcessError from the typed helpers; command() returns the reply as
// it is.  One SimProcess is used from one thread at a time.
#pragma once

#include "control_text.h"  // kDefaultWaitMs
#include "data_pattern.h"  // data_pattern(n): the bytes of the response to "DATA? n"
#include "unique_fd.h"

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tavlib::sim {

class SimProcessError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SimOptions {
    std::string executable;   // empty: $TAVRIL_SIM_PATH, else the build's tavril-sim
    std::string runtimeDir;  // empty: a fresh temporary directory, removed at the end
    // Set TAVRIL_RUNTIME_DIR in this process too while the SimProcess lives
    // (the old value comes back afterwards), so that the library under test
    // finds the simulator's devices.
    bool exportRuntimeDir = false;
    // More arguments, e.g. {"--devices", "2"} or {"--definitions", path}.
    std::vector<std::string> args;
    bool trace = false;
    std::chrono::milliseconds startTimeout{30000};
};

// One event of a device's log, in the order the simulator saw it.
struct SimEvent {
    enum class Kind { kOpen, kClose, kRequest, kComplete };
    Kind kind = Kind::kRequest;
    std::uint64_t conn = 0;
    std::string type;  // "WRITE", "READ", "CANCEL" or "IOCTL" (requests and completions)
    std::uint32_t id = 0;
    std::uint32_t arg = 0;     // request: n, capacity or control code
    std::uint32_t status = 0;  // completion: Win32 status
    std::uint32_t count = 0;   // completion: bytes moved
    std::string reason;        // close: peer, malformed, dropped, error
};

struct SimStats {
    // The key=value pairs of the summary line: connections, requests,
    // recoveries, reads-pending, output-messages, output-bytes,
    // partial-bytes, pending-commands, bytes-written, bytes-read, ...
    std::map<std::string, std::string> summary;
    std::vector<SimEvent> events;

    std::uint64_t value(const std::string& key) const;  // 0 when absent
    std::uint64_t recoveries() const { return value("recoveries"); }
    // The args of the requests of one type, in order: WRITE sizes, READ
    // capacities, IOCTL codes.
    std::vector<std::uint32_t> request_args(std::string_view type) const;
    // (status, count) of the completions of one type, in order.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> completions(std::string_view type) const;
};

struct SimDevice {
    std::uint32_t id = 0;
    std::string instrument;
    std::string path;
};

struct SimReply {
    bool ok = false;
    std::string status;              // the last line: "ok ..." or "error ..."
    std::vector<std::string> lines;  // the lines before it
};

// Starts argv[0] as a child process (argv and envp end with nullptr) with
// `out` as its standard output and error and /dev/null as its standard
// input; the child gets SIGTERM if the thread that started it ends first.
// Only async-signal-safe calls run in the child.  Returns its pid, or -1
// when fork() failed (errno tells why).
pid_t spawn_child(char* const argv[], char* const envp[], int out);

class SimProcess {
public:
    explicit SimProcess(SimOptions options = {});  // throws SimProcessError with the simulator's output
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess();

    pid_t pid() const { return pid_; }
    const std::string& runtime_dir() const { return runtimeDir_; }
    std::string interface_folder() const;
    const std::string& control_path() const { return controlPath_; }

    // Sends one control line and returns the reply.
    SimReply command(std::string_view line);
    // The same, but throws SimProcessError on "error ..."; returns the
    // text after "ok " (may be empty).
    std::string ok(std::string_view line);

    std::vector<SimDevice> devices();
    SimDevice add_device(std::string_view instrument = {});
    void remove_device(std::uint32_t id);
    // `faultText` is what follows the device number: "error 31 times=1",
    // "delay 5000 on=read", "drop", ...
    void set_fault(std::uint32_t id, std::string_view faultText);
    void clear_faults(std::uint32_t id, std::string_view kind = "all");
    // Queues a response: push() appends CR LF, push_raw() sends exactly
    // `bytes` (any byte values).
    void push(std::uint32_t id, std::string_view text);
    void push_raw(std::uint32_t id, std::string_view bytes);
    void set_identity(std::uint32_t id, std::string_view identity);
    SimStats stats(std::uint32_t id);
    void reset_stats(std::uint32_t id);
    // Blocks until the condition holds, e.g. "requests>=3" or
    // "reads-pending=1 connections=1"; throws on time-out.
    void wait(std::uint32_t id, std::string_view condition,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(kDefaultWaitMs));
    void set_trace(bool on);

    // Everything the simulator printed so far (stdout and stderr).
    std::string output() const;
    // Waits until output() contains `text`; false on time-out or exit.
    bool wait_for_output(std::string_view text, std::chrono::milliseconds timeout);

    // Sends SIGTERM, reaps the process and returns its exit code (128 + the
    // signal number if a signal ended it).  Later calls return the same.
    int stop();

private:
    SimReply exchange(std::string_view line, int guardMs);
    void drain();
    void connect_control();
    void restore_env();
    // Stops the simulator and removes what the client made for it.
    void release();

    SimOptions options_;
    std::string runtimeDir_;
    bool ownRuntimeDir_ = false;
    std::string controlPath_;
    bool envExported_ = false;
    bool hadEnv_ = false;
    std::string oldEnv_;
    pid_t pid_ = -1;
    int exitCode_ = -1;
    UniqueFd out_;      // read end of the child's stdout and stderr
    UniqueFd control_;  // control socket
    std::string controlIn_;
    std::thread drainer_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    bool ready_ = false;
    bool eof_ = false;
};

}  // namespace tavlib::sim
