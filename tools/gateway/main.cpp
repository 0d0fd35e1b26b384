// tavril-gateway: the instruments of this machine on TCP ports, each as a
// raw socket that VISA clients open as TCPIP::host::port::SOCKET.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <list>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include "access.h"
#include "announce.h"
#include "gate.h"
#include "log.h"
#include "options.h"
#include "port.h"
#include "vxi11_service.h"

namespace gateway = tavlib::gateway;

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
    gateway::Gate gate;
    serve.gate = &gate;
    if (!options.allow.empty()) {
        std::string allowed;
        for (const gateway::Network& network : options.allow)
            allowed += (allowed.empty() ? "" : ", ") + network.text();
        gateway::log("serving only peers in " + allowed);
    }

    // Ports that gave up tell the main thread; when none is left, the
    // gateway ends with status 1.
    asio::io_context main;
    std::atomic<std::size_t> open{options.ports.size()};
    bool allClosed = false;
    std::list<gateway::Port> ports;
    try {
        for (const gateway::PortOptions& port : options.ports)
            ports.emplace_back(port, serve, [&main, &open, &allClosed] {
                if (--open == 0)
                    asio::post(main, [&main, &allClosed] {
                        allClosed = true;
                        main.stop();
                    });
            });
    } catch (const asio::system_error& failure) {
        gateway::log(std::string("cannot listen: ") + failure.what());
        return 1;
    }

    std::optional<gateway::Vxi11Service> vxi11;
    if (options.vxi11) {
        gateway::Vxi11Options vxiOptions;
        vxiOptions.port = options.vxi11Port;
        vxiOptions.portmap = *gateway::vxi11::portmap::parse_mode(options.portmap);
        vxiOptions.keepalive = options.ports.front().keepalive;
        std::string why;
        try {
            vxi11.emplace(vxiOptions, serve, ports);
        } catch (const asio::system_error& failure) {
            gateway::log(std::string("cannot listen for VXI-11: ") + failure.what());
            return 1;
        }
        if (!vxi11->start(why)) {
            gateway::log("vxi11: portmapper " + options.portmap + ": " + why);
            return 1;
        }
    }
    std::optional<gateway::Announcer> announcer;
    if (options.mdns) {
        std::vector<gateway::AnnouncedSlot> slots;
        for (const gateway::Port& port : ports) slots.push_back({port.slot(), port.tcp_port()});
        announcer.emplace(serve.bind, std::move(slots));
        announcer->set_vxi11(vxi11 && vxi11->portmapper() != gateway::vxi11::portmap::Mode::off);
        for (const gateway::Port& port : ports) announcer->slot_changed(port.slot(), port.identity());
    }

    // SIGHUP (the terminal gone) and SIGQUIT end it as cleanly as the
    // others: the registration with rpcbind is removed.
    asio::signal_set signals(main, SIGINT, SIGTERM);
#ifndef _WIN32
    signals.add(SIGHUP);
    signals.add(SIGQUIT);
#endif
    signals.async_wait([&main](const asio::error_code&, int) { main.stop(); });
    for (gateway::Port& port : ports) port.start();
    gateway::log("ready");
    main.run();

    announcer.reset();
    // The VXI-11 side works the instruments through the ports: it ends first.
    vxi11.reset();
    for (gateway::Port& port : ports) port.stop();
    ports.clear();  // closes the slots
    gateway::log(allClosed ? "stopped: no port left" : "stopped");
    return allClosed ? 1 : 0;
}
