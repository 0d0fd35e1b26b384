#include "sim_process.h"

#include "control_text.h"
#include "ready_line.h"
#include "tavlib/driver_interface.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace tavlib::sim {

namespace {

constexpr int kReplyGuardMs = 60000;
constexpr auto kStopGrace = std::chrono::seconds(10);

std::string default_executable() {
    if (const char* env = std::getenv("TAVRIL_SIM_PATH"); env != nullptr && *env != '\0') return env;
#ifdef TAVRIL_SIM_PATH
    return TAVRIL_SIM_PATH;
#else
    return "tavril-sim";
#endif
}

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

std::map<std::string, std::string> key_values(std::string_view line) {
    std::map<std::string, std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ') ++i;
        const std::string_view word = line.substr(start, i - start);
        const std::size_t eq = word.find('=');
        if (eq != std::string_view::npos) out[std::string(word.substr(0, eq))] = std::string(word.substr(eq + 1));
    }
    return out;
}

std::uint32_t number(const std::map<std::string, std::string>& kv, const std::string& key) {
    auto it = kv.find(key);
    return it == kv.end() ? 0 : static_cast<std::uint32_t>(std::strtoul(it->second.c_str(), nullptr, 0));
}

}  // namespace

// ---- stats -----------------------------------------------------------------

std::uint64_t SimStats::value(const std::string& key) const {
    auto it = summary.find(key);
    return it == summary.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 10);
}

std::vector<std::uint32_t> SimStats::request_args(std::string_view type) const {
    std::vector<std::uint32_t> out;
    for (const SimEvent& e : events)
        if (e.kind == SimEvent::Kind::kRequest && e.type == type) out.push_back(e.arg);
    return out;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> SimStats::completions(std::string_view type) const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (const SimEvent& e : events)
        if (e.kind == SimEvent::Kind::kComplete && e.type == type) out.emplace_back(e.status, e.count);
    return out;
}

// ---- process ---------------------------------------------------------------

pid_t spawn_child(char* const argv[], char* const envp[], int out) {
    const std::string failed = std::string(argv[0]) + ": exec failed\n";
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    const int nullFd = ::open("/dev/null", O_RDONLY);
    if (nullFd >= 0) ::dup2(nullFd, STDIN_FILENO);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(126);
    ::execve(argv[0], argv, envp);
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, failed.data(), failed.size());
    ::_exit(127);
}

SimProcess::SimProcess(SimOptions options) : options_(std::move(options)) {
    if (options_.executable.empty()) options_.executable = default_executable();
    runtimeDir_ = options_.runtimeDir;
    if (runtimeDir_.empty()) {
        // Short, so that socket paths stay within the 107 bytes of sun_path.
        char pattern[] = "/tmp/tavril-sim-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw SimProcessError(errno_text("mkdtemp"));
        runtimeDir_ = pattern;
        ownRuntimeDir_ = true;
    }
    controlPath_ = runtimeDir_ + "/control.sock";

    if (options_.exportRuntimeDir) {
        if (const char* old = std::getenv("TAVRIL_RUNTIME_DIR")) {
            hadEnv_ = true;
            oldEnv_ = old;
        }
        ::setenv("TAVRIL_RUNTIME_DIR", runtimeDir_.c_str(), 1);
        envExported_ = true;
    }

    // Everything the child needs is built before fork(): after it only
    // async-signal-safe calls are made.
    std::vector<std::string> args{options_.executable, "--control", controlPath_};
    if (options_.trace) args.emplace_back("--trace");
    args.insert(args.end(), options_.args.begin(), options_.args.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "TAVRIL_RUNTIME_DIR=", 19) != 0) envStrings.emplace_back(*e);
    envStrings.push_back("TAVRIL_RUNTIME_DIR=" + runtimeDir_);
    std::vector<char*> envp;
    for (std::string& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        const std::string message = errno_text("pipe2");
        restore_env();
        throw SimProcessError(message);
    }
    out_.reset(fds[0]);
    UniqueFd write_end(fds[1]);
    pid_ = spawn_child(argv.data(), envp.data(), write_end.get());
    if (pid_ < 0) {
        const std::string message = errno_text("fork");
        restore_env();
        throw SimProcessError(message);
    }
    write_end.reset();
    drainer_ = std::thread([this] { drain(); });

    bool started = false;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        started = changed_.wait_for(lock, options_.startTimeout, [this] { return ready_ || eof_; }) && ready_;
    }
    try {
        if (!started) throw SimProcessError("tavril-sim (" + options_.executable + ") did not start:\n" + output());
        connect_control();
    } catch (...) {
        release();
        throw;
    }
}

