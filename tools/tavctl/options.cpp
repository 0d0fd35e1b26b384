#include "options.h"

#include <cctype>
#include <sstream>

#include <CLI/CLI.hpp>

#include "tavlib.h"

#ifndef TAVCTL_VERSION
#define TAVCTL_VERSION "0.0.0"
#endif

namespace tavlib::tavctl {
namespace {

std::string join_words(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        if (!text.empty()) text += ' ';
        text += word;
    }
    return text;
}

// The options every device command has in common, bound to one Invocation.
struct SubcommandOptions {
    CLI::App* app = nullptr;
    CLI::Option* timeout = nullptr;
};

SubcommandOptions add_device_command(CLI::App& parent, const char* name, const char* description,
                                     Invocation& invocation, std::uint32_t& timeout,
                                     std::uint32_t largestTimeout) {
    SubcommandOptions options;
    options.app = parent.add_subcommand(name, description);
    options.app->add_option("SLOT", invocation.slot, "Device slot, 0 to 3")
        ->required()
        ->check(CLI::Range(std::uint32_t{0}, std::uint32_t{TAVRIL_SLOT_COUNT - 1}));
    options.timeout =
        options.app
            ->add_option("--timeout", timeout,
                         "Time-out of each transfer in seconds (overrides the global one)")
            ->check(CLI::Range(TAVRIL_MIN_TIMEOUT_SECONDS, largestTimeout));
    return options;
}

}  // namespace

std::string version_text() { return std::string("tavctl ") + TAVCTL_VERSION; }

