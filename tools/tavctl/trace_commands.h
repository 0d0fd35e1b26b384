// tavctl trace and tavctl twin: commands on trace files, with no device.
#pragma once

#include <ostream>

#include "options.h"

namespace tavlib::tavctl {

// Shows the trace as a table (or a summary); with follow, waits for more
// records until SIGINT or SIGTERM.  The exit status.
int run_trace(const Invocation& invocation, std::ostream& out, std::ostream& err);

// Writes the twin of the traces to invocation.outputFile.  The exit status.
int run_twin(const Invocation& invocation, std::ostream& out, std::ostream& err);

}  // namespace tavlib::tavctl
