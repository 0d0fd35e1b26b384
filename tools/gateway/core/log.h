// One line per event on standard output, whole lines even when several
// threads log at once.
#pragma once

#include <functional>
#include <string_view>

namespace tavlib::gateway {

// Writes "tavril-gateway: <text>" and a line end, then flushes.
void log(std::string_view text);

// From now on the lines go to `sink` instead (tests read them so); an
// empty one sends them to standard output again.
void set_log_sink(std::function<void(std::string_view)> sink);

}  // namespace tavlib::gateway
