// The subcommands of tavctl, run against the library.
#pragma once

#include <istream>
#include <ostream>

#include "options.h"

namespace tavlib::tavctl {

struct Console {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    bool interactive;  // stdin is a terminal: the shell prompts and uses readline
};

// Runs one parsed command line; returns the exit status.
int run(const Invocation& invocation, Console& console);

}  // namespace tavlib::tavctl