ParseOutcome parse_command_line(const std::vector<std::string>& args, const std::string& home) {
    Invocation invocation;
    std::uint32_t globalTimeout = kDefaultTimeoutSeconds;
    std::uint32_t commandTimeout = kDefaultTimeoutSeconds;
    std::vector<std::string> words;
    std::string historyFile = home.empty() ? std::string() : home + "/.tavctl_history";
    bool noHistory = false;

    CLI::App app{"Drive a ZQ907 instrument by hand through tavlib.", "tavctl"};
    app.set_version_flag("--version", version_text());
    app.require_subcommand(1);
    CLI::Option* globalTimeoutOption =
        app.add_option("--timeout", globalTimeout,
                       "Time-out of each transfer in seconds, 1 to 60 (default 5)")
            ->check(CLI::Range(TAVRIL_MIN_TIMEOUT_SECONDS, TAVRIL_MAX_TIMEOUT_SECONDS));
    app.add_flag("--trace", invocation.trace, "Print every library call and its result on stderr");
    app.add_flag("--allow-unidentified", invocation.allowUnidentified,
                 "Keep a device that did not name itself as the instrument (query, write, "
                 "read, shell)");

    CLI::App* list = app.add_subcommand("list", "Show the instrument of every slot");

    auto identify = add_device_command(app, "identify", "Open a slot and show its identity",
                                       invocation, commandTimeout, TAVRIL_MAX_TIMEOUT_SECONDS);

    auto query = add_device_command(app, "query", "Send a command and read its response",
                                    invocation, commandTimeout, TAVRIL_MAX_TIMEOUT_SECONDS);
    query.app->add_option("COMMAND", words, "The command line (several words are joined by a blank)")
        ->required();
    query.app->add_option("--mode", invocation.mode, "0 whole response, 1 first line")
        ->check(CLI::Range(0, 1));
    query.app->add_option("--max-bytes", invocation.maxBytes, "Largest response accepted")
        ->check(CLI::Range(std::uint32_t{1}, kLargestMaxBytes));

    auto write = add_device_command(app, "write", "Send one command line without reading",
                                    invocation, commandTimeout, TAVRIL_MAX_TIMEOUT_SECONDS);
    write.app->add_option("TEXT", words, "The line to send (several words are joined by a blank)")
        ->required();

    auto read = add_device_command(app, "read", "Read one response", invocation, commandTimeout,
                                   TAVRIL_MAX_READ_TIMEOUT_SECONDS);
    read.app->add_option("--mode", invocation.mode, "0 text, 1 first line, 2 raw bytes")
        ->check(CLI::Range(0, 2));
    read.app->add_option("--max-bytes", invocation.maxBytes, "Largest response accepted")
        ->check(CLI::Range(std::uint32_t{1}, kLargestMaxBytes));
    std::string outputFile;
    CLI::Option* outputOption =
        read.app->add_option("--output,-o", outputFile, "Write the bytes received to this file");

    auto shell = add_device_command(app, "shell", "Open a slot and send each line typed",
                                    invocation, commandTimeout, TAVRIL_MAX_TIMEOUT_SECONDS);
    shell.app->add_option("--history", historyFile,
                          "History file of the interactive shell (default ~/.tavctl_history)");
    shell.app->add_flag("--no-history", noHistory, "Keep the history in memory only");

    CLI::App* trace = app.add_subcommand("trace", "Show an I/O trace of the library (TAVRIL_TRACE) as a table");
    trace->add_option("FILE", invocation.traceFiles, "The trace file")->required()->expected(1);
    std::uint32_t traceSlot = 0;
    CLI::Option* traceSlotOption =
        trace->add_option("--slot", traceSlot, "Only the calls on this slot")
            ->check(CLI::Range(std::uint32_t{0}, std::uint32_t{TAVRIL_SLOT_COUNT - 1}));
    CLI::Option* errorsOption =
        trace->add_flag("--errors", invocation.errorsOnly, "Only the calls that failed or timed out");
    CLI::Option* followOption =
        trace->add_flag("--follow,-f", invocation.follow, "Wait for more records, as tail -f does");
    trace->add_flag("--summary", invocation.summary,
                    "Per command: count, answers, latency p50/p95/max")
        ->excludes(errorsOption)
        ->excludes(followOption);

    CLI::App* twin = app.add_subcommand(
        "twin", "Write a simulator definitions file that answers as the traced instrument did");
    twin->add_option("FILE", invocation.traceFiles, "The trace files, of one instrument")->required();
    std::string twinOutput;
    twin->add_option("--output,-o", twinOutput, "The definitions file to write")->required();
    std::uint32_t twinSlot = 0;
    CLI::Option* twinSlotOption =
        twin->add_option("--slot", twinSlot, "Only the calls on this slot")
            ->check(CLI::Range(std::uint32_t{0}, std::uint32_t{TAVRIL_SLOT_COUNT - 1}));
    twin->add_option("--name", invocation.twinName, "The instrument's name in the file (default twin)")
        ->check([](const std::string& name) {
            for (const char c : name)
                if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.')
                    return std::string("letters, digits, '_', '-' and '.' only");
            return name.empty() || name.size() > 64 ? std::string("1 to 64 characters") : std::string();
        });

    std::vector<const char*> argv;
    argv.reserve(args.size());
    for (const std::string& arg : args) argv.push_back(arg.c_str());

    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& error) {
        std::ostringstream out;
        std::ostringstream err;
        const int status = app.exit(error, out, err);
        return ParseExit{status == 0 ? kExitOk : kExitUsage, out.str(), err.str()};
    }

    const std::vector<std::pair<CLI::App*, Command>> commands{
        {list, Command::List},          {identify.app, Command::Identify},
        {query.app, Command::Query},    {write.app, Command::Write},
        {read.app, Command::Read},      {shell.app, Command::Shell},
        {trace, Command::Trace},        {twin, Command::Twin},
    };
    CLI::Option* chosenTimeout = nullptr;
    for (const auto& [subcommand, command] : commands) {
        if (subcommand->parsed()) invocation.command = command;
    }
    for (const SubcommandOptions* options : {&identify, &query, &write, &read, &shell}) {
        if (options->app->parsed()) chosenTimeout = options->timeout;
    }

    invocation.timeoutSeconds = kDefaultTimeoutSeconds;
    if (globalTimeoutOption->count() > 0) invocation.timeoutSeconds = globalTimeout;
    if (chosenTimeout != nullptr && chosenTimeout->count() > 0)
        invocation.timeoutSeconds = commandTimeout;

    invocation.text = join_words(words);
    if (outputOption->count() > 0) invocation.outputFile = outputFile;
    if (invocation.command == Command::Twin) invocation.outputFile = twinOutput;
    if (traceSlotOption->count() > 0) invocation.traceSlot = traceSlot;
    if (twinSlotOption->count() > 0) invocation.traceSlot = twinSlot;
    if (invocation.command == Command::Shell && !noHistory && !historyFile.empty())
        invocation.historyFile = historyFile;
    return invocation;
}

}  // namespace tavlib::tavctl
