// "*IDN?" transactions per second through the library: Scmd_Tavril in a
// loop on an instrument that is already served.
//
//   tavlib_idn_bench [--slot N] [--seconds S] [--warmup N]
//
// The instrument is the one at slot N (default 0) in the runtime directory
// the library finds ($TAVRIL_RUNTIME_DIR when set), which is bound when the
// library loads: set it before starting this program.  bench/idn_compare.py
// starts the simulator and runs this program against it.
//
// Prints one figure on standard output, the transactions per second (one
// decimal), so that scripts can take it as it is; what was measured goes to
// standard error, with the system calls per transaction where they can be
// counted (syscall_count.h).  Exit code 1 when the slot cannot be opened or an answer
// does not name the instrument.
#include "syscall_count.h"
#include "tavlib.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kExpected = "VESPARO,ZQ907";

// Closes the handle on every way out.
class OpenInstrument {
public:
    explicit OpenInstrument(std::uint32_t slot) {
        InstrumentIdentity identity{};
        std::uint32_t error = 0;
        result_ = Open_Tavril(slot, &handle_, &identity, &error);
        error_ = error;
    }
    ~OpenInstrument() {
        if (result_ == TAVRIL_OPEN_OK || result_ == TAVRIL_OPEN_NOT_IDENTIFIED) {
            std::uint32_t error = 0;
            Close_Tavril(handle_, &error);
        }
    }
    OpenInstrument(const OpenInstrument&) = delete;
    OpenInstrument& operator=(const OpenInstrument&) = delete;

    bool ok() const { return result_ == TAVRIL_OPEN_OK; }
    std::int32_t result() const { return result_; }
    std::uint32_t error() const { return error_; }
    TavrilHandle handle() const { return handle_; }

private:
    TavrilHandle handle_ = TAVRIL_INVALID_HANDLE;
    std::int32_t result_ = TAVRIL_OPEN_FAILED;
    std::uint32_t error_ = 0;
};

// One transaction; false (with a message) when it failed or the answer was
// not the identity.
bool transaction(TavrilHandle handle, char (&response)[257]) {
    std::uint32_t error = 0;
    const std::int32_t result = Scmd_Tavril(handle, "*IDN?", 256, TAVRIL_MODE_LINE, 10, 10, response, &error);
    if (result != 0) {
        std::fprintf(stderr, "idn_bench: Scmd_Tavril returned %d, error %u\n", static_cast<int>(result),
                     static_cast<unsigned>(error));
        return false;
    }
    if (std::strstr(response, kExpected) == nullptr) {
        std::fprintf(stderr, "idn_bench: the answer \"%s\" does not name %s\n", response, kExpected);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long slot = 0;
    double seconds = 2.0;
    long warmup = 200;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "--slot") == 0 && has_value) {
            slot = std::strtoul(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--seconds") == 0 && has_value) {
            seconds = std::strtod(argv[++i], nullptr);
        } else if (std::strcmp(argv[i], "--warmup") == 0 && has_value) {
            warmup = std::strtol(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: %s [--slot N] [--seconds S] [--warmup N]\n", argv[0]);
            return 2;
        }
    }
    if (seconds <= 0 || warmup < 0) {
        std::fprintf(stderr, "idn_bench: --seconds must be above 0 and --warmup not below 0\n");
        return 2;
    }

    OpenInstrument instrument(static_cast<std::uint32_t>(slot));
    if (!instrument.ok()) {
        std::fprintf(stderr, "idn_bench: Open_Tavril(%lu) returned %d, error %u\n", slot,
                     static_cast<int>(instrument.result()), static_cast<unsigned>(instrument.error()));
        return 1;
    }
    char response[257] = {};
    for (long i = 0; i < warmup; ++i)
        if (!transaction(instrument.handle(), response)) return 1;

    long count = 0;
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(seconds));
    Clock::time_point now;
    bool failed = false;
    tavlib::bench::SyscallCounter counter;
    const tavlib::bench::SyscallCounts calls = counter.count([&] {
        do {
            // The clock is read once per hundred transactions, as python_idn.py does.
            for (int i = 0; i < 100 && !failed; ++i) failed = !transaction(instrument.handle(), response);
            count += 100;
            now = Clock::now();
        } while (now < deadline && !failed);
    });
    if (failed) return 1;

    const double elapsed = std::chrono::duration<double>(now - start).count();
    std::fprintf(stderr, "idn_bench: %ld transactions of *IDN? in %.2f s through Scmd_Tavril, %.1f us each\n",
                 count, elapsed, 1e6 * elapsed / static_cast<double>(count));
    if (counter.available()) {
        const tavlib::bench::SyscallCounts each = calls.per(static_cast<double>(count));
        std::fprintf(stderr, "idn_bench: system calls per transaction: %.2f (", each.total);
        for (std::size_t i = 0; i < each.byKind.size(); ++i)
            if (each.byKind[i] > 0)
                std::fprintf(stderr, "%s %.2f, ", tavlib::bench::kCountedSyscalls[i].name, each.byKind[i]);
        std::fprintf(stderr, "other %.2f)\n", each.other());
    } else {
        std::fprintf(stderr, "idn_bench: system calls not counted: %s\n", counter.why().c_str());
    }
    std::printf("%.1f\n", static_cast<double>(count) / elapsed);
    return 0;
}
