#include "common.h"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <utility>

#ifdef TAVLIB_STRESS_SANITIZED
// Part of every sanitizer runtime's public interface; GCC ships no header
// that declares it.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace tavlib::stress {

std::int64_t now_ns() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

namespace {

// The entries of a folder of /proc ("self" or a process number).
int fd_entries(const std::string& process) {
    DIR* dir = ::opendir(("/proc/" + process + "/fd").c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count;
}

long status_field(const std::string& process, const std::string& key) {
    std::ifstream status("/proc/" + process + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

}  // namespace

int fd_count() {
    const int entries = fd_entries("self");
    return entries < 0 ? -1 : entries - 1;  // the directory's own descriptor
}

int fd_count(pid_t pid) { return fd_entries(std::to_string(pid)); }

int thread_count() { return static_cast<int>(status_field("self", "Threads:")); }

int thread_count(pid_t pid) { return static_cast<int>(status_field(std::to_string(pid), "Threads:")); }

Memory memory_in_use() {
#ifdef TAVLIB_STRESS_SANITIZED
    return {"heap in use", static_cast<long>(__sanitizer_get_current_allocated_bytes() / 1024)};
#else
    return {"RSS", status_field("self", "VmRSS:")};
#endif
}

Memory resident_memory(pid_t pid) { return {"RSS", status_field(std::to_string(pid), "VmRSS:")}; }

std::int64_t percentile(std::vector<std::int64_t> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    return values[index];
}

std::unique_ptr<sim::SimProcess> start_simulator(int devices) {
    return start_simulator({"--devices", std::to_string(devices)});
}

std::unique_ptr<sim::SimProcess> start_simulator(std::vector<std::string> args) {
    sim::SimOptions options;
    const char* dir = std::getenv("TAVRIL_RUNTIME_DIR");
    options.runtimeDir = dir != nullptr ? dir : "";
    options.args = std::move(args);
    return std::make_unique<sim::SimProcess>(options);
}

void check_memory_flat(const Memory& before, const Memory& after, long slackKib,
                       Violations& violations) {
    if (after.kib - before.kib > slackKib)
        violations.add(std::string(before.name) + " grew by " + std::to_string(after.kib - before.kib) +
                       " KiB");
}

void Violations::add(const std::string& what) {
    std::lock_guard lock(mutex_);
    if (++count_ <= shown_) std::fprintf(stderr, "VIOLATION: %s\n", what.c_str());
    if (count_ == shown_ + 1) std::fprintf(stderr, "(further violations are counted, not shown)\n");
}

}  // namespace tavlib::stress
