// tavril-gateway: the instruments of this machine on the network, each as a
// raw socket (TCPIP::host::port::SOCKET) and as a VXI-11 device
// (TCPIP::host::INSTR).
//
// Every front end (the raw-socket ports, the VXI-11 channels, the
// portmapper) runs on one strand of the network's io_context, which one
// thread more than there are slots run; each slot's service runs its
// instrument's exchanges on a worker thread of its own, or a VXI-11 call's
// on the thread that received it, while another takes over the network.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <list>
#include <optional>
#include <string>
#include <variant>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/defer.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include "access.h"
#include "announce.h"
#include "instrument_calls.h"
#include "log.h"
#include "network_threads.h"
#include "open_guard.h"
#include "options.h"
#include "posting.h"
#include "raw_port.h"
#include "slot_service.h"
#include "vxi11_service.h"

namespace gateway = tavlib::gateway;
using namespace std::chrono_literals;

namespace {

// From the signal to the end of the process, at most (but for the log).
constexpr auto kShutdownBound = 1800ms;
// Of that, what the network gets to close its connections.
constexpr auto kNetworkGrace = 300ms;
// How long a VXI-11 call on an instrument may run on a network thread
// before another thread takes over the network.
constexpr auto kCallPatience = 2ms;


gateway::SlotConfig slot_config(const gateway::PortOptions& port, const gateway::ServeOptions& serve) {
    gateway::SlotConfig config;
    config.slot = port.slot;
    config.writeTimeout = port.writeTimeout;
    config.readTimeout = port.readTimeout;
    config.rules = {port.answerQuiet, serve.maxResponse};
    config.reopenTries = serve.reopenTries;
    return config;
}

}  // namespace

