// Fuzz target: the simulator's control commands, through its command table.
//
// Fuzzes the simulator's control commands.  The input is command lines, one
// per line; a line that begins with a byte below 0x20 (other than tab and CR)
// has that byte replaced by the name of a command from the simulator's
// command table, so that every command is one byte away.  Each input starts
// from the same state, an in-process simulator with two fresh devices: the
// simulator is built anew at the end of an input that changed it (a command
// that changes things replied "ok"), since building one per input would take
// most of the time.  The replies are checked against the table's argument
// rules and a count of the devices, and every reply must keep the control
// channel's framing: single lines, the last one and only it beginning with
// "ok" or "error".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "control_text.h"
#include "definitions.h"
#include "fuzz_check.h"
#include "simulator.h"
#include "tavlib/runtime_dir.h"

namespace {

using namespace tavlib::sim;

constexpr std::size_t kMaxLines = 64;
constexpr std::size_t kStartDevices = 2;

// One instrument that starts a device and one that `add` can add.
constexpr std::string_view kDefinitions = R"(instruments:
  - name: meter
    count: 2
    dialogues:
      - command: "MEAS?"
        response: "+1.0 ANS20"
  - name: spare
    count: 0
    identity: "SPARE,1,2,3"
    faults: ["delay 5 on=read"]
)";

// A private runtime folder for the life of the process.
struct RuntimeDir {
    std::string path;
    RuntimeDir() {
        // Memory-backed when there is one: every rebuild creates and removes sockets.
        const std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string pattern = base + "/tavril-fuzz-XXXXXX";
        FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
        path = pattern;
        ::setenv("TAVRIL_RUNTIME_DIR", path.c_str(), 1);
    }
    ~RuntimeDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// Whether the first word of `line` is `word` (words are separated by spaces
// and tabs).
bool first_word_is(std::string_view line, std::string_view word) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos || line.substr(start, word.size()) != word) return false;
    const std::size_t end = start + word.size();
    return end == line.size() || line[end] == ' ' || line[end] == '\t';
}

std::size_t help_lines() {
    std::size_t lines = 2;  // the heading and "ok"
    for (const ControlCommands::Command& command : ControlCommands::commands()) {
        ++lines;
        if (!command.details.empty()) lines += split(command.details, '\n').size();
    }
    return lines;
}

// The line to run: a leading control byte picks a command from the table.
std::string command_line(std::string_view line) {
    const auto table = ControlCommands::commands();
    if (!line.empty() && static_cast<unsigned char>(line[0]) < 0x20 && line[0] != '\t' && line[0] != '\r') {
        const auto pick = static_cast<unsigned char>(line[0]) % table.size();
        return std::string(table[pick].name) + " " + std::string(line.substr(1));
    }
    return std::string(line);
}

// The commands that change the simulator when they succeed.
bool changes_things(std::string_view name) {
    return name != "help" && name != "list" && name != "instruments" && name != "faults" && name != "stats";
}

// Runs one line and checks its reply; `devices` counts the devices.  Returns
// true when the line may have changed the simulator.
bool run_line(Simulator& sim, const std::string& line, std::size_t& devices) {
    const std::vector<std::string> reply = sim.execute(line);
    const std::vector<std::string_view> words = split_words(line);
    if (words.empty() || words[0].front() == '#') {
        FUZZ_CHECK(reply.empty());
        return false;
    }
    FUZZ_CHECK(!reply.empty());
    for (std::size_t i = 0; i < reply.size(); ++i) {
        FUZZ_CHECK(reply[i].find('\n') == std::string::npos);
        const bool status = first_word_is(reply[i], "ok") || first_word_is(reply[i], "error");
        FUZZ_CHECK(status == (i + 1 == reply.size()));
    }
    const std::string& last = reply.back();
    const bool ok = first_word_is(last, "ok");

    const ControlCommands::Command* command = ControlCommands::find(words[0]);
    if (command == nullptr) {
        FUZZ_CHECK(reply.size() == 1 && last == "error unknown command '" + std::string(words[0]) + "' (try `help`)");
        return false;
    }
    const ControlCommands::ArgRule& rule = command->args;
    const std::size_t argc = words.size() - 1;
    bool choice = rule.choices.empty();
    if (!choice && argc >= 1)
        for (const std::string_view word : split_words(rule.choices)) choice = choice || word == words[1];
    if (argc < rule.min || argc > rule.max || !choice) {
        FUZZ_CHECK(reply.size() == 1 && last == "error usage: " + std::string(command->usage));
        return false;
    }
    if (rule.channel) {
        // execute() has no control channel.
        FUZZ_CHECK(reply.size() == 1 && last == "error " + std::string(command->name) + " needs the control channel");
        return false;
    }
    if (rule.device && !parse_u32(words[1])) {
        FUZZ_CHECK(reply.size() == 1 && last == "error '" + std::string(words[1]) + "' is not a device number");
        return false;
    }
    if (command->name == "add" && ok) ++devices;
    if (command->name == "remove" && ok) {
        FUZZ_CHECK(devices > 0);
        --devices;
    }
    if (command->name == "list") {
        FUZZ_CHECK(ok && last == "ok devices=" + std::to_string(devices));
        FUZZ_CHECK(reply.size() == devices + 1);
    }
    if (command->name == "help") FUZZ_CHECK(ok && reply.size() == help_lines());
    if (command->name == "quit") FUZZ_CHECK(ok);
    FUZZ_CHECK(sim.device_paths().size() == devices);
    return ok && changes_things(command->name);
}

std::unique_ptr<Simulator> fresh_simulator() {
    static const std::vector<InstrumentDef> definitions = parse_definitions(kDefinitions, "fuzz definitions");
    SimulatorOptions options;
    options.runtimeDir = tavlib::runtime_dir::from_environment();
    options.instruments = definitions;
    options.out = [](const std::string&) {};
    options.err = options.out;
    return std::make_unique<Simulator>(std::move(options));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const RuntimeDir runtime;
    static std::unique_ptr<Simulator> sim = fresh_simulator();
    std::size_t devices = kStartDevices;
    FUZZ_CHECK(sim->device_paths().size() == devices);

    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    bool changed = false;
    for (std::size_t n = 0; n < kMaxLines && start <= input.size(); ++n) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        changed = run_line(*sim, command_line(input.substr(start, end - start)), devices) || changed;
        start = end + 1;
    }
    if (changed) {
        // Rebuilt within the input that changed it: the old simulator's
        // memory is freed where the new one's is taken, so the input's
        // allocations balance and libFuzzer's leak check stays quiet.
        sim.reset();  // its sockets go first, so that the new one's numbers start at 1 again
        sim = fresh_simulator();
    }
    return 0;
}