SimProcess::~SimProcess() { release(); }

void SimProcess::release() {
    stop();
    if (drainer_.joinable()) drainer_.join();
    restore_env();
    if (ownRuntimeDir_) {
        std::error_code ec;
        std::filesystem::remove_all(runtimeDir_, ec);
    }
}

void SimProcess::restore_env() {
    if (!envExported_) return;
    if (hadEnv_) {
        ::setenv("TAVRIL_RUNTIME_DIR", oldEnv_.c_str(), 1);
    } else {
        ::unsetenv("TAVRIL_RUNTIME_DIR");
    }
    envExported_ = false;
}

std::string SimProcess::interface_folder() const {
    return runtimeDir_ + "/" + tavlib::driver::kInterfaceClassFolder;
}

void SimProcess::drain() {
    char buffer[4096];
    std::string line;
    for (;;) {
        const ssize_t n = ::read(out_.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(mutex_);
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            output_ += c;
            if (c != '\n') {
                line += c;
                continue;
            }
            if (line == kReadyLine) ready_ = true;
            line.clear();
        }
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    eof_ = true;
    changed_.notify_all();
}

std::string SimProcess::output() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

bool SimProcess::wait_for_output(std::string_view text, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return output_.find(text) != std::string::npos || eof_; }) &&
           output_.find(text) != std::string::npos;
}

int SimProcess::stop() {
    control_.reset();
    if (pid_ <= 0) return exitCode_;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) break;
        if (r < 0 && errno != EINTR) {
            status = 0;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    // The last lines it printed are read before output() is asked for them.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(2), [this] { return eof_; });
    return exitCode_;
}

// ---- control ---------------------------------------------------------------

