// threads: T threads on H handles (one simulator device each).  Threads that
// share a handle serialise their transactions with a mutex per handle, as
// the library leaves ordering to the caller.  Every command carries the
// thread's number and a sequence number, which the instrument echoes, so a
// response that went missing, came twice or went to the wrong thread shows.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "instrument_handle.h"
#include "stress.h"
#include "tavlib.h"

namespace tavlib::stress {

namespace {

struct ThreadTally {
    // Which sequence numbers came back; sized before the run, so that the
    // resident set it takes is counted before the run too.
    std::vector<char> seen;
    std::uint64_t done = 0;
    std::uint64_t failed = 0;      // a call did not succeed
    std::uint64_t lost = 0;        // sequence numbers never answered
    std::uint64_t duplicated = 0;  // a response of this thread seen before
    std::uint64_t crossed = 0;     // another command's response
};

struct SharedLine {
    tools::InstrumentHandle handle;
    std::mutex mutex;
};

// One transaction, in one of three shapes: Scmd_Tavril (first line), or
// Write_Tavril and Read_Tavril in text or raw mode.  Answers the response
// line without its CR LF, or false when a call failed.
bool transact(TavrilHandle handle, const std::string& command, std::uint64_t shape,
              std::string* answer) {
    char response[96];
    std::uint32_t count = 0;
    std::uint32_t error = 0;
    constexpr std::uint32_t kMax = sizeof response - 1;
    if (shape == 0) {
        if (Scmd_Tavril(handle, command.c_str(), kMax, TAVRIL_MODE_LINE, 10, 10, response, &error) != 0)
            return false;
        *answer = response;
        return true;
    }
    if (Write_Tavril(handle, command.c_str(), 10, &count, &error) != TAVRIL_WRITE_OK) return false;
    const std::int32_t mode = shape == 1 ? TAVRIL_MODE_TEXT : TAVRIL_MODE_RAW;
    if (Read_Tavril(handle, kMax, mode, 10, response, &count, &error) != TAVRIL_READ_OK) return false;
    answer->assign(response, count);
    if (answer->size() >= 2 && answer->compare(answer->size() - 2, 2, "\r\n") == 0)
        answer->resize(answer->size() - 2);
    return true;
}

void run_thread(SharedLine& line, int me, std::uint64_t count, ThreadTally* tally) {
    std::vector<char>& seen = tally->seen;
    std::uint64_t answered = 0;
    const std::string prefix = "SEQ " + std::to_string(me) + " ";
    for (std::uint64_t seq = 0; seq < count; ++seq) {
        std::string answer;
        bool ok = false;
        {
            std::lock_guard lock(line.mutex);
            ok = transact(line.handle.get(), prefix + std::to_string(seq), seq % 3, &answer);
        }
        ++tally->done;
        if (!ok) {
            ++tally->failed;
            continue;
        }
        unsigned thread = 0;
        unsigned long long number = 0;
        if (std::sscanf(answer.c_str(), "SEQ %u %llu", &thread, &number) != 2 ||
            static_cast<int>(thread) != me) {
            ++tally->crossed;
        } else if (number >= count) {
            ++tally->crossed;
        } else if (seen[number] != 0) {
            ++tally->duplicated;
        } else {
            seen[number] = 1;
            ++answered;
            if (number != seq) ++tally->crossed;
        }
    }
    tally->lost = count - answered;
}

}  // namespace

std::uint64_t run_threads(const ThreadsOptions& options) {
    Violations violations;
    auto sim = start_simulator(options.handles);
    std::vector<SharedLine> lines(static_cast<std::size_t>(options.handles));
    for (int slot = 0; slot < options.handles; ++slot) {
        tools::InstrumentHandle::Opened opened =
            tools::InstrumentHandle::open(static_cast<std::uint32_t>(slot));
        if (opened.result != TAVRIL_OPEN_OK)
            throw std::runtime_error("Open_Tavril of slot " + std::to_string(slot) +
                                     " failed, error " + std::to_string(opened.errorCode));
        lines[static_cast<std::size_t>(slot)].handle = std::move(opened.handle);
    }
    // A warm-up round, so that the figures before exclude first-use growth.
    for (SharedLine& line : lines)
        for (int i = 0; i < 200; ++i) {
            std::string answer;
            transact(line.handle.get(), "WARM " + std::to_string(i), static_cast<std::uint64_t>(i % 3),
                     &answer);
        }
    std::vector<ThreadTally> tallies(static_cast<std::size_t>(options.threads));
    std::vector<std::uint64_t> counts;
    const auto threadCount = static_cast<std::uint64_t>(options.threads);
    for (std::uint64_t t = 0; t < threadCount; ++t) {
        counts.push_back(options.transactions / threadCount +
                         (t < options.transactions % threadCount ? 1 : 0));
        tallies[t].seen.assign(counts.back(), 0);
    }
    const int fdsBefore = fd_count();
    const Memory before = memory_in_use();

    const std::int64_t start = now_ns();
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < options.threads; ++t) {
            const std::uint64_t count = counts[static_cast<std::size_t>(t)];
            threads.emplace_back(run_thread, std::ref(lines[static_cast<std::size_t>(t % options.handles)]),
                                 t, count, &tallies[static_cast<std::size_t>(t)]);
        }
    }
    const double seconds = static_cast<double>(now_ns() - start) / 1e9;
    const int fdsAfter = fd_count();
    const Memory after = memory_in_use();

    ThreadTally total;
    for (const ThreadTally& t : tallies) {
        total.done += t.done;
        total.failed += t.failed;
        total.lost += t.lost;
        total.duplicated += t.duplicated;
        total.crossed += t.crossed;
    }
    // Output nobody read is a response that went astray too.
    std::uint64_t leftover = 0;
    for (const sim::SimDevice& device : sim->devices())
        leftover += sim->stats(device.id).value("output-messages");
    for (SharedLine& line : lines) {
        const tools::InstrumentHandle::Closed closed = line.handle.close();
        if (closed.result != TAVRIL_CLOSE_OK)
            violations.add("Close_Tavril failed, error " + std::to_string(closed.errorCode));
    }

    std::printf("threads: %d threads on %d handles, %llu transactions in %.2f s: %.0f/s\n",
                options.threads, options.handles, static_cast<unsigned long long>(total.done),
                seconds, static_cast<double>(total.done) / seconds);
    std::printf("threads: failed calls %llu\n", static_cast<unsigned long long>(total.failed));
    std::printf("threads: lost %llu, duplicated %llu, crossed %llu, unread output messages %llu\n",
                static_cast<unsigned long long>(total.lost),
                static_cast<unsigned long long>(total.duplicated),
                static_cast<unsigned long long>(total.crossed),
                static_cast<unsigned long long>(leftover));
    std::printf("threads: fds before %d after %d; %s before %ld KiB after %ld KiB\n", fdsBefore,
                fdsAfter, before.name, before.kib, after.kib);
    if (total.done != options.transactions) violations.add("not every transaction ran");
    if (total.failed != 0) violations.add(std::to_string(total.failed) + " calls failed");
    if (total.lost != 0) violations.add(std::to_string(total.lost) + " responses lost");
    if (total.duplicated != 0)
        violations.add(std::to_string(total.duplicated) + " responses duplicated");
    if (total.crossed != 0) violations.add(std::to_string(total.crossed) + " responses crossed");
    if (leftover != 0) violations.add(std::to_string(leftover) + " responses never read");
    if (fdsAfter != fdsBefore) violations.add("descriptor count changed");
    check_memory_flat(before, after, options.memorySlackKib, violations);
    return violations.count();
}

}  // namespace tavlib::stress
