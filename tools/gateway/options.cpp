#include "options.h"

#include <map>
#include <set>
#include <sstream>

#include <CLI/CLI.hpp>

#include "tavlib.h"

#ifndef TAVRIL_GATEWAY_VERSION
#define TAVRIL_GATEWAY_VERSION "0.0.0"
#endif

namespace tavlib::gateway {
namespace {

constexpr const char* kFooter = R"(
Port options: --slot starts the description of one served instrument; the
--port, --write-timeout, --read-timeout, --answer-end, --keepalive and
--idle-limit that follow it belong to it.  Given before the first --slot,
they are the defaults of every port (and --port alone serves slot 0).
Without --slot: slot 0 on port 5025.

Answers: after each line the gateway sends the identity query in the same
write; the messages the instrument sends before its identity are that line's
answer (--answer-end idn, the default).  With --answer-end S an answer ends
after S seconds without output instead, and every line costs that wait.

  tavril-gateway                                     slot 0 on 127.0.0.1:5025
  tavril-gateway --slot 0 --port 5025 --slot 1 --port 5026 --read-timeout 60
  tavril-gateway --bind 0.0.0.0 --allow 192.168.10.0/24 --allow 127.0.0.1
)";

ParseExit refuse(const std::string& message) {
    return {2, "", "tavril-gateway: " + message + "\nRun with --help for more information.\n"};
}

}  // namespace

