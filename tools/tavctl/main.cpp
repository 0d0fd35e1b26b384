// tavctl: drive an instrument by hand through tavlib's public interface.
#include <cstdlib>
#include <iostream>
#include <string>
#include <variant>
#include <vector>

#include <unistd.h>

#include "commands.h"
#include "options.h"
#include "tavlib/runtime_dir.h"

namespace tavctl = tavlib::tavctl;

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv, argv + argc);
    const char* home = std::getenv("HOME");
    const tavctl::ParseOutcome parsed = tavctl::parse_command_line(args, home ? home : "");
    if (const auto* exit = std::get_if<tavctl::ParseExit>(&parsed)) {
        std::cout << exit->out;
        std::cerr << exit->err;
        return exit->status;
    }
    // The library refuses a runtime directory that is not private to this
    // user, and every open then fails with ERROR_ACCESS_DENIED.  Say which
    // path is wrong and why instead, before doing anything.
    const auto& invocation = std::get<tavctl::Invocation>(parsed);
    namespace runtime_dir = tavlib::runtime_dir;
    const std::string problem = tavctl::works_on_files(invocation.command)
                                    ? std::string()
                                    : runtime_dir::problem(runtime_dir::from_environment());
    if (!problem.empty()) {
        std::cerr << "tavctl: refusing the runtime directory: " << problem << "\n";
        return 1;
    }
    tavctl::Console console{std::cin, std::cout, std::cerr, isatty(STDIN_FILENO) == 1};
    const int status = tavctl::run(invocation, console);
    std::cout.flush();
    return status;
}
