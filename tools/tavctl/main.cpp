// tavctl: drive an instrument by hand through tavlib's public interface.
#include <cstdlib>
#include <iostream>
#include <string>
#include <variant>
#include <vector>

#include <unistd.h>

#include "commands.h"
#include "options.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv, argv + argc);
    const char* home = std::getenv("HOME");
    const tavctl::ParseOutcome parsed = tavctl::parse_command_line(args, home ? home : "");
    if (const auto* exit = std::get_if<tavctl::ParseExit>(&parsed)) {
        std::cout << exit->out;
        std::cerr << exit->err;
        return exit->status;
    }
    tavctl::Console console{std::cin, std::cout, std::cerr, isatty(STDIN_FILENO) == 1};
    const int status = tavctl::run(std::get<tavctl::Invocation>(parsed), console);
    std::cout.flush();
    return status;
}