int main(int argc, char** argv) {
    const auto parsed = gateway::parse_command_line(argc, argv);
    if (const auto* exit = std::get_if<gateway::ParseExit>(&parsed)) {
        std::fputs(exit->out.c_str(), stdout);
        std::fputs(exit->err.c_str(), stderr);
        return exit->status;
    }
    const gateway::Options& options = std::get<gateway::Options>(parsed);

    asio::error_code error;
    gateway::ServeOptions serve;
    serve.bind = asio::ip::make_address(options.bind, error);
    if (error) {
        gateway::log("--bind " + options.bind + ": not an address");
        return 2;
    }
    const gateway::AccessList access(options.allow);
    serve.access = &access;
    serve.maxLine = options.maxLine;
    serve.maxResponse = options.maxResponse;
    serve.reopenTries = options.reopenTries;
    if (!options.allow.empty()) {
        std::string allowed;
        for (const gateway::Network& network : options.allow)
            allowed += (allowed.empty() ? "" : ", ") + network.text();
        gateway::log("serving only peers in " + allowed);
    }

    gateway::OpenGuard guard;
    asio::io_context io;
    const gateway::NetworkExecutor network = asio::make_strand(io);
    const gateway::Poster poster(network);
    std::list<gateway::SlotService> services;
    std::list<gateway::RawPort> ports;
    std::optional<gateway::Vxi11Service> vxi11;
    std::optional<gateway::Announcer> announcer;
    int status = 0;
    bool ending = false;
    std::size_t open = options.ports.size();
    std::chrono::steady_clock::time_point endBy{};
    asio::steady_timer grace(network);
    // A thread standing by for each slot's call.
    gateway::NetworkThreads threads(io, options.ports.size(), kCallPatience);
    const gateway::SlotService::Runner runner = [&threads, inner = io.get_executor()](std::function<void()> job) {
        // On the thread that received the call, once its handler has
        // returned: the call costs no hand-off to another thread and back.
        asio::defer(inner, [&threads, job = std::move(job)] {
            const gateway::NetworkThreads::Call running = threads.call();
            job();
        });
    };

    // Everything ends within kShutdownBound: the front ends close (and the
    // portmapper's registration goes) at once, the network gets a
    // moment to close its connections, and a slot whose worker is still in
    // a library call is not waited for.
    const auto shut_down = [&](int exitStatus) {
        if (ending) return;
        ending = true;
        status = exitStatus;
        endBy = std::chrono::steady_clock::now() + kShutdownBound;
        for (gateway::SlotService& service : services) service.request_stop();
        if (vxi11) vxi11->stop();
        for (gateway::RawPort& port : ports) port.stop();
        announcer.reset();
        grace.expires_after(kNetworkGrace);
        grace.async_wait([&threads](const asio::error_code&) { threads.stop(); });
    };

    try {
        for (const gateway::PortOptions& port : options.ports) {
            services.emplace_back(slot_config(port, serve), gateway::library_calls(), guard);
            services.back().set_runner(runner);
            // Ports that gave up their instrument: when none is left, the
            // gateway ends with status 1.
            ports.emplace_back(network, poster, port, serve, services.back(), [&] {
                if (--open == 0) shut_down(1);
            });
        }
    } catch (const asio::system_error& failure) {
        gateway::log(std::string("cannot listen: ") + failure.what());
        return 1;
    }

    if (options.vxi11) {
        gateway::Vxi11Options vxiOptions;
        vxiOptions.port = options.vxi11Port;
        vxiOptions.portmap = *gateway::vxi11::portmap::parse_mode(options.portmap);
        vxiOptions.keepalive = options.ports.front().keepalive;
        vxiOptions.idleLimit = options.ports.front().idleLimit;
        std::string why;
        try {
            vxi11.emplace(network, poster, vxiOptions, serve, ports);
        } catch (const asio::system_error& failure) {
            gateway::log(std::string("cannot listen for VXI-11: ") + failure.what());
            return 1;
        }
        if (!vxi11->start(why)) {
            gateway::log("vxi11: portmapper " + options.portmap + ": " + why);
            return 1;
        }
    }
    if (options.mdns) {
        std::vector<gateway::AnnouncedSlot> slots;
        for (const gateway::RawPort& port : ports) slots.push_back({port.slot(), port.tcp_port()});
        announcer.emplace(serve.bind, std::move(slots));
        announcer->set_vxi11(vxi11 && vxi11->portmapper() != gateway::vxi11::portmap::Mode::off);
        for (gateway::SlotService& service : services) {
            announcer->slot_changed(service.slot(), service.identity());
            const std::uint32_t slot = service.slot();
            service.on_identity([&poster, &announcer, slot](const std::optional<gateway::Identity>& identity) {
                poster.post([&announcer, slot, identity] {
                    if (announcer) announcer->slot_changed(slot, identity);
                });
            });
        }
    }

    // Every signal that asks a program to end ends it cleanly (the
    // portmapper's registration goes with it).
    asio::signal_set signals(network, SIGINT, SIGTERM);
#ifdef SIGHUP
    signals.add(SIGHUP);
#endif
#ifdef SIGQUIT
    signals.add(SIGQUIT);
#endif
    signals.async_wait([&](const asio::error_code& signalError, int) {
        if (!signalError) shut_down(0);
    });
    for (gateway::SlotService& service : services) service.start();
    for (gateway::RawPort& port : ports) port.start();
    gateway::log("ready");
    threads.run();
    bool stuck = false;
    if (!threads.join_until(ending ? endBy : std::chrono::steady_clock::now() + kShutdownBound)) {
        gateway::log("a VXI-11 call on an instrument still runs; not waiting for it");
        stuck = true;
    }

    poster.close();
    // The workers end once their current exchange has; one that is still
    // in a library call (a read waiting out a long time-out) is left.
    for (gateway::SlotService& service : services) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(endBy - std::chrono::steady_clock::now());
        if (!service.join(std::max(left, 0ms))) {
            gateway::log("slot " + std::to_string(service.slot()) +
                         ": a call on the instrument still runs; not waiting for it");
            stuck = true;
        }
    }
    const bool allClosed = status == 1;
    gateway::log(allClosed ? "stopped: no port left" : "stopped");
    if (stuck) {
        // The worker still uses its service: the process ends without
        // destroying anything (the system closes the handles).
        std::fflush(stdout);
        std::_Exit(status);
    }
    signals.cancel();
    vxi11.reset();
    ports.clear();
    services.clear();  // closes the slots
    return status;
}
