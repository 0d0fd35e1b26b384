// What the I/O trace costs a call, in one run against one simulated
// instrument: each transaction with the trace off and with TAVRIL_TRACE
// set, for three sizes of answer.
//
//   tavlib_trace_bench [--trials N] [--seconds S] [--against DIR]
//
// The trace is read when the library loads, so each figure comes from a
// child process of this program (off and on alternate, N trials each,
// default 5); the table shows the medians.  With --against, DIR holds
// another build's libtavlib.so.1 (one from before the trace, say), and a
// first column measures it too, in the same rounds: the children find it
// through LD_LIBRARY_PATH, which the loader searches before this program's
// RUNPATH.  The transactions:
//   Close_Tavril(-1)  a call that reaches no instrument (it returns at its
//                   first test), for S seconds: the trace's own cost and
//                   nothing else;
//   *IDN?           Scmd_Tavril, a 30-byte answer in line mode, for S
//                   seconds (default 1);
//   DATA? 4096      Write_Tavril, then Read_Tavril of the 4096 bytes in raw
//                   mode, for S seconds;
//   DATA? 67108864  the same with 64 MiB, three times (the record keeps the
//                   first 4096 bytes and a SHA-256 of the rest).
// The trace file lies in the benchmark's runtime directory; "bytes" is what
// it grew by per transaction.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "isolated_run.h"
#include "sim_process.h"
#include "tavlib.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kLargeAnswer = 64u * 1024u * 1024u;
constexpr int kLargeTransactions = 3;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

struct Kind {
    const char* name;  // as the child is told
    const char* label;
};
constexpr Kind kKinds[] = {
    {"close", "Close_Tavril(-1), no instrument"},
    {"idn", "*IDN? (Scmd_Tavril, 30-byte answer)"},
    {"4k", "DATA? 4096 (Write_Tavril + Read_Tavril raw)"},
    {"64m", "DATA? 67108864 (Write_Tavril + Read_Tavril raw)"},
};

// The child: opens slot 0, runs the transactions of `kind` and prints the
// microseconds per transaction and their count.
int run_child(const std::string& kind, double seconds) {
    TavrilHandle handle = TAVRIL_INVALID_HANDLE;
    InstrumentIdentity identity{};
    std::uint32_t error = 0;
    if (kind != "close")
        check(Open_Tavril(0, &handle, &identity, &error) == TAVRIL_OPEN_OK, "Open_Tavril failed");
    const std::uint32_t size = kind == "64m" ? kLargeAnswer : 4096;
    std::vector<char> buffer(size + 1);
    const std::string command = "DATA? " + std::to_string(size);
    const auto transaction = [&] {
        if (kind == "close") {
            check(Close_Tavril(TAVRIL_INVALID_HANDLE, &error) == TAVRIL_CLOSE_FAILED, "Close_Tavril(-1)");
            return;
        }
        if (kind == "idn") {
            check(Scmd_Tavril(handle, "*IDN?", 256, TAVRIL_MODE_LINE, 10, 10, buffer.data(), &error) == 0,
                  "Scmd_Tavril failed");
            return;
        }
        std::uint32_t count = 0;
        check(Write_Tavril(handle, command.c_str(), 10, &count, &error) == 0, "Write_Tavril failed");
        check(Read_Tavril(handle, size, TAVRIL_MODE_RAW, 30, buffer.data(), &count, &error) == 0 &&
                  count == size,
              "Read_Tavril failed");
    };
    for (int i = 0; i < (kind == "64m" ? 1 : 100); ++i) transaction();  // warm-up

    long count = 0;
    const Clock::time_point start = Clock::now();
    Clock::time_point now;
    if (kind == "64m") {
        for (; count < kLargeTransactions; ++count) transaction();
        now = Clock::now();
    } else {
        const Clock::time_point deadline =
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        do {
            for (int i = 0; i < 50; ++i) transaction();
            count += 50;
            now = Clock::now();
        } while (now < deadline);
    }
    if (kind != "close") Close_Tavril(handle, &error);
    const double elapsed = std::chrono::duration<double>(now - start).count();
    std::printf("%.3f %ld\n", 1e6 * elapsed / static_cast<double>(count), count);
    return 0;
}

