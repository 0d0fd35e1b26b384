// A program run as a child of this one for the length of a run: its
// standard output and error are taken line by line and handed to a callback
// (on a thread of its own); the destructor ends and reaps it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "unique_fd.h"

namespace tavlib::stress {

class ChildProcess {
public:
    using LineHandler = std::function<void(const std::string&)>;

    // Starts args[0] with the rest as its arguments and this process's
    // environment, with the KEY=VALUE entries of `environment` in place of
    // those of the same keys; throws std::runtime_error when it cannot.
    ChildProcess(std::vector<std::string> args, std::vector<std::string> environment, LineHandler onLine);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Waits until a line starting with `prefix` came (counting from the
    // start); nothing on time-out or when the output ended.
    std::optional<std::string> wait_for_line(std::string_view prefix, std::chrono::milliseconds timeout);
    // The lines that came so far.
    std::vector<std::string> lines() const;
    // SIGTERM, then SIGKILL after `grace`; the exit status, 128 + the
    // signal's number when a signal ended it.  Later calls give the same.
    int stop(std::chrono::seconds grace = std::chrono::seconds(15));

private:
    void drain();

    pid_t pid_ = -1;
    int status_ = -1;
    LineHandler onLine_;
    sim::UniqueFd out_;
    std::thread drainer_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool ended_ = false;
};

}  // namespace tavlib::stress
