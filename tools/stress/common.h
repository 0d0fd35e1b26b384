// Shared parts of tavlib-stress: clocks, process figures, the simulator and
// the tally of violations.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sim_process.h"

namespace tavlib::stress {

// CLOCK_MONOTONIC in nanoseconds: one clock for every process of the run.
std::int64_t now_ns();

// The process's open descriptors and threads.
int fd_count();
int thread_count();

// The memory figure whose growth counts as a leak. Normally the resident
// set. Under a sanitizer it is the heap the program holds: the runtime keeps
// freed blocks in a quarantine of up to 256 MiB, and its shadow grows with
// them, so the resident set there says nothing about what we hold.
struct Memory {
    const char* name;  // "RSS" or "heap in use"
    long kib;
};
Memory memory_in_use();

// The value below which `share` (0..1) of the sorted values lie.
std::int64_t percentile(std::vector<std::int64_t> values, double share);

// A simulator with `devices` devices of the built-in instrument in this
// run's runtime directory (the one the library bound to when it loaded).
std::unique_ptr<sim::SimProcess> start_simulator(int devices);

// Counts violations and prints the first few of them.
class Violations {
public:
    void add(const std::string& what);
    std::uint64_t count() const { return count_; }

private:
    std::uint64_t count_ = 0;
};

// Adds a violation when memory grew by more than `slack_kib` between the two.
void check_memory_flat(const Memory& before, const Memory& after, long slack_kib,
                       Violations& violations);

}  // namespace tavlib::stress
