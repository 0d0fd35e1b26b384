#include "simulator.h"

#include "control_text.h"
#include "definitions.h"
#include "tavlib/runtime_dir.h"
#include "faults.h"
#include "interface_names.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace tavlib::sim {

namespace {

constexpr std::uint32_t kDefaultWaitMs = 10000;
constexpr std::size_t kMaxControlLine = 1u << 20;

// Where the summaries of `help` begin.
constexpr std::size_t kHelpSummaryColumn = 34;

// True when `word` is one of the blank-separated words of `choices`.
bool is_choice(std::string_view choices, std::string_view word) {
    for (const std::string_view choice : split_words(choices))
        if (choice == word) return true;
    return false;
}

sockaddr_un unix_address(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        throw std::runtime_error("socket path too long (" + std::to_string(path.size()) + " bytes, at most " +
                                 std::to_string(sizeof addr.sun_path - 1) + "): " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return addr;
}

std::string ok_line(const std::string& rest = {}) { return rest.empty() ? "ok" : "ok " + rest; }
std::string error_line(const std::string& what) { return "error " + what; }

}  // namespace

Simulator::Simulator(SimulatorOptions options) : options_(std::move(options)), trace_(options_.trace) {
    if (!options_.out) options_.out = [](const std::string& line) { std::cout << line << std::endl; };
    if (!options_.err) options_.err = [](const std::string& line) { std::cerr << line << std::endl; };

    // A runtime directory that is not private to this user (made first by
    // someone else, a symbolic link, open to others) is refused: its owner
    // could plant a socket or read the instrument's traffic.
    std::string problem;
    folder_ = runtime_dir::ensure_interface_folder(runtime_dir::from_environment(), &problem);
    if (folder_.empty()) throw std::runtime_error("refusing the runtime directory: " + problem);

    instruments_["default"] = std::make_shared<const InstrumentDef>(default_instrument());
    std::vector<std::shared_ptr<const InstrumentDef>> start;
    for (InstrumentDef& def : options_.instruments) {
        auto shared = std::make_shared<const InstrumentDef>(std::move(def));
        instruments_[shared->name] = shared;
        for (unsigned i = 0; i < shared->count; ++i) start.push_back(shared);
    }
    if (options_.instruments.empty())
        for (unsigned i = 0; i < options_.devices; ++i) start.push_back(instruments_["default"]);
    options_.instruments.clear();

    print("tavril-sim: interface folder " + folder_);
    for (const auto& def : start) add_device(def);
    if (options_.tcp) open_tcp();
    if (!options_.control_path.empty()) open_control_socket();
    if (options_.control_stdin) open_stdin();
}

Simulator::~Simulator() {
    tcp_watch_.reset();
    tcp_.fd.reset();
    clients_.clear();
    control_watch_.reset();
    if (control_created_) ::unlink(options_.control_path.c_str());
    devices_.clear();
}

void Simulator::run() { loop_.run(); }

std::vector<std::string> Simulator::device_paths() const {
    std::vector<std::string> paths;
    for (const auto& [number, device] : devices_) paths.push_back(device->path());
    return paths;
}

void Simulator::print(const std::string& line) { options_.out(line); }

void Simulator::trace(const std::string& line) {
    if (!trace_) return;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_)
                        .count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "trace +%lld.%03lld ", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    print(stamp + line);
}

void Simulator::warn(const std::string& line) { options_.err("tavril-sim: " + line); }

// ---- devices ---------------------------------------------------------------

Device& Simulator::add_device(const std::shared_ptr<const InstrumentDef>& def) {
    // Another driver may pick the same name at the same moment; bind then
    // fails and the next name is tried.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const InterfaceName name = next_interface_name(list_folder(folder_), last_number_);
        const std::string path = folder_ + "/" + name.name;
        const sockaddr_un addr = unix_address(path);
        UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            if (errno == EADDRINUSE) {
                last_number_ = name.number;
                continue;
            }
            throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
        }
        last_number_ = name.number;
        if (::listen(fd.get(), 64) != 0) {
            const int e = errno;
            ::unlink(path.c_str());
            throw std::runtime_error("listen on " + path + ": " + std::strerror(e));
        }
        std::unique_ptr<Device> device;
        try {
            device = std::make_unique<Device>(static_cast<DeviceContext&>(*this), name.number, path, std::move(fd), def, options_.stats_limit);
        } catch (...) {
            ::unlink(path.c_str());
            throw;
        }
        Device& ref = *device;
        devices_.emplace(name.number, std::move(device));
        print("tavril-sim: device " + std::to_string(name.number) + " added instrument=" + def->name +
              " path=" + path);
        return ref;
    }
    throw std::runtime_error("no free interface name in " + folder_);
}