std::variant<Options, ParseExit> parse_command_line(int argc, const char* const* argv) {
    Options options;
    std::vector<std::uint32_t> slots;
    std::vector<std::uint16_t> ports;
    std::vector<std::uint32_t> writeTimeouts;
    std::vector<std::uint32_t> readTimeouts;
    std::vector<std::uint32_t> answerEnds;
    std::vector<std::uint32_t> keepalives;
    std::vector<std::uint32_t> idleLimits;
    std::vector<std::string> allow;

    CLI::App app{"Serve the instruments of this machine on TCP ports (raw socket convention).",
                 "tavril-gateway"};
    app.set_version_flag("--version", std::string("tavril-gateway ") + TAVRIL_GATEWAY_VERSION);
    app.footer(kFooter);
    const auto repeatable = [&app](const char* name, auto& values, const char* help) {
        return app.add_option(name, values, help)
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    };
    CLI::Option* slotOption =
        repeatable("--slot", slots, "Serve the instrument of slot N, 0 to 3 (repeatable)")
            ->check(CLI::Range(std::uint32_t{0}, std::uint32_t{TAVRIL_SLOT_COUNT - 1}));
    CLI::Option* portOption =
        repeatable("--port", ports, "TCP port of the slot before it (default 5025; 0: any free)");
    CLI::Option* writeOption =
        repeatable("--write-timeout", writeTimeouts,
                   "Time-out of each write transfer in seconds, 1 to 60 (default 5)")
            ->check(CLI::Range(std::uint32_t{TAVRIL_MIN_TIMEOUT_SECONDS},
                               std::uint32_t{TAVRIL_MAX_TIMEOUT_SECONDS}));
    CLI::Option* readOption =
        repeatable("--read-timeout", readTimeouts,
                   "Time-out of each read transfer in seconds, 1 to 3600000 (default 10)")
            ->check(CLI::Range(std::uint32_t{TAVRIL_MIN_TIMEOUT_SECONDS},
                               std::uint32_t{TAVRIL_MAX_READ_TIMEOUT_SECONDS}));
    CLI::Option* answerOption =
        repeatable("--answer-end", answerEnds,
                   "Where an answer ends: idn (default), at the identity query sent after its "
                   "line; or S, 1 to 60, after S seconds without output")
            ->transform(CLI::Transformer(std::map<std::string, std::string>{{"idn", "0"}}))
            ->check(CLI::Range(std::uint32_t{0}, std::uint32_t{60}));
    CLI::Option* keepaliveOption =
        repeatable("--keepalive", keepalives,
                   "TCP keepalive: probe a silent client after S seconds, give it up about S "
                   "seconds later (default 60; 0: off)")
            ->check(CLI::Range(std::uint32_t{0}, std::uint32_t{86400}));
    CLI::Option* idleOption =
        repeatable("--idle-limit", idleLimits,
                   "Disconnect a client that sends no line for S seconds (default 3600; 0: "
                   "never)")
            ->check(CLI::Range(std::uint32_t{0}, std::uint32_t{2592000}));
    app.add_option("--bind", options.bind,
                   "Address to listen on (default 127.0.0.1: this machine only)");
    repeatable("--allow", allow,
               "Serve only peers in this range, ADDR/LEN or ADDR (repeatable; default: all "
               "that reach the bind address)")
        ->check([](const std::string& text) {
            return Network::parse(text) ? std::string() : "not an address range: " + text;
        });
    app.add_option("--max-line", options.maxLine,
                   "Longest command line in bytes, line end not counted (default 1048576); a "
                   "client sending a longer one is disconnected")
        ->check(CLI::Range(std::size_t{1}, std::size_t{64} * 1024 * 1024));
    app.add_option("--max-response", options.maxResponse,
                   "Longest message of an answer passed on, in bytes (default 67108864); a "
                   "longer one is read and dropped")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 30));
    const std::map<std::string, bool> onOff{{"on", true}, {"off", false}};
    app.add_option("--vxi11", options.vxi11,
                   "Serve each slot also as VXI-11 device inst<slot>: on (default) or off")
        ->transform(CLI::CheckedTransformer(onOff));
    app.add_option("--vxi11-port", options.vxi11Port,
                   "TCP port of the VXI-11 core channel (default 0: a free one, which the "
                   "portmapper tells clients)");
    app.add_option("--portmap", options.portmap,
                   "Where VXI-11 clients find the core channel: auto (default: rpcbind when one "
                   "runs, else answer on port 111 ourselves, else none), rpcbind, own or off")
        ->check(CLI::IsMember({"auto", "rpcbind", "own", "off"}));
    app.add_option("--mdns", options.mdns,
                   "Announce the served instruments by mDNS/DNS-SD through Avahi: on (default) "
                   "or off")
        ->transform(CLI::CheckedTransformer(onOff));
    app.add_option("--reopen-tries", options.reopenTries,
                   "Attempts to reopen a slot whose instrument went away, one a second, before "
                   "its port closes (default 300)")
        ->check(CLI::Range(std::uint32_t{1}, std::uint32_t{86400}));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        std::ostringstream out;
        std::ostringstream err;
        const int status = app.exit(error, out, err);
        return ParseExit{status == 0 ? 0 : 2, out.str(), err.str()};
    }

    // Walk the options in the order given: --slot opens a port, the port
    // options after it fill it in, the ones before any --slot are defaults.
    using Setter = void (*)(PortOptions&, std::uint32_t);
    const std::map<const CLI::Option*, std::pair<const std::vector<std::uint32_t>*, Setter>>
        perPort = {
            {writeOption, {&writeTimeouts, [](PortOptions& p, std::uint32_t v) { p.writeTimeout = v; }}},
            {readOption, {&readTimeouts, [](PortOptions& p, std::uint32_t v) { p.readTimeout = v; }}},
            {answerOption, {&answerEnds, [](PortOptions& p, std::uint32_t v) { p.answerQuiet = v; }}},
            {keepaliveOption, {&keepalives, [](PortOptions& p, std::uint32_t v) { p.keepalive = v; }}},
            {idleOption, {&idleLimits, [](PortOptions& p, std::uint32_t v) { p.idleLimit = v; }}},
        };
    PortOptions defaults;
    bool portBeforeSlot = false;
    std::map<const CLI::Option*, std::size_t> taken;
    for (const CLI::Option* option : app.parse_order()) {
        const std::size_t index = taken[option]++;
        PortOptions& target = options.ports.empty() ? defaults : options.ports.back();
        if (option == slotOption) {
            options.ports.push_back(defaults);
            options.ports.back().slot = slots[index];
        } else if (option == portOption) {
            if (options.ports.empty()) portBeforeSlot = true;
            target.port = ports[index];
        } else if (const auto setter = perPort.find(option); setter != perPort.end()) {
            setter->second.second(target, (*setter->second.first)[index]);
        }
    }
    if (options.ports.empty()) {
        options.ports.push_back(defaults);
    } else if (portBeforeSlot) {
        return refuse("--port before the first --slot: write it after the --slot it belongs to");
    }

    std::set<std::uint32_t> seenSlots;
    std::set<std::uint16_t> seenPorts;
    for (const PortOptions& port : options.ports) {
        if (!seenSlots.insert(port.slot).second)
            return refuse("slot " + std::to_string(port.slot) + " is given twice");
        if (port.port != 0 && !seenPorts.insert(port.port).second)
            return refuse("port " + std::to_string(port.port) + " is given twice");
    }
    for (const std::string& text : allow) options.allow.push_back(*Network::parse(text));
    return options;
}

}  // namespace tavlib::gateway
