// What one line typed into `tavctl shell` asks for.  Lines are commands for
// the instrument unless they start with one of the shell's own words
// (":read", ":write TEXT", ...).  Instrument commands may themselves start
// with a colon (":MEAS:VOLT?"), so only the words below are taken; any other
// line goes to the instrument as typed, and "::" sends a line that starts
// with a single colon even when it spells one of the shell's words.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavlib::tavctl {

enum class ShellAction {
    Nothing,      // blank line
    Transaction,  // send `text` and read its response (Scmd_Tavril)
    Write,        // :write TEXT
    Read,         // :read
    Identify,     // :identify (Conf_Tavril)
    SetMode,      // :mode N       (0 or 1)
    SetTimeout,   // :timeout S    (1 to 60)
    SetMaxBytes,  // :max-bytes N
    Settings,     // :settings
    Help,         // :help
    Quit,         // :quit, :exit
    Invalid,      // a shell word used wrongly; `text` says why
};

struct ShellLine {
    ShellAction action = ShellAction::Nothing;
    std::string text;         // the command, the line to write or the complaint
    std::uint32_t value = 0;  // the number of :mode, :timeout, :max-bytes
};

ShellLine parse_shell_line(std::string_view line);

// The text printed for :help.
std::string_view shell_help();

}  // namespace tavlib::tavctl
