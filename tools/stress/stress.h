// The three runs of tavlib-stress.  Each prints its figures and answers the
// number of violations it saw (0: the run passed).
#pragma once

#include <cstdint>

namespace tavlib::stress {

struct ClaimsOptions {
    int processes = 8;
    std::uint64_t opens = 10000;
};
std::uint64_t run_claims(const ClaimsOptions& options);

struct ThreadsOptions {
    int threads = 8;
    int handles = 4;
    std::uint64_t transactions = 100000;
    long memory_slack_kib = 4096;
};
std::uint64_t run_threads(const ThreadsOptions& options);

struct SoakOptions {
    double seconds = 60;
    std::uint64_t seed = 0;  // 0: from the clock
    double fault_share = 0.35;
    long memory_slack_kib = 4096;
};
std::uint64_t run_soak(const SoakOptions& options);

}  // namespace tavlib::stress
