#include "trace_commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <functional>

#include "tavlib/unique_fd.h"
#include "trace_view.h"
#include "twin.h"

namespace tavlib::tavctl {
namespace {

// How often a followed trace is looked at again.
constexpr long kFollowPollNs = 200'000'000;

std::atomic<bool> stopFollowing{false};

extern "C" void stop_following(int) { stopFollowing = true; }

// SIGINT and SIGTERM end the wait for more records, not the process.
class StopSignals {
public:
    StopSignals() {
        struct sigaction action {};
        action.sa_handler = stop_following;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~StopSignals() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

// Reads the trace, passing each record to `each`; with follow, waits at
// the end for more (a line being written is waited for, not refused) and
// starts again from the top when the file is cut shorter.
void read_records(const std::string& path, bool follow, std::ostream& err,
                  const std::function<void(trace::Entry&&)>& each) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw trace::TraceError(path, std::string("cannot open the trace: ") + std::strerror(errno));
    std::optional<StopSignals> signals;
    if (follow) signals.emplace();
    trace::TraceParser parser(path);
    off_t offset = 0;
    char chunk[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            if (stopFollowing) return;
            continue;
        }
        if (n < 0) throw trace::TraceError(path, std::string("cannot read the trace: ") + std::strerror(errno));
        if (n > 0) {
            offset += n;
            parser.feed(std::string_view(chunk, static_cast<std::size_t>(n)));
            while (std::optional<trace::Entry> entry = parser.next()) each(std::move(*entry));
            continue;
        }
        if (!follow) break;
        if (stopFollowing) return;
        struct stat info {};
        if (::fstat(fd.get(), &info) == 0 && info.st_size < offset) {
            err << "tavctl: " << path << ": the trace was cut shorter; reading it from its start\n";
            ::lseek(fd.get(), 0, SEEK_SET);
            offset = 0;
            parser = trace::TraceParser(path);
            continue;
        }
        const timespec pause{0, kFollowPollNs};
        ::nanosleep(&pause, nullptr);
        if (stopFollowing) return;
    }
    parser.finish();
}

}  // namespace

int run_trace(const Invocation& invocation, std::ostream& out, std::ostream& err) {
    const TraceFilter filter{invocation.traceSlot, invocation.errorsOnly};
    TraceSummary summary;
    try {
        if (!invocation.summary) out << trace_table_header() << '\n';
        read_records(invocation.traceFiles.at(0), invocation.follow, err, [&](trace::Entry&& entry) {
            if (!filter.admits(entry.record)) return;
            if (invocation.summary) {
                summary.add(entry);
                return;
            }
            out << trace_table_row(entry.record) << '\n';
            if (invocation.follow) out.flush();
        });
    } catch (const trace::TraceError& e) {
        out.flush();
        err << "tavctl: " << e.what() << '\n';
        return kExitFailure;
    }
    if (invocation.summary) summary.print(out);
    return kExitOk;
}

int run_twin(const Invocation& invocation, std::ostream& out, std::ostream& err) {
    trace::TwinOptions options;
    options.name = invocation.twinName;
    options.slot = invocation.traceSlot;
    const std::string path = invocation.outputFile.value_or("twin.yaml");
    trace::Twin twin;
    try {
        twin = trace::make_twin(invocation.traceFiles, options);
    } catch (const trace::TraceError& e) {
        err << "tavctl: " << e.what() << "\ntavctl: " << path << " not written\n";
        return kExitFailure;
    }
    const std::string text = trace::twin_definitions(twin);
    if (const std::string differs = trace::check_definitions(twin, text); !differs.empty()) {
        err << "tavctl: the twin does not read back as it was made (" << differs << "); " << path
            << " not written\n";
        return kExitFailure;
    }
    try {
        trace::write_whole_file(path, text);
    } catch (const std::runtime_error& e) {
        err << "tavctl: " << e.what() << '\n';
        return kExitLocalError;
    }
    std::size_t sequences = 0;
    std::size_t silent = 0;
    for (const trace::TwinCommand& command : twin.commands) {
        sequences += command.replies.size() > 1;
        silent += command.replies.size() == 1 && command.replies[0].messages.empty();
    }
    out << path << ": the twin of \"" << twin.identity << "\": " << twin.commands.size() << " commands ("
        << sequences << " answered in turn, " << silent << " without an answer)"
        << (twin.unknown ? ", and the answer to unknown commands" : "") << '\n';
    for (const std::string& note : twin.notes) err << "tavctl: left out: " << note << '\n';
    return kExitOk;
}

}  // namespace tavlib::tavctl
