#include "shell_line.h"

#include <array>
#include <charconv>

#include "options.h"
#include "tavlib.h"

namespace tavlib::tavctl {
namespace {

constexpr std::string_view kBlanks = " \t\r\n";

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool parse_number(std::string_view text, std::uint32_t& value) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

ShellLine invalid(std::string text) { return {ShellAction::Invalid, std::move(text), 0}; }

// A shell word that takes a number between `lowest` and `highest`.
ShellLine numeric(ShellAction action, std::string_view word, std::string_view argument,
                  std::uint32_t lowest, std::uint32_t highest) {
    std::uint32_t value = 0;
    if (parse_number(argument, value) && value >= lowest && value <= highest)
        return {action, {}, value};
    // Built with append(): GCC 12 warns falsely (-Wrestrict) on "text" + std::string at -O2.
    std::string complaint(":");
    complaint.append(word).append(" takes a number from ").append(std::to_string(lowest));
    complaint.append(" to ").append(std::to_string(highest));
    return invalid(std::move(complaint));
}

}  // namespace

ShellLine parse_shell_line(std::string_view line) {
    const std::string_view content = trim(line);
    if (content.empty()) return {};
    if (content.starts_with("::")) return {ShellAction::Transaction, std::string(content.substr(1)), 0};
    if (!content.starts_with(':')) return {ShellAction::Transaction, std::string(content), 0};

    const auto wordEnd = content.find_first_of(kBlanks);
    const std::string_view word = content.substr(1, wordEnd == std::string_view::npos
                                                        ? std::string_view::npos
                                                        : wordEnd - 1);
    const std::string_view argument =
        wordEnd == std::string_view::npos ? std::string_view() : trim(content.substr(wordEnd));
    const bool bare = argument.empty();

    if (word == "quit" || word == "exit" || word == "q")
        return bare ? ShellLine{ShellAction::Quit, {}, 0} : invalid(":quit takes no argument");
    if (word == "help")
        return bare ? ShellLine{ShellAction::Help, {}, 0} : invalid(":help takes no argument");
    if (word == "read")
        return bare ? ShellLine{ShellAction::Read, {}, 0} : invalid(":read takes no argument");
    if (word == "identify")
        return bare ? ShellLine{ShellAction::Identify, {}, 0}
                    : invalid(":identify takes no argument");
    if (word == "settings")
        return bare ? ShellLine{ShellAction::Settings, {}, 0}
                    : invalid(":settings takes no argument");
    if (word == "write")
        return bare ? invalid(":write needs the text to send")
                    : ShellLine{ShellAction::Write, std::string(argument), 0};
    if (word == "mode") return numeric(ShellAction::SetMode, word, argument, 0, 1);
    if (word == "timeout")
        return numeric(ShellAction::SetTimeout, word, argument, TAVRIL_MIN_TIMEOUT_SECONDS,
                       TAVRIL_MAX_TIMEOUT_SECONDS);
    if (word == "max-bytes")
        return numeric(ShellAction::SetMaxBytes, word, argument, 1, kLargestMaxBytes);

    // Not one of ours: an instrument command that starts at the root (":SYST:ERR?").
    return {ShellAction::Transaction, std::string(content), 0};
}

std::string_view shell_help() {
    return "Each line is sent to the instrument and its response read (Scmd_Tavril).\n"
           "Shell commands:\n"
           "  :read            read one response (Read_Tavril)\n"
           "  :write TEXT      send TEXT without reading (Write_Tavril)\n"
           "  :identify        ask for the identity again (Conf_Tavril)\n"
           "  :mode N          0 whole response, 1 first line only\n"
           "  :timeout S       time-out of each transfer, 1 to 60 seconds\n"
           "  :max-bytes N     largest response accepted\n"
           "  :settings        show mode, time-out and largest response\n"
           "  :help            this text\n"
           "  :quit            close the slot and leave (so does end of input)\n"
           "A line starting with \"::\" is sent with one colon removed.\n";
}

}  // namespace tavlib::tavctl
