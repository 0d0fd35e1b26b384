#include "control_commands.h"

#include "control_text.h"
#include "faults.h"

#include <algorithm>

namespace tavlib::sim {

namespace {


// Where the summaries of `help` begin.
constexpr std::size_t kHelpSummaryColumn = 34;

// True when `word` is one of the blank-separated words of `choices`.
bool is_choice(std::string_view choices, std::string_view word) {
    for (const std::string_view choice : split_words(choices))
        if (choice == word) return true;
    return false;
}

std::string ok_line(const std::string& rest = {}) { return rest.empty() ? "ok" : "ok " + rest; }
std::string error_line(const std::string& what) { return "error " + what; }

}  // namespace

struct ControlCommands::Call {
    const Command& command;
    std::string_view line;
    const std::vector<std::string_view>& words;  // words[0] is the command's name
    ClientKey client;                            // 0: not from the control channel
    Device* device;                              // the device of words[1] when the rule names one
    ControlReply& result;

    std::vector<std::string>& out() { return result.lines; }
    std::size_t argc() const { return words.size() - 1; }
    // The text after `COMMAND DEV `, blanks inside kept.
    std::string_view rest_after_device() const {
        const std::size_t devEnd = static_cast<std::size_t>(words[1].data() + words[1].size() - line.data());
        std::string_view rest = line.substr(devEnd);
        if (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
        return rest;
    }
};

ControlCommands::ControlCommands(EventLoop& loop, DeviceSet& devices, ControlHost& host, ControlChannel& channel)
    : loop_(loop), devices_(devices), host_(host), channel_(channel) {}

std::span<const ControlCommands::Command> ControlCommands::commands() {
    static constexpr ArgRule kAny{};
    static constexpr ArgRule kDevice{.min = 1, .max = 1, .device = true};
    static constexpr Command kCommands[] = {
        {"list", "list", "devices: number, instrument, connections, path", {}, kAny, &ControlCommands::cmd_list},
        {"instruments", "instruments", "the instruments that `add` knows", {}, kAny, &ControlCommands::cmd_instruments},
        {"add", "add [INSTRUMENT]", "add a device -> ok id=N path=P", {}, {.min = 0, .max = 1},
         &ControlCommands::cmd_add},
        {"remove", "remove DEV", "remove a device; its connections are closed", {}, kDevice,
         &ControlCommands::cmd_remove},
        {"fault", "fault DEV KIND [VALUE] [skip=N] [times=N] [on=write,read,ioctl]", {},
         "    KIND: delay MS | partial-write BYTES | zero-read | error CODE |\n"
         "          recover-fail CODE | cancel-ignore MS | drop | no-idn | malformed WAY",
         {.min = 2, .device = true}, &ControlCommands::cmd_fault},
        {"clear", "clear DEV [KIND|all]", "switch faults off", {}, {.min = 1, .max = 2, .device = true},
         &ControlCommands::cmd_clear},
        {"faults", "faults DEV", "the faults that are on", {}, kDevice, &ControlCommands::cmd_faults},
        {"push", "push DEV TEXT", "queue TEXT + CR LF as a response (escapes \\r \\n \\t \\0 \\s \\\\ \\xHH)", {},
         {.min = 1, .device = true}, &ControlCommands::cmd_push},
        {"push-raw", "push-raw DEV TEXT", "queue exactly TEXT as a response", {}, {.min = 1, .device = true},
         &ControlCommands::cmd_push},
        {"identity", "identity DEV TEXT", "change what the device answers to *IDN?", {},
         {.min = 2, .device = true}, &ControlCommands::cmd_identity},
        {"stats", "stats DEV", "summary, then the logged events in order", {}, kDevice, &ControlCommands::cmd_stats},
        {"reset", "reset DEV", "clear the statistics", {}, kDevice, &ControlCommands::cmd_reset},
        {"wait", "wait DEV KEY>=N|KEY=N|KEY<=N... [timeout=MS]", {},
         "    KEY: requests connections tcp-clients reads-pending recoveries output-messages\n"
         "         pending-commands bytes-written bytes-read",
         {.min = 2, .channel = true, .device = true}, &ControlCommands::cmd_wait},
        {"trace", "trace on|off", {}, {}, {.min = 1, .max = 1, .choices = "on off"}, &ControlCommands::cmd_trace},
        {"quit", "quit", {}, {}, kAny, &ControlCommands::cmd_quit},
        {"help", "help", "these lines", {}, kAny, &ControlCommands::cmd_help},
    };
    return kCommands;
}

const ControlCommands::Command* ControlCommands::find(std::string_view name) {
    for (const Command& command : commands())
        if (command.name == name) return &command;
    return nullptr;
}

ControlReply ControlCommands::run(std::string_view line, ClientKey client) {
    ControlReply result;
    std::vector<std::string>& out = result.lines;
    const std::vector<std::string_view> words = split_words(line);
    if (words.empty() || words[0].front() == '#') return result;
    const Command* command = find(words[0]);
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
    if (rule.channel && client == 0) {
        out.push_back(error_line(std::string(command->name) + " needs the control channel"));
        return result;
    }
    Device* device = nullptr;
    if (rule.device && (device = device_word(words[1], out)) == nullptr) return result;
    Call call{*command, line, words, client, device, result};
    (this->*command->handler)(call);
    return result;
}

Device* ControlCommands::device_word(std::string_view word, std::vector<std::string>& lines) {
    const std::optional<std::uint32_t> number = parse_u32(word);
    if (!number) {
        lines.push_back(error_line("'" + std::string(word) + "' is not a device number"));
        return nullptr;
    }
    Device* device = devices_.find(*number);
    if (device == nullptr) lines.push_back(error_line("no device " + std::to_string(*number)));
    return device;
}

// ---- waits -----------------------------------------------------------------

std::optional<std::uint64_t> ControlCommands::wait_value(const Device& device, std::string_view key) {
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

bool ControlCommands::wait_met(const Wait& wait) const {
    const Device* device = devices_.find(wait.device);
    if (device == nullptr) return false;
    for (const WaitTerm& term : wait.terms) {
        const std::uint64_t value = wait_value(*device, term.key).value_or(0);
        const bool met = term.op == '=' ? value == term.value : term.op == '>' ? value >= term.value
                                                                                 : value <= term.value;
        if (!met) return false;
    }
    return true;
}

void ControlCommands::device_changed(std::uint32_t number) {
    if (waits_.empty()) return;
    changedDevices_.insert(number);
    // Waits are checked once the loop is back from the device, so that an
    // `ok` is sent only after the device has finished reacting.
    if (!waitCheck_.pending()) waitCheck_ = loop_.after(std::chrono::milliseconds(0), [this] { check_waits(); });
}

void ControlCommands::check_waits() {
    const std::set<std::uint32_t> changed = std::move(changedDevices_);
    changedDevices_.clear();
    std::vector<ClientKey> met;
    for (const auto& [client, wait] : waits_)
        if (changed.count(wait.device) != 0 && wait_met(wait)) met.push_back(client);
    for (const ClientKey client : met) end_wait(client, ok_line());
}

void ControlCommands::end_wait(ClientKey client, std::string line) {
    // The wait (and its timer, which may be the caller) goes after the reply.
    auto node = waits_.extract(client);
    channel_.resume(client, {std::move(line)});
}

// ---- the commands ------------------------------------------------------------

void ControlCommands::cmd_help(Call& call) {
    call.out().emplace_back("commands (DEV is a device number as `list` shows it):");
    for (const Command& command : commands()) {
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

void ControlCommands::cmd_list(Call& call) {
    for (const auto& [number, device] : devices_.devices()) call.out().push_back(device->summary());
    call.out().push_back(ok_line("devices=" + std::to_string(devices_.devices().size())));
}

void ControlCommands::cmd_instruments(Call& call) {
    for (const auto& [name, def] : devices_.instruments())
        call.out().push_back("instrument name=" + name + " dialogues=" + std::to_string(def->dialogues.size()) +
                             " identity=" + def->identity);
    call.out().push_back(ok_line());
}

void ControlCommands::cmd_add(Call& call) {
    const std::string name = call.argc() == 1 ? std::string(call.words[1]) : "default";
    const std::shared_ptr<const InstrumentDef> def = devices_.instrument(name);
    if (!def) {
        call.out().push_back(error_line("no instrument '" + name + "' (see `instruments`)"));
        return;
    }
    try {
        Device& device = host_.add_device(def);
        call.out().push_back(ok_line("id=" + std::to_string(device.number()) + " path=" + device.path()));
    } catch (const std::exception& e) {
        call.out().push_back(error_line(e.what()));
    }
}

void ControlCommands::cmd_remove(Call& call) {
    const std::uint32_t number = call.device->number();
    // Waits on the device end with an error.
    std::vector<ClientKey> waiting;
    for (const auto& [client, wait] : waits_)
        if (wait.device == number) waiting.push_back(client);
    for (const ClientKey client : waiting) end_wait(client, error_line("device " + std::to_string(number) + " removed"));
    host_.remove_device(number);
    call.out().push_back(ok_line());
}

void ControlCommands::cmd_fault(Call& call) {
    std::string error;
    const std::optional<Fault> fault =
        parse_fault(std::vector<std::string_view>(call.words.begin() + 2, call.words.end()), &error);
    if (!fault) {
        call.out().push_back(error_line(error));
        return;
    }
    call.device->faults().set(*fault);
    if (host_.tracing()) host_.trace("dev=" + std::to_string(call.device->number()) + " " + format_fault(*fault));
    call.out().push_back(ok_line(format_fault(*fault)));
}

void ControlCommands::cmd_clear(Call& call) {
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

void ControlCommands::cmd_faults(Call& call) {
    for (const Fault& fault : call.device->faults().list()) call.out().push_back(format_fault(fault));
    call.out().push_back(ok_line());
}

// The text at the end of `push`, `push-raw` and `identity`, decoded; on a
// bad escape, nullopt and the error reply.
std::optional<std::string> ControlCommands::text_argument(Call& call) {
    std::optional<std::string> text = unescape(call.rest_after_device());
    if (!text) call.out().push_back(error_line("bad escape in the text"));
    return text;
}

// `push` and `push-raw`.
void ControlCommands::cmd_push(Call& call) {
    std::optional<std::string> text = text_argument(call);
    if (!text) return;
    if (call.command.name == "push") *text += "\r\n";
    if (text->empty()) {
        call.out().push_back(error_line("push-raw needs at least one byte"));
        return;
    }
    call.device->push_output(std::move(*text));
    call.out().push_back(ok_line());
}

void ControlCommands::cmd_identity(Call& call) {
    std::optional<std::string> text = text_argument(call);
    if (!text) return;
    call.device->instrument().set_identity(std::move(*text));
    call.out().push_back(ok_line());
}

void ControlCommands::cmd_stats(Call& call) {
    call.out().push_back(call.device->summary());
    for (const StatEvent& event : call.device->stats().events()) call.out().push_back(format_event(event));
    call.out().push_back(ok_line());
}

void ControlCommands::cmd_reset(Call& call) {
    call.device->stats().reset();
    call.out().push_back(ok_line());
}

void ControlCommands::cmd_wait(Call& call) {
    std::vector<WaitTerm> terms;
    std::uint32_t timeoutMs = kDefaultWaitMs;
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
            timeoutMs = *value;
            continue;
        }
        if (!wait_value(*call.device, term.key)) {
            call.out().push_back(error_line("unknown key '" + term.key + "'"));
            return;
        }
        term.value = *value;
        terms.push_back(std::move(term));
    }
    Wait wait{call.device->number(), std::move(terms), {}};
    if (wait_met(wait)) {
        call.out().push_back(ok_line());
        return;
    }
    const ClientKey client = call.client;
    wait.timer = loop_.after(std::chrono::milliseconds(timeoutMs), [this, client, timeoutMs] {
        const Wait& expired = waits_.at(client);
        std::string now;
        if (const Device* device = devices_.find(expired.device))
            for (const WaitTerm& term : expired.terms)
                now += " " + term.key + "=" + std::to_string(wait_value(*device, term.key).value_or(0));
        end_wait(client, error_line("timeout after " + std::to_string(timeoutMs) + " ms;" + now));
    });
    waits_.insert_or_assign(client, std::move(wait));
    call.result.deferred = true;
}

void ControlCommands::cmd_trace(Call& call) {
    host_.set_tracing(call.words[1] == "on");
    call.out().push_back(ok_line());
}

void ControlCommands::cmd_quit(Call& call) {
    call.out().push_back(ok_line());
    channel_.stop();
    host_.quit();
}

}  // namespace tavlib::sim
