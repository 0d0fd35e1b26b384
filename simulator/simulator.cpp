#include "simulator.h"

#include "tavlib/runtime_dir.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace tavlib::sim {

namespace {

// A runtime directory that is not private to this user (made first by
// someone else, a symbolic link, open to others) is refused: its owner could
// plant a socket or read the instrument's traffic.
std::string private_interface_folder(const std::string& runtimeDir) {
    std::string problem;
    std::string folder = runtime_dir::ensure_interface_folder(runtimeDir, &problem);
    if (folder.empty()) throw std::runtime_error("refusing the runtime directory: " + problem);
    return folder;
}

}  // namespace

Simulator::Simulator(SimulatorOptions options)
    : options_(std::move(options)),
      trace_(options_.trace),
      devices_(static_cast<DeviceContext&>(*this), private_interface_folder(options_.runtimeDir),
               options_.statsLimit),
      channel_(loop_, {.run = [this](ControlChannel::ClientKey client,
                                     std::string_view line) { return commands_.run(line, client); },
                       .gone = [this](ControlChannel::ClientKey client) { commands_.client_gone(client); },
                       .print = [this](const std::string& line) { print(line); },
                       .warn = [this](const std::string& line) { warn(line); },
                       .inputEnded = [this] { loop_.stop(); }}),
      commands_(loop_, devices_, static_cast<ControlHost&>(*this), channel_) {
    if (!options_.out) options_.out = [](const std::string& line) { std::cout << line << std::endl; };
    if (!options_.err) options_.err = [](const std::string& line) { std::cerr << line << std::endl; };

    const auto builtIn = std::make_shared<const InstrumentDef>(default_instrument());
    devices_.add_instrument(builtIn);
    std::vector<std::shared_ptr<const InstrumentDef>> start;
    for (InstrumentDef& def : options_.instruments) {
        auto shared = std::make_shared<const InstrumentDef>(std::move(def));
        devices_.add_instrument(shared);
        for (unsigned i = 0; i < shared->count; ++i) start.push_back(shared);
    }
    if (options_.instruments.empty())
        for (unsigned i = 0; i < options_.devices; ++i) start.push_back(builtIn);
    options_.instruments.clear();

    print("tavril-sim: interface folder " + devices_.folder());
    for (const auto& def : start) add_device(def);
    if (options_.tcp) open_tcp();
    if (!options_.controlPath.empty()) {
        channel_.listen(options_.controlPath);
        print("tavril-sim: control " + options_.controlPath);
    }
    if (options_.controlStdin) channel_.open_stdin();
}

Simulator::~Simulator() = default;

void Simulator::run() { loop_.run(); }

std::vector<std::string> Simulator::execute(std::string_view line) { return commands_.run(line, 0).lines; }

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

Device& Simulator::add_device(const std::shared_ptr<const InstrumentDef>& def) {
    Device& device = devices_.add(def);
    print("tavril-sim: device " + std::to_string(device.number()) + " added instrument=" + def->name +
          " path=" + device.path());
    return device;
}

void Simulator::remove_device(std::uint32_t number) {
    devices_.remove(number);
    print("tavril-sim: device " + std::to_string(number) + " removed");
}

// ---- TCP port ----------------------------------------------------------------

void Simulator::open_tcp() {
    if (options_.tcpDevice == 0) {
        if (devices_.devices().empty())
            throw std::runtime_error("--tcp: no device at start to serve; start one or name it with --tcp-device");
        options_.tcpDevice = devices_.devices().begin()->first;
    }
    tcp_ = listen_tcp(options_.tcpBind, options_.tcpPort);
    tcpWatch_ = loop_.watch(tcp_.fd.get(), EPOLLIN, [this](std::uint32_t) { on_tcp_accept(); });
    print("tavril-sim: tcp " + tcp_.address + " device=" + std::to_string(options_.tcpDevice));
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
        Device* device = devices_.find(options_.tcpDevice);
        if (device == nullptr) {
            warn("TCP client " + peer + " refused: no device " + std::to_string(options_.tcpDevice));
            continue;
        }
        // Commands and answers are short lines in lockstep: send each at once.
        const int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        device->attach_line_client(std::move(fd), std::move(peer));
    }
}

}  // namespace tavlib::sim