void Simulator::device_changed(Device& device) {
    if (waiting_clients_ == 0) return;
    changed_devices_.insert(device.number());
    // Waits are checked once the loop is back from the device, so that an
    // `ok` is sent only after the device has finished reacting.
    if (!wait_check_.pending())
        wait_check_ = loop_.after(std::chrono::milliseconds(0), [this] { check_waits(); });
}

void Simulator::check_waits() {
    const std::set<std::uint32_t> changed = std::move(changed_devices_);
    changed_devices_.clear();
    for (auto& [key, client] : clients_) {
        if (!client->waiting || changed.count(client->wait_device) == 0 || !wait_met(*client)) continue;
        client->waiting = false;
        --waiting_clients_;
        client->wait_timer.reset();
        reply(*client, {ok_line()});
        ControlClient* c = client.get();
        client->resume = loop_.after(std::chrono::milliseconds(0), [this, c] { run_lines(*c); });
    }
}

// ---- TCP port ----------------------------------------------------------------

void Simulator::open_tcp() {
    if (options_.tcp_device == 0) {
        if (devices_.empty())
            throw std::runtime_error("--tcp: no device at start to serve; start one or name it with --tcp-device");
        options_.tcp_device = devices_.begin()->first;
    }
    tcp_ = listen_tcp(options_.tcp_bind, options_.tcp_port);
    tcp_watch_ = loop_.watch(tcp_.fd.get(), EPOLLIN, [this](std::uint32_t) { on_tcp_accept(); });
    print("tavril-sim: tcp " + tcp_.address + " device=" + std::to_string(options_.tcp_device));
}

void Simulator::on_tcp_accept() {
    for (;;) {
        UniqueFd fd(::accept4(tcp_.fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) warn(std::string("TCP accept: ") + std::strerror(errno));
            return;
        }
        std::string peer = tcp_peer_name(fd.get());
        auto it = devices_.find(options_.tcp_device);
        if (it == devices_.end()) {
            warn("TCP client " + peer + " refused: no device " + std::to_string(options_.tcp_device));
            continue;
        }
        // Commands and answers are short lines in lockstep: send each at once.
        const int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        it->second->attach_line_client(std::move(fd), std::move(peer));
    }
}

// ---- control channel -------------------------------------------------------

void Simulator::open_control_socket() {
    const std::string& path = options_.control_path;
    const sockaddr_un addr = unix_address(path);
    {
        // A socket left by a simulator that died is replaced; a live one is not.
        UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe && ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            throw std::runtime_error("control socket " + path + " is in use by another process");
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) throw std::runtime_error("control path " + path + " exists and is not a socket");
            ::unlink(path.c_str());
        }
    }
    control_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!control_) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    if (::bind(control_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot create control socket " + path + ": " + std::strerror(errno));
    control_created_ = true;
    if (::listen(control_.get(), 16) != 0)
        throw std::runtime_error("listen on " + path + ": " + std::strerror(errno));
    control_watch_ = loop_.watch(control_.get(), EPOLLIN, [this](std::uint32_t) { on_control_accept(); });
    print("tavril-sim: control " + path);
}

void Simulator::open_stdin() {
    auto client = std::make_unique<ControlClient>();
    client->key = ++last_client_;
    client->in_fd = STDIN_FILENO;
    client->is_stdin = true;
    const std::uint64_t key = client->key;
    try {
        client->watch = loop_.watch(STDIN_FILENO, EPOLLIN,
                                    [this, key](std::uint32_t events) { on_control_event(key, events); });
    } catch (const std::exception&) {
        throw std::runtime_error("--stdin needs standard input to be a terminal, pipe or socket");
    }
    clients_.emplace(key, std::move(client));
}

void Simulator::on_control_accept() {
    for (;;) {
        const int fd = ::accept4(control_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) warn(std::string("control accept: ") + std::strerror(errno));
            return;
        }
        auto client = std::make_unique<ControlClient>();
        client->key = ++last_client_;
        client->fd.reset(fd);
        client->in_fd = fd;
        const std::uint64_t key = client->key;
        client->watch = loop_.watch(fd, EPOLLIN, [this, key](std::uint32_t events) { on_control_event(key, events); });
        clients_.emplace(key, std::move(client));
    }
}

