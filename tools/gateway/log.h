// One line per event on standard output, whole lines even when several
// ports' threads log at once.
#pragma once

#include <string_view>

namespace tavlib::gateway {

// Writes "tavril-gateway: <text>" and a line end, then flushes.
void log(std::string_view text);

}  // namespace tavlib::gateway
