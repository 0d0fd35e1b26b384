// Shared parts of tavlib-stress: clocks, process figures, the simulator and
// the tally of violations.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>

#include "sim_process.h"

namespace tavlib::stress {

// CLOCK_MONOTONIC in nanoseconds: one clock for every process of the run.
std::int64_t now_ns();

// The open descriptors and threads of this process, or of process `pid`.
int fd_count();
int thread_count();
int fd_count(pid_t pid);
int thread_count(pid_t pid);

// Whether this build (and so every program of it) runs under
// AddressSanitizer, or under any sanitizer.
#if defined(__SANITIZE_ADDRESS__)
#define TAVLIB_STRESS_ADDRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVLIB_STRESS_ADDRESS_SANITIZED 1
#endif
#endif
#if defined(TAVLIB_STRESS_ADDRESS_SANITIZED) || defined(__SANITIZE_THREAD__)
#define TAVLIB_STRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAVLIB_STRESS_SANITIZED 1
#endif
#endif

// The memory figure whose growth counts as a leak. Normally the resident
// set. Under a sanitizer it is the heap the program holds: the runtime keeps
// freed blocks in a quarantine of up to 256 MiB, and its shadow grows with
// them, so the resident set there says nothing about what we hold.
struct Memory {
    const char* name;  // "RSS" or "heap in use"
    long kib;
};
Memory memory_in_use();
// The resident set of another process: what can be read of it from outside.
Memory resident_memory(pid_t pid);

// The value below which `share` (0..1) of the sorted values lie.
std::int64_t percentile(std::vector<std::int64_t> values, double share);

// A simulator with `devices` devices of the built-in instrument in this
// run's runtime directory (the one the library bound to when it loaded).
std::unique_ptr<sim::SimProcess> start_simulator(int devices);
// The same with these arguments (a definitions file, say).
std::unique_ptr<sim::SimProcess> start_simulator(std::vector<std::string> args);

// Counts violations and prints the first few of them; threads may share one.
class Violations {
public:
    explicit Violations(std::uint64_t shown = 20) : shown_(shown) {}
    void add(const std::string& what);
    std::uint64_t count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    mutable std::mutex mutex_;
    std::uint64_t count_ = 0;
    std::uint64_t shown_;
};

// Adds a violation when memory grew by more than `slackKib` between the two.
void check_memory_flat(const Memory& before, const Memory& after, long slackKib,
                       Violations& violations);

}  // namespace tavlib::stress