void Simulator::drop_client(std::uint64_t key) {
    auto it = clients_.find(key);
    if (it == clients_.end()) return;
    if (it->second->waiting) --waiting_clients_;
    clients_.erase(it);
}

void Simulator::on_control_event(std::uint64_t key, std::uint32_t events) {
    auto it = clients_.find(key);
    if (it == clients_.end()) return;
    ControlClient& client = *it->second;
    if ((events & EPOLLOUT) != 0) {
        flush(client);
        if (clients_.count(key) == 0) return;
    }
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0 || client.closing) return;
    char buffer[4096];
    const ssize_t n = ::read(client.in_fd, buffer, sizeof buffer);
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return;
    }
    if (n <= 0) {
        if (client.is_stdin) {
            // EOF on stdin ends the simulator once the lines already read have run.
            client.closing = true;
            client.watch.reset();
            if (!client.in.empty()) client.lines.push_back(std::move(client.in));
            client.in.clear();
            run_lines(client);
        } else {
            drop_client(key);
        }
        return;
    }
    client.in.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = client.in.find('\n', start);
        if (end == std::string::npos) break;
        std::string line = client.in.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        client.lines.push_back(std::move(line));
        start = end + 1;
    }
    client.in.erase(0, start);
    if (client.in.size() > kMaxControlLine) {
        warn("control line longer than " + std::to_string(kMaxControlLine) + " bytes; client dropped");
        drop_client(key);
        return;
    }
    run_lines(client);
}

void Simulator::run_lines(ControlClient& client) {
    const std::uint64_t key = client.key;
    while (!client.waiting && !client.lines.empty() && !quitting_) {
        const std::string line = std::move(client.lines.front());
        client.lines.pop_front();
        Result result = run_command(line, &client);
        // `quit` or a removal may have ended things; the client itself stays.
        if (!result.lines.empty()) reply(client, result.lines);
        if (clients_.count(key) == 0) return;
    }
    if (client.closing && client.lines.empty() && !client.waiting) loop_.stop();
}

void Simulator::reply(ControlClient& client, const std::vector<std::string>& lines) {
    if (client.is_stdin) {
        for (const std::string& line : lines) print(line);
        return;
    }
    for (const std::string& line : lines) {
        client.out += line;
        client.out += '\n';
    }
    flush(client);
}

void Simulator::flush(ControlClient& client) {
    if (client.is_stdin) return;
    while (!client.out.empty()) {
        const ssize_t n = ::send(client.fd.get(), client.out.data(), client.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            client.out.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            client.watch.modify(EPOLLIN | EPOLLOUT);
            return;
        }
        // The client went away; its read side closes it.
        client.out.clear();
        return;
    }
    client.watch.modify(EPOLLIN);
}

std::vector<std::string> Simulator::execute(std::string_view line) {
    return run_command(line, nullptr).lines;
}

Device* Simulator::device_word(std::string_view word, std::vector<std::string>& lines) {
    const std::optional<std::uint32_t> number = parse_u32(word);
    if (!number) {
        lines.push_back(error_line("'" + std::string(word) + "' is not a device number"));
        return nullptr;
    }
    auto it = devices_.find(*number);
    if (it == devices_.end()) {
        lines.push_back(error_line("no device " + std::to_string(*number)));
        return nullptr;
    }
    return it->second.get();
}

std::optional<std::uint64_t> Simulator::wait_value(const Device& device, std::string_view key) const {
    const DeviceStats& stats = device.stats();
    if (key == "requests") return stats.requests();
    if (key == "connections") return device.connection_count();
    if (key == "tcp-clients") return device.line_client_count();
    if (key == "reads-pending") return device.reads_pending();
    if (key == "recoveries") return stats.recoveries();
    if (key == "output-messages") return device.instrument().output_messages();
    if (key == "pending-commands") return device.instrument().pending_commands();
    if (key == "bytes-written") return stats.bytes_written();
    if (key == "bytes-read") return stats.bytes_read();
    return std::nullopt;
}