struct Figure {
    double microseconds;
    long transactions;
};

// Runs a child of `self` for `kind`, with TAVRIL_TRACE = `trace` (unset if
// empty) and the library of `libraryDir` (this build's if empty).
Figure measure(const std::string& self, const Kind& kind, double seconds, const std::string& trace,
               const std::string& libraryDir = {}) {
    if (trace.empty())
        ::unsetenv("TAVRIL_TRACE");
    else
        ::setenv("TAVRIL_TRACE", trace.c_str(), 1);
    if (libraryDir.empty())
        ::unsetenv("LD_LIBRARY_PATH");
    else
        ::setenv("LD_LIBRARY_PATH", libraryDir.c_str(), 1);
    const std::string command = "'" + self + "' --child " + kind.name + " " + std::to_string(seconds);
    FILE* child = ::popen(command.c_str(), "r");
    check(child != nullptr, "popen failed");
    Figure figure{};
    const int read = std::fscanf(child, "%lf %ld", &figure.microseconds, &figure.transactions);
    check(::pclose(child) == 0 && read == 2, "a measuring child failed");
    ::unsetenv("TAVRIL_TRACE");
    ::unsetenv("LD_LIBRARY_PATH");
    return figure;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::uintmax_t size_of(const std::string& path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

}  // namespace

int main(int argc, char** argv) try {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return run_child(argv[2], std::atof(argv[3]));
    if (!tavlib::bench::isolated()) return tavlib::bench::run_isolated(argv, {"TAVRIL_TRACE"});

    int trials = 5;
    double seconds = 1.0;
    std::string against;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--trials") == 0) trials = std::max(std::atoi(argv[i + 1]), 1);
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(std::atof(argv[i + 1]), 0.1);
        if (std::strcmp(argv[i], "--against") == 0) against = std::filesystem::absolute(argv[i + 1]);
    }
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const std::string runtimeDir = std::getenv("TAVRIL_RUNTIME_DIR");
    const std::string trace = runtimeDir + "/trace.jsonl";

    tavlib::sim::SimOptions options;
    options.runtimeDir = runtimeDir;
    options.args = {"--stats-limit", "0"};
    tavlib::sim::SimProcess sim(options);

    std::printf("tavlib trace benchmark: us per transaction, median of %d trials of each, "
                "%soff and on alternating\n",
                trials, against.empty() ? "" : "the other library, ");
    if (!against.empty()) std::printf("other library: %s/libtavlib.so.1\n", against.c_str());
    std::printf("\n%-50s %11s %11s %11s %11s %8s\n", "transaction", against.empty() ? "" : "other",
                "off", "on", "on - off", "bytes");
    for (const Kind& kind : kKinds) {
        std::vector<double> other, off, on;
        std::uintmax_t traced = 0;
        long tracedTransactions = 0;
        for (int t = 0; t < trials; ++t) {
            if (!against.empty()) other.push_back(measure(self, kind, seconds, "", against).microseconds);
            off.push_back(measure(self, kind, seconds, "").microseconds);
            std::filesystem::remove(trace);
            const Figure figure = measure(self, kind, seconds, trace);
            on.push_back(figure.microseconds);
            traced += size_of(trace);
            // The open, the warm-up, the close and the start record come too.
            tracedTransactions += figure.transactions + (kind.name == std::string("64m") ? 1 : 100);
        }
        const double offMedian = median(off), onMedian = median(on);
        char otherText[16] = "";
        if (!other.empty()) std::snprintf(otherText, sizeof otherText, "%.3f", median(other));
        std::printf("%-50s %11s %11.3f %11.3f %11.3f %8.0f\n", kind.label, otherText, offMedian, onMedian,
                    onMedian - offMedian,
                    static_cast<double>(traced) / static_cast<double>(tracedTransactions));
        std::fflush(stdout);
    }
    std::filesystem::remove(trace);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "trace_bench: %s\n", e.what());
    return 1;
}
