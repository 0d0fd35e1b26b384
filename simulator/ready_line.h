// The line tavril-sim prints on its standard output once it serves its
// devices: a program that starts it waits for this line before it looks for
// a device.  Scripts and Python helpers match the same text
// (python/sim_process.py, scripts/demo.sh).
#pragma once

#include <string_view>

namespace tavlib::sim {

inline constexpr std::string_view kReadyLine = "tavril-sim: ready";

}  // namespace tavlib::sim