bool Simulator::wait_met(const ControlClient& client) const {
    auto it = devices_.find(client.wait_device);
    if (it == devices_.end()) return false;
    for (const WaitTerm& term : client.wait_terms) {
        const std::uint64_t value = wait_value(*it->second, term.key).value_or(0);
        const bool met = term.op == '=' ? value == term.value : term.op == '>' ? value >= term.value
                                                                                 : value <= term.value;
        if (!met) return false;
    }
    return true;
}

struct Simulator::Call {
    const ControlCommand& command;
    std::string_view line;
    const std::vector<std::string_view>& words;  // words[0] is the command's name
    ControlClient* client;                       // nullptr for execute()
    Device* device;                              // the device of words[1] when the rule names one
    Result& result;

    std::vector<std::string>& out() { return result.lines; }
    std::size_t argc() const { return words.size() - 1; }
    // The text after `COMMAND DEV `, blanks inside kept.
    std::string_view rest_after_device() const {
        const std::size_t dev_end = static_cast<std::size_t>(words[1].data() + words[1].size() - line.data());
        std::string_view rest = line.substr(dev_end);
        if (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
        return rest;
    }
};

std::span<const Simulator::ControlCommand> Simulator::commands() {
    static constexpr ArgRule kAny{};
    static constexpr ArgRule kDevice{.min = 1, .max = 1, .device = true};
    static constexpr ControlCommand kCommands[] = {
        {"list", "list", "devices: number, instrument, connections, path", {}, kAny, &Simulator::cmd_list},
        {"instruments", "instruments", "the instruments that `add` knows", {}, kAny, &Simulator::cmd_instruments},
        {"add", "add [INSTRUMENT]", "add a device -> ok id=N path=P", {}, {.min = 0, .max = 1},
         &Simulator::cmd_add},
        {"remove", "remove DEV", "remove a device; its connections are closed", {}, kDevice,
         &Simulator::cmd_remove},
        {"fault", "fault DEV KIND [VALUE] [skip=N] [times=N] [on=write,read,ioctl]", {},
         "    KIND: delay MS | partial-write BYTES | zero-read | error CODE |\n"
         "          recover-fail CODE | cancel-ignore MS | drop | no-idn | malformed WAY",
         {.min = 2, .device = true}, &Simulator::cmd_fault},
        {"clear", "clear DEV [KIND|all]", "switch faults off", {}, {.min = 1, .max = 2, .device = true},
         &Simulator::cmd_clear},
        {"faults", "faults DEV", "the faults that are on", {}, kDevice, &Simulator::cmd_faults},
        {"push", "push DEV TEXT", "queue TEXT + CR LF as a response (escapes \\r \\n \\t \\0 \\s \\\\ \\xHH)", {},
         {.min = 1, .device = true}, &Simulator::cmd_push},
        {"push-raw", "push-raw DEV TEXT", "queue exactly TEXT as a response", {}, {.min = 1, .device = true},
         &Simulator::cmd_push},
        {"identity", "identity DEV TEXT", "change what the device answers to *IDN?", {},
         {.min = 2, .device = true}, &Simulator::cmd_identity},
        {"stats", "stats DEV", "summary, then the logged events in order", {}, kDevice, &Simulator::cmd_stats},
        {"reset", "reset DEV", "clear the statistics", {}, kDevice, &Simulator::cmd_reset},
        {"wait", "wait DEV KEY>=N|KEY=N|KEY<=N... [timeout=MS]", {},
         "    KEY: requests connections tcp-clients reads-pending recoveries output-messages\n"
         "         pending-commands bytes-written bytes-read",
         {.min = 2, .channel = true, .device = true}, &Simulator::cmd_wait},
        {"trace", "trace on|off", {}, {}, {.min = 1, .max = 1, .choices = "on off"}, &Simulator::cmd_trace},
        {"quit", "quit", {}, {}, kAny, &Simulator::cmd_quit},
        {"help", "help", "these lines", {}, kAny, &Simulator::cmd_help},
    };
    return kCommands;
}

const Simulator::ControlCommand* Simulator::find_command(std::string_view name) {
    for (const ControlCommand& command : commands())
        if (command.name == name) return &command;
    return nullptr;
}

Simulator::Result Simulator::run_command(std::string_view line, ControlClient* client) {
    Result result;
    std::vector<std::string>& out = result.lines;
    const std::vector<std::string_view> words = split_words(line);
    if (words.empty() || words[0].front() == '#') return result;
    const ControlCommand* command = find_command(words[0]);
    if (command == nullptr) {
        out.push_back(error_line("unknown command '" + std::string(words[0]) + "' (try `help`)"));
        return result;
    }
    const ArgRule& rule = command->args;
    const std::size_t argc = words.size() - 1;
    if (argc < rule.min || argc > rule.max || (!rule.choices.empty() && !is_choice(rule.choices, words[1]))) {
        out.push_back(error_line("usage: " + std::string(command->usage)));
        return result;
    }
    if (rule.channel && client == nullptr) {
        out.push_back(error_line(std::string(command->name) + " needs the control channel"));
        return result;
    }
    Device* device = nullptr;
    if (rule.device && (device = device_word(words[1], out)) == nullptr) return result;
    Call call{*command, line, words, client, device, result};
    (this->*command->handler)(call);
    return result;
}

void Simulator::cmd_help(Call& call) {
    call.out().emplace_back("commands (DEV is a device number as `list` shows it):");
    for (const ControlCommand& command : commands()) {
        std::string text = "  " + std::string(command.usage);
        if (!command.summary.empty()) {
            text.resize(std::max(text.size() + 1, kHelpSummaryColumn), ' ');
            text += command.summary;
        }
        call.out().push_back(std::move(text));
        if (!command.details.empty())
            for (const std::string_view detail : split(command.details, '\n'))
                call.out().push_back("  " + std::string(detail));
    }
    call.out().push_back(ok_line());
}

void Simulator::cmd_list(Call& call) {
    for (const auto& [number, device] : devices_) call.out().push_back(device->summary());
    call.out().push_back(ok_line("devices=" + std::to_string(devices_.size())));
}

void Simulator::cmd_instruments(Call& call) {
    for (const auto& [name, def] : instruments_)
        call.out().push_back("instrument name=" + name + " dialogues=" + std::to_string(def->dialogues.size()) +
                             " identity=" + def->identity);
    call.out().push_back(ok_line());
}

void Simulator::cmd_add(Call& call) {
    const std::string name = call.argc() == 1 ? std::string(call.words[1]) : "default";
    auto it = instruments_.find(name);
    if (it == instruments_.end()) {
        call.out().push_back(error_line("no instrument '" + name + "' (see `instruments`)"));
        return;
    }
    try {
        Device& device = add_device(it->second);
        call.out().push_back(ok_line("id=" + std::to_string(device.number()) + " path=" + device.path()));
    } catch (const std::exception& e) {
        call.out().push_back(error_line(e.what()));
    }
}

void Simulator::cmd_remove(Call& call) {
    const std::uint32_t number = call.device->number();
    // Waits on the device end with an error.
    for (auto& [key, c] : clients_) {
        if (!c->waiting || c->wait_device != number) continue;
        c->waiting = false;
        --waiting_clients_;
        c->wait_timer.reset();
        reply(*c, {error_line("device " + std::to_string(number) + " removed")});
        ControlClient* resumed = c.get();
        c->resume = loop_.after(std::chrono::milliseconds(0), [this, resumed] { run_lines(*resumed); });
    }
    devices_.erase(number);
    print("tavril-sim: device " + std::to_string(number) + " removed");
    call.out().push_back(ok_line());
}

void Simulator::cmd_fault(Call& call) {
    std::string error;
    const std::optional<Fault> fault =
        parse_fault(std::vector<std::string_view>(call.words.begin() + 2, call.words.end()), &error);
    if (!fault) {
        call.out().push_back(error_line(error));
        return;
    }
    call.device->faults().set(*fault);
    if (trace_) trace("dev=" + std::to_string(call.device->number()) + " " + format_fault(*fault));
    call.out().push_back(ok_line(format_fault(*fault)));
}

void Simulator::cmd_clear(Call& call) {
    if (call.argc() == 1 || call.words[2] == "all") {
        call.device->faults().clear_all();
    } else if (const std::optional<FaultKind> kind = fault_kind(call.words[2])) {
        call.device->faults().clear(*kind);
    } else {
        call.out().push_back(error_line("unknown fault '" + std::string(call.words[2]) + "'"));
        return;
    }
    call.out().push_back(ok_line());
}

void Simulator::cmd_faults(Call& call) {
    for (const Fault& fault : call.device->faults().list()) call.out().push_back(format_fault(fault));
    call.out().push_back(ok_line());
}

// `push` and `push-raw`.
void Simulator::cmd_push(Call& call) {
    std::optional<std::string> text = unescape(call.rest_after_device());
    if (!text) {
        call.out().push_back(error_line("bad escape in the text"));
        return;
    }
    if (call.command.name == "push") *text += "\r\n";
    if (text->empty()) {
        call.out().push_back(error_line("push-raw needs at least one byte"));
        return;
    }
    call.device->push_output(std::move(*text));
    call.out().push_back(ok_line());
}

void Simulator::cmd_identity(Call& call) {
    std::optional<std::string> text = unescape(call.rest_after_device());
    if (!text) {
        call.out().push_back(error_line("bad escape in the text"));
        return;
    }
    call.device->instrument().set_identity(std::move(*text));
    call.out().push_back(ok_line());
}

void Simulator::cmd_stats(Call& call) {
    call.out().push_back(call.device->summary());
    for (const StatEvent& event : call.device->stats().events()) call.out().push_back(format_event(event));
    call.out().push_back(ok_line());
}

void Simulator::cmd_reset(Call& call) {
    call.device->stats().reset();
    call.out().push_back(ok_line());
}

void Simulator::cmd_wait(Call& call) {
    std::vector<WaitTerm> terms;
    std::uint32_t timeout_ms = kDefaultWaitMs;
    for (std::size_t i = 2; i < call.words.size(); ++i) {
        const std::string_view word = call.words[i];
        const std::size_t pos = word.find_first_of("<>=");
        std::optional<std::uint32_t> value;
        WaitTerm term{std::string(word.substr(0, pos)), '=', 0};
        if (pos != std::string_view::npos) {
            std::string_view rest = word.substr(pos);
            if (rest.substr(0, 2) == ">=") {
                term.op = '>';
                rest.remove_prefix(2);
            } else if (rest.substr(0, 2) == "<=") {
                term.op = '<';
                rest.remove_prefix(2);
            } else if (rest.front() == '=') {
                rest.remove_prefix(1);
            } else {
                rest = {};
            }
            value = parse_u32(rest);
        }
        if (!value) {
            call.out().push_back(error_line("bad condition '" + std::string(word) + "'"));
            return;
        }
        if (term.key == "timeout" && term.op == '=') {
            timeout_ms = *value;
            continue;
        }
        if (!wait_value(*call.device, term.key)) {
            call.out().push_back(error_line("unknown key '" + term.key + "'"));
            return;
        }
        term.value = *value;
        terms.push_back(std::move(term));
    }
    ControlClient* c = call.client;
    c->wait_device = call.device->number();
    c->wait_terms = std::move(terms);
    if (wait_met(*c)) {
        call.out().push_back(ok_line());
        return;
    }
    c->waiting = true;
    ++waiting_clients_;
    c->wait_timer = loop_.after(std::chrono::milliseconds(timeout_ms), [this, c, timeout_ms] {
        c->waiting = false;
        --waiting_clients_;
        std::string now;
        if (auto it = devices_.find(c->wait_device); it != devices_.end())
            for (const WaitTerm& term : c->wait_terms)
                now += " " + term.key + "=" + std::to_string(wait_value(*it->second, term.key).value_or(0));
        reply(*c, {error_line("timeout after " + std::to_string(timeout_ms) + " ms;" + now)});
        run_lines(*c);
    });
    call.result.deferred = true;
}

void Simulator::cmd_trace(Call& call) {
    trace_ = call.words[1] == "on";
    call.out().push_back(ok_line());
}

void Simulator::cmd_quit(Call& call) {
    call.out().push_back(ok_line());
    quitting_ = true;
    loop_.stop();
}

}  // namespace tavlib::sim
