// The command line of tavctl: what to do, parsed and range-checked, before
// any device is touched.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tavlib::tavctl {

// Exit statuses of tavctl.
inline constexpr int kExitOk = 0;          // everything asked for succeeded
inline constexpr int kExitFailure = 1;     // the library reported a failure
inline constexpr int kExitUsage = 2;       // the command line was not understood
inline constexpr int kExitLocalError = 3;  // a local file could not be written

enum class Command { List, Identify, Query, Write, Read, Shell, Trace, Twin };

// Defaults used when the command line names no value.
inline constexpr std::uint32_t kDefaultTimeoutSeconds = 5;
inline constexpr std::uint32_t kDefaultMaxBytes = 65535;  // one transfer
inline constexpr std::uint32_t kLargestMaxBytes = 64u * 1024u * 1024u;

struct Invocation {
    Command command = Command::List;
    std::uint32_t slot = 0;
    std::string text;  // query: the command; write: the line to send
    std::int32_t mode = 0;
    std::uint32_t maxBytes = kDefaultMaxBytes;
    std::uint32_t timeoutSeconds = kDefaultTimeoutSeconds;
    std::optional<std::string> outputFile;   // read: where the bytes go
    std::optional<std::string> historyFile;  // shell: readline history on disk
    bool trace = false;                      // print every library call on stderr
    bool allowUnidentified = false;          // go on after Open_Tavril's -2

    // trace and twin: the trace files (trace: one), and what they show
    std::vector<std::string> traceFiles;
    std::optional<std::uint32_t> traceSlot;  // only the calls on this slot
    bool errorsOnly = false;                 // trace: failures and time-outs only
    bool follow = false;                     // trace: wait for more, as tail -f
    bool summary = false;                    // trace: per command instead of per call
    std::string twinName = "twin";           // twin: the instrument's name in the file
                                             // (outputFile: where the file goes)
};

// Whether the command works on trace files rather than a device.
inline bool works_on_files(Command command) { return command == Command::Trace || command == Command::Twin; }

// Parsing ended without an invocation: --help, --version or an error.  The
// text is what CLI11 printed for it, `status` the exit status to use.
struct ParseExit {
    int status = kExitOk;
    std::string out;
    std::string err;
};

using ParseOutcome = std::variant<Invocation, ParseExit>;

// Parses argv (argv[0] included).  `home` is the user's home folder, used for
// the default history file of the shell; empty means none.
ParseOutcome parse_command_line(const std::vector<std::string>& args, const std::string& home);

// "tavctl 1.0.0"
std::string version_text();

}  // namespace tavlib::tavctl
