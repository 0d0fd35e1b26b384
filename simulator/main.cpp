// tavril-sim: the simulated instrument and its driver, for Linux machines
// without the hardware.  See README.md.
#include "definitions.h"
#include "ready_line.h"
#include "simulator.h"
#include "tavlib/runtime_dir.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

std::atomic<tavlib::sim::Simulator*> g_simulator{nullptr};
static_assert(std::atomic<tavlib::sim::Simulator*>::is_always_lock_free);
volatile std::sig_atomic_t g_stop_requested = 0;

extern "C" void on_stop_signal(int) {
    g_stop_requested = 1;
    if (tavlib::sim::Simulator* simulator = g_simulator.load()) simulator->request_stop();
}

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tavril-sim: simulated instrument devices behind the Linux driver interface"};
    std::string definitions;
    std::string runtime_dir;
    tavlib::sim::SimulatorOptions options;
    bool checkOnly = false;
    app.add_option("-d,--definitions", definitions, "YAML file describing the instruments")->check(CLI::ExistingFile);
    auto* devices = app.add_option("-n,--devices", options.devices,
                                   "devices of the built-in instrument at start (without --definitions)")
                        ->check(CLI::Range(0u, 64u));
    app.add_option("-c,--control", options.controlPath, "Unix socket for control commands");
    app.add_flag("--stdin", options.controlStdin, "also read control commands from stdin; EOF ends the simulator");
    app.add_flag("-t,--trace", options.trace, "print every request and completion");
    std::string tcp_port;  // empty after a bare --tcp
    auto* tcp = app.add_option("--tcp", tcp_port,
                               "also serve one device's instrument on a TCP raw socket (default port 5025; "
                               "0: a free port, printed at start)")
                    ->expected(0, 1)
                    ->check(CLI::Range(0, 65535));
    auto* tcpBind = app.add_option("--tcp-bind", options.tcpBind, "address the TCP port listens on (default 127.0.0.1)");
    auto* tcpDevice = app.add_option("--tcp-device", options.tcpDevice,
                                      "device number served on the TCP port (default: the first at start)")
                           ->check(CLI::Range(1u, 4294967295u));
    app.add_option("--runtime-dir", runtime_dir, "runtime directory (instead of $TAVRIL_RUNTIME_DIR)");
    app.add_option("--stats-limit", options.statsLimit, "events kept per device for `stats`")
        ->check(CLI::Range(0u, 10'000'000u));
    app.add_flag("--check", checkOnly, "only check the definitions file, then exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help exits with 0; every mistake on the command line with 2.
        return app.exit(e) == 0 ? 0 : 2;
    }

    if (!definitions.empty() && devices->count() > 0) {
        std::cerr << "tavril-sim: --devices cannot be combined with --definitions; set 'count' in the file\n";
        return 2;
    }
    options.tcp = tcp->count() > 0;
    if (options.tcp && !tcp_port.empty()) options.tcpPort = static_cast<std::uint16_t>(std::stoul(tcp_port));
    if (!options.tcp && (tcpBind->count() > 0 || tcpDevice->count() > 0)) {
        std::cerr << "tavril-sim: --tcp-bind and --tcp-device need --tcp\n";
        return 2;
    }
    // Read once, here: the simulator takes the directory as an option.
    options.runtimeDir = runtime_dir.empty() ? tavlib::runtime_dir::from_environment() : runtime_dir;

    try {
        if (!definitions.empty()) options.instruments = tavlib::sim::load_definitions_file(definitions);
    } catch (const tavlib::sim::DefinitionError& e) {
        std::cerr << "tavril-sim: " << e.what() << '\n';
        return 1;
    }
    if (checkOnly) {
        std::cout << "tavril-sim: " << (definitions.empty() ? "no definitions file given" : definitions + ": ok")
                  << '\n';
        return 0;
    }

    install_signal_handlers();
    try {
        tavlib::sim::Simulator simulator(std::move(options));
        g_simulator = &simulator;
        if (g_stop_requested != 0) simulator.request_stop();
        std::cout << tavlib::sim::kReadyLine << std::endl;
        simulator.run();
        g_simulator = nullptr;
    } catch (const std::exception& e) {
        g_simulator = nullptr;
        std::cerr << "tavril-sim: " << e.what() << '\n';
        return 1;
    }
    std::cout << "tavril-sim: stopped" << std::endl;
    return 0;
}
