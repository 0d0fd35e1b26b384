#include "child_process.h"

#include "sim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tavlib::stress {

ChildProcess::ChildProcess(std::vector<std::string> args, std::vector<std::string> environment,
                           LineHandler onLine)
    : onLine_(std::move(onLine)) {
    // Built before fork(): after it the child makes async-signal-safe calls only.
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string_view key = text.substr(0, text.find('=') + 1);
        if (std::none_of(environment.begin(), environment.end(),
                         [&](const std::string& mine) { return mine.starts_with(key); }))
            environment.emplace_back(text);
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    out_.reset(fds[0]);
    sim::UniqueFd writeEnd(fds[1]);
    pid_ = sim::spawn_child(argv.data(), envp.data(), writeEnd.get());
    if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    writeEnd.reset();
    drainer_ = std::thread([this] { drain(); });
}

ChildProcess::~ChildProcess() {
    stop();
    if (drainer_.joinable()) drainer_.join();
}

void ChildProcess::drain() {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(out_.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = pending.substr(start, end - start);
            if (onLine_) onLine_(line);
            std::lock_guard lock(mutex_);
            lines_.push_back(std::move(line));
            changed_.notify_all();
        }
        pending.erase(0, start);
    }
    std::lock_guard lock(mutex_);
    if (!pending.empty()) lines_.push_back(pending);
    ended_ = true;
    changed_.notify_all();
}

std::optional<std::string> ChildProcess::wait_for_line(std::string_view prefix,
                                                       std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::size_t looked = 0;
    std::optional<std::string> found;
    changed_.wait_for(lock, timeout, [&] {
        for (; looked < lines_.size(); ++looked)
            if (lines_[looked].starts_with(prefix)) {
                found = lines_[looked];
                return true;
            }
        return ended_;
    });
    return found;
}

std::vector<std::string> ChildProcess::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

int ChildProcess::stop(std::chrono::seconds grace) {
    if (pid_ <= 0 || status_ >= 0) return status_;
    ::kill(pid_, SIGTERM);
    int raw = 0;
    pid_t reaped = 0;
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while ((reaped = ::waitpid(pid_, &raw, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        ::usleep(20000);
    if (reaped == 0) {
        ::kill(pid_, SIGKILL);
        while ((reaped = ::waitpid(pid_, &raw, 0)) < 0 && errno == EINTR) {
        }
    }
    if (reaped < 0) status_ = 128;
    else status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return status_;
}

}  // namespace tavlib::stress
