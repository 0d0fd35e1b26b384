// vxi11-test-server: the gateway's VXI-11 channels, portmapper and mDNS
// announcements around a fake instrument (fake_device.h), for real clients
// (pyvisa-py, lxi-tools) in the tests before the gateway's ports serve them.
//
//   vxi11-test-server [--bind ADDR] [--core-port P] [--portmap rpcbind|own|auto|off]
//                     [--advertise] [--max-links N]
//
// Prints "core channel on port P", "abort channel on port P",
// "portmapper: MODE", then "ready"; runs until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include "advertise.h"
#include "fake_device.h"
#include "portmapper.h"
#include "server.h"
#include "vxi11.h"

namespace {

using namespace gateway::vxi11;

void say(std::string_view text) {
    std::cout << "vxi11-test-server: " << text << std::endl;
}

int usage() {
    std::cerr << "usage: vxi11-test-server [--bind ADDR] [--core-port P] "
                 "[--portmap rpcbind|own|auto|off] [--advertise] [--max-links N]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string bind = "127.0.0.1";
    unsigned long corePort = 0;
    portmap::Mode mode = portmap::Mode::automatic;
    bool advertise = false;
    Limits limits;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--bind" && hasValue) bind = argv[++i];
        else if (arg == "--core-port" && hasValue) corePort = std::strtoul(argv[++i], nullptr, 10);
        else if (arg == "--max-links" && hasValue) limits.maxLinks = std::strtoul(argv[++i], nullptr, 10);
        else if (arg == "--portmap" && hasValue) {
            const auto parsed = portmap::parse_mode(argv[++i]);
            if (!parsed) return usage();
            mode = *parsed;
        } else if (arg == "--advertise") advertise = true;
        else return usage();
    }
    if (corePort > 65535) return usage();

    vxi11_test::FakeDevice device(64 * 1024, true);
    Dispatcher dispatcher(limits);
    dispatcher.add_device("inst0", device);
    dispatcher.set_log(say);
    asio::io_context io;
    asio::error_code addressError;
    const asio::ip::address address = asio::ip::make_address(bind, addressError);
    if (addressError) return usage();
    try {
        ChannelServer abort(io, dispatcher, {{address, 0}, Channel::abort, 0, 64, {}, {}, say});
        ChannelServer core(io, dispatcher,
                           {{address, static_cast<std::uint16_t>(corePort)}, Channel::core, 0, 64, {}, {}, say});
        dispatcher.set_abort_port(abort.port());
        say("core channel on port " + std::to_string(core.port()));
        say("abort channel on port " + std::to_string(abort.port()));

        portmap::Portmapper portmapper(io, mode, address,
                                       {{kCoreProgram, kVersion, portmap::kTcp, core.port()}}, nullptr, say);
        std::string error;
        if (!portmapper.start(error)) {
            say("portmapper (" + std::string(portmap::mode_name(mode)) + "): " + error);
            return 1;
        }
        say("portmapper: " + std::string(portmap::mode_name(portmapper.active())));

        Advertiser advertiser(say);
        if (advertise) {
            const std::string name = service_name("FAKE1", "SN000042", 0);
            // The portmapper's port, where VXI-11 clients start; announced
            // only while something answers there.
            if (portmapper.active() != portmap::Mode::off)
                advertiser.advertise({{std::string(kVxi11ServiceType), name, portmap::kPort,
                                       instrument_txt("TAVRIL", "FAKE1", "SN000042", "0.1")}});
            else
                say("mDNS: not announcing VXI-11: no portmapper answers for it");
        }

        asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](const asio::error_code&, int) {
            core.stop();
            abort.stop();
            portmapper.stop();
            io.stop();
        });
        core.start();
        abort.start();
        say("ready");
        io.run();
    } catch (const asio::system_error& failure) {
        say(std::string("cannot listen: ") + failure.what());
        return 1;
    }
    say("stopped");
    return 0;
}