void SimProcess::connect_control() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (controlPath_.size() >= sizeof addr.sun_path) throw SimProcessError("control path too long: " + controlPath_);
    std::memcpy(addr.sun_path, controlPath_.c_str(), controlPath_.size() + 1);
    control_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!control_) throw SimProcessError(errno_text("socket"));
    if (::connect(control_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        throw SimProcessError(errno_text("connect to " + controlPath_));
}

SimReply SimProcess::command(std::string_view line) { return exchange(line, kReplyGuardMs); }

SimReply SimProcess::exchange(std::string_view line, int guardMs) {
    if (!control_) throw SimProcessError("tavril-sim is not running");
    std::string text(line);
    text += '\n';
    for (std::size_t sent = 0; sent < text.size();) {
        const ssize_t n = ::send(control_.get(), text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw SimProcessError(errno_text("control send"));
        sent += static_cast<std::size_t>(n);
    }
    SimReply reply;
    for (;;) {
        const std::size_t end = controlIn_.find('\n');
        if (end != std::string::npos) {
            std::string replyLine = controlIn_.substr(0, end);
            controlIn_.erase(0, end + 1);
            if (replyLine.rfind("ok", 0) == 0 || replyLine.rfind("error", 0) == 0) {
                reply.ok = replyLine.rfind("ok", 0) == 0;
                reply.status = std::move(replyLine);
                return reply;
            }
            reply.lines.push_back(std::move(replyLine));
            continue;
        }
        pollfd pfd{control_.get(), POLLIN, 0};
        const int ready = ::poll(&pfd, 1, guardMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) throw SimProcessError("no reply from tavril-sim to: " + std::string(line));
        char buffer[65536];
        const ssize_t n = ::recv(control_.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw SimProcessError("tavril-sim closed the control connection during: " + std::string(line));
        controlIn_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string SimProcess::ok(std::string_view line) {
    SimReply reply = command(line);
    if (!reply.ok) throw SimProcessError("tavril-sim: '" + std::string(line) + "' -> " + reply.status);
    return reply.status.size() > 3 ? reply.status.substr(3) : std::string{};
}

std::vector<SimDevice> SimProcess::devices() {
    const SimReply reply = command("list");
    if (!reply.ok) throw SimProcessError("tavril-sim: list -> " + reply.status);
    std::vector<SimDevice> out;
    for (const std::string& line : reply.lines) {
        const auto kv = key_values(line);
        out.push_back({number(kv, "id"), kv.count("instrument") ? kv.at("instrument") : "",
                       kv.count("path") ? kv.at("path") : ""});
    }
    return out;
}

SimDevice SimProcess::add_device(std::string_view instrument) {
    const std::string rest = ok(instrument.empty() ? std::string("add") : "add " + std::string(instrument));
    const auto kv = key_values(rest);
    return {number(kv, "id"), instrument.empty() ? "default" : std::string(instrument),
            kv.count("path") ? kv.at("path") : ""};
}

void SimProcess::remove_device(std::uint32_t id) { ok("remove " + std::to_string(id)); }

void SimProcess::set_fault(std::uint32_t id, std::string_view faultText) {
    ok("fault " + std::to_string(id) + " " + std::string(faultText));
}

void SimProcess::clear_faults(std::uint32_t id, std::string_view kind) {
    ok("clear " + std::to_string(id) + " " + std::string(kind));
}

void SimProcess::push(std::uint32_t id, std::string_view text) {
    ok("push " + std::to_string(id) + " " + encode(text));
}

void SimProcess::push_raw(std::uint32_t id, std::string_view bytes) {
    ok("push-raw " + std::to_string(id) + " " + encode(bytes));
}

void SimProcess::set_identity(std::uint32_t id, std::string_view identity) {
    ok("identity " + std::to_string(id) + " " + encode(identity));
}

SimStats SimProcess::stats(std::uint32_t id) {
    const SimReply reply = command("stats " + std::to_string(id));
    if (!reply.ok) throw SimProcessError("tavril-sim: stats -> " + reply.status);
    SimStats stats;
    for (const std::string& line : reply.lines) {
        const std::size_t space = line.find(' ');
        const std::string word = line.substr(0, space);
        const auto kv = key_values(line);
        if (word == "device") {
            stats.summary = kv;
            continue;
        }
        SimEvent e;
        if (word == "open") {
            e.kind = SimEvent::Kind::kOpen;
        } else if (word == "close") {
            e.kind = SimEvent::Kind::kClose;
        } else if (word == "req") {
            e.kind = SimEvent::Kind::kRequest;
        } else if (word == "done") {
            e.kind = SimEvent::Kind::kComplete;
        } else {
            continue;
        }
        e.conn = number(kv, "conn");
        e.type = kv.count("type") ? kv.at("type") : "";
        e.id = number(kv, "id");
        e.arg = number(kv, "arg");
        e.status = number(kv, "status");
        e.count = number(kv, "count");
        e.reason = kv.count("reason") ? kv.at("reason") : "";
        stats.events.push_back(std::move(e));
    }
    return stats;
}

void SimProcess::reset_stats(std::uint32_t id) { ok("reset " + std::to_string(id)); }

void SimProcess::wait(std::uint32_t id, std::string_view condition, std::chrono::milliseconds timeout) {
    const std::string line =
        "wait " + std::to_string(id) + " " + std::string(condition) + " timeout=" + std::to_string(timeout.count());
    const SimReply reply = exchange(line, static_cast<int>(timeout.count()) + kReplyGuardMs);
    if (!reply.ok) throw SimProcessError("tavril-sim: '" + line + "' -> " + reply.status);
}

void SimProcess::set_trace(bool on) { ok(on ? "trace on" : "trace off"); }

}  // namespace tavlib::sim
