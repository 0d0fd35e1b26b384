// claims: P processes open and close slot 0 until N opens succeeded in all.
// Each claim (from the return of a successful Open_Tavril to just before
// its Close_Tavril) goes into memory shared by every process; two claims
// that overlap in time mean two owners at once.
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "common.h"
#include "stress.h"
#include "tavlib.h"

namespace tavlib::stress {

namespace {

struct Claim {
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::int64_t openNs = 0;  // the Open_Tavril call that made the claim
    int process = 0;
};

struct Worker {
    int fdsBefore = 0;
    int fdsAfter = 0;
    std::uint64_t opens = 0;
    std::uint64_t refused = 0;  // slot claimed by someone else
    std::uint64_t failures = 0; // any other unexpected result
};

struct Shared {
    std::atomic<int> go{0};
    std::atomic<std::uint64_t> taken{0};
    std::int64_t startNs = 0;
    Worker workers[64];
};

// The claim log follows the Shared block in the mapping.
Claim* claim_log(Shared* shared) { return reinterpret_cast<Claim*>(shared + 1); }

constexpr std::int64_t kRunLimitNs = std::int64_t{1800} * 1000000000;

void work(Shared* shared, int index, std::uint64_t target, std::uint64_t capacity) {
    Worker& me = shared->workers[index];
    const std::int64_t waitUntil = now_ns() + std::int64_t{120} * 1000000000;
    while (shared->go.load() == 0 && now_ns() < waitUntil) ::usleep(1000);
    me.fdsBefore = fd_count();
    const std::int64_t limit = now_ns() + kRunLimitNs;
    while (shared->taken.load() < target && now_ns() < limit) {
        TavrilHandle handle = TAVRIL_INVALID_HANDLE;
        InstrumentIdentity identity{};
        std::uint32_t error = 0;
        const std::int64_t before = now_ns();
        const std::int32_t result = Open_Tavril(0, &handle, &identity, &error);
        const std::int64_t opened = now_ns();
        if (result == TAVRIL_OPEN_OK) {
            const std::uint64_t slot = shared->taken.fetch_add(1);
            const std::int64_t closing = now_ns();
            if (slot < capacity)
                claim_log(shared)[slot] = Claim{opened, closing, opened - before, index};
            ++me.opens;
        } else if (result == TAVRIL_OPEN_FAILED && error == 0) {
            ++me.refused;
            ::sched_yield();
            continue;
        } else {
            if (++me.failures <= 3)
                std::fprintf(stderr, "process %d: Open_Tavril gave %d, error %u\n", index,
                             static_cast<int>(result), static_cast<unsigned>(error));
            if (result != TAVRIL_OPEN_NOT_IDENTIFIED) continue;
        }
        if (Close_Tavril(handle, &error) != TAVRIL_CLOSE_OK) {
            ++me.failures;
            std::fprintf(stderr, "process %d: Close_Tavril failed, error %u\n", index,
                         static_cast<unsigned>(error));
        }
    }
    me.fdsAfter = fd_count();
}

}  // namespace

std::uint64_t run_claims(const ClaimsOptions& options) {
    const std::uint64_t capacity = options.opens + static_cast<std::uint64_t>(options.processes);
    const std::size_t bytes = sizeof(Shared) + capacity * sizeof(Claim);
    void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::runtime_error("mmap of the shared claim log failed");
    auto* shared = new (memory) Shared;

    // The processes are made while this one has no other thread yet; they
    // wait for the simulator.
    std::vector<pid_t> children;
    for (int i = 0; i < options.processes; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            work(shared, i, options.opens, capacity);
            ::_exit(0);
        }
        if (child < 0) throw std::runtime_error("fork failed");
        children.push_back(child);
    }
    Violations violations;
    {
        auto sim = start_simulator(1);
        shared->startNs = now_ns();
        shared->go.store(1);
        for (pid_t child : children) {
            int status = 0;
            while (::waitpid(child, &status, 0) < 0) {
            }
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                violations.add("a claiming process ended abnormally (status " +
                               std::to_string(status) + ")");
        }
    }
    const double seconds = static_cast<double>(now_ns() - shared->startNs) / 1e9;

    const std::uint64_t claimCount = std::min(shared->taken.load(), capacity);
    std::vector<Claim> claims(claim_log(shared), claim_log(shared) + claimCount);
    std::sort(claims.begin(), claims.end(),
              [](const Claim& a, const Claim& b) { return a.start < b.start; });
    std::uint64_t overlaps = 0;
    std::int64_t latestEnd = 0;
    std::vector<std::int64_t> latencies;
    for (const Claim& claim : claims) {
        if (claim.start == 0) continue;  // a claim taken past the capacity
        if (claim.start < latestEnd) ++overlaps;
        latestEnd = std::max(latestEnd, claim.end);
        latencies.push_back(claim.openNs);
    }
    if (claimCount < options.opens)
        violations.add("only " + std::to_string(claimCount) + " opens succeeded");
    if (overlaps != 0) violations.add(std::to_string(overlaps) + " claims overlapped another");

    std::printf("claims: %d processes, %llu successful opens in %.2f s: %.1f opens/s\n",
                options.processes, static_cast<unsigned long long>(claimCount), seconds,
                static_cast<double>(claimCount) / seconds);
    std::printf("claims: overlapping claims (two owners at once): %llu\n",
                static_cast<unsigned long long>(overlaps));
    std::printf("claims: Open_Tavril latency of successful opens: p50 %.3f ms, p99 %.3f ms\n",
                static_cast<double>(percentile(latencies, 0.50)) / 1e6,
                static_cast<double>(percentile(latencies, 0.99)) / 1e6);
    for (int i = 0; i < options.processes; ++i) {
        const Worker& w = shared->workers[i];
        std::printf("claims: process %d: opens %llu, refused (slot claimed) %llu, failures %llu, "
                    "fds before %d after %d\n",
                    i, static_cast<unsigned long long>(w.opens),
                    static_cast<unsigned long long>(w.refused),
                    static_cast<unsigned long long>(w.failures), w.fdsBefore, w.fdsAfter);
        if (w.failures != 0)
            violations.add("process " + std::to_string(i) + " saw " + std::to_string(w.failures) +
                           " unexpected results");
        if (w.fdsAfter > w.fdsBefore)
            violations.add("process " + std::to_string(i) + " has more descriptors after the run");
    }
    ::munmap(memory, bytes);
    return violations.count();
}

}  // namespace tavlib::stress
