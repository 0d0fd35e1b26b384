// How close the library comes to the simulated driver's own speed, and to
// the limit a bulk read can reach.
//
// In one run, against one simulated instrument:
//   - the time of one 64 MiB response read in 64 KiB transfers: a raw client
//     that receives each transfer straight into its destination, the library
//     (Read_Tavril in raw mode), and the floor, the time to copy 64 MiB into
//     a freshly allocated block, which the library pays at least once since
//     it receives into a scratch block and copies it to the caller;
//   - write+read round trips per second: Write_Tavril("PING") then
//     Read_Tavril of its echo, versus the raw client sending the same WRITE
//     and READ messages on the device socket itself;
//   - Open_Tavril's latency over many opens (p50, p99);
//   - the rise of the peak RSS over a Read_Tavril that allows 2,000,000,000
//     bytes and is answered by a short response;
//   - the same round trips from two threads on one handle at once, where a
//     thread's completion is often taken in by the other, which wakes it;
//   - the system calls this thread makes per round trip, per 64 KiB transfer
//     of the bulk read and per Open_Tavril (syscall_count.h), which do not
//     move with the machine's load as the times do.
// Each time and rate is the median of several trials, with the CPU time of
// this process and of the simulator beside it; each target line says
// whether it was met.
//
//   tavlib_transfer_bench [--trials N] [--round-trips N] [--opens N]
//
// --round-trips 0 or --opens 0 leaves that measure out (for profiling the
// bulk read alone).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim_process.h"
#include "isolated_run.h"
#include "syscall_count.h"
#include "tavlib.h"
#include "tavlib/driver_wire.h"

namespace {

namespace wire = tavlib::wire;
using Clock = std::chrono::steady_clock;
using tavlib::bench::SyscallCounter;
using tavlib::bench::SyscallCounts;

constexpr std::uint32_t kBulkBytes = 64u * 1024u * 1024u;
constexpr double kMiB = 1024.0 * 1024.0;

// Targets.
constexpr double kFloorFactor = 1.25;          // library <= raw + 1.25 x floor
constexpr double kRawBytesPerSecond = 1e9;     // the simulator is not the limit
constexpr double kOpenP50Seconds = 0.002;      // one *IDN? round trip, no waits
constexpr double kRoundTripRatio = 1.10;       // library time / raw time
constexpr double kBulkCpuRatio = 1.15;         // library CPU / raw CPU, the 64 MiB read
constexpr std::uint32_t kRssMaxBytes = 2000000000u;
constexpr double kRssRiseLimit = 8 * kMiB;

// Bounds on the loops that are not trials.
constexpr std::chrono::seconds kOpenBudget{60};

// The raw client: the same exchanges as the library, straight on the
// socket, each READ's payload received where it belongs.
class RawClient {
public:
    explicit RawClient(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("cannot connect to " + path);
        message_.resize(wire::kMaxMessage);
    }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void write(const std::string& bytes) {
        wire::encode({wire::kWrite, next_id(), static_cast<std::uint32_t>(bytes.size()), 0},
                     message_.data());
        std::memcpy(message_.data() + wire::kHeaderSize, bytes.data(), bytes.size());
        send_all(wire::kHeaderSize + bytes.size());
        complete(nullptr, 0);
    }
    // One READ of up to `capacity` bytes into `out`; returns the count.
    std::uint32_t read(char* out, std::uint32_t capacity) {
        wire::encode({wire::kRead, next_id(), capacity, 0}, message_.data());
        send_all(wire::kHeaderSize);
        return complete(out, capacity);
    }

private:
    std::uint32_t next_id() { return ++id_ == 0 ? ++id_ : id_; }
    void send_all(std::size_t size) {
        if (::send(fd_, message_.data(), size, MSG_NOSIGNAL) != static_cast<ssize_t>(size))
            throw std::runtime_error("send failed");
    }
    // Receives the completion: its header, then its payload into `out`.
    std::uint32_t complete(char* out, std::uint32_t capacity) {
        wire::HeaderBytes header{};
        iovec parts[2] = {{header.data(), header.size()}, {out, capacity}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = capacity == 0 ? 1 : 2;
        const ssize_t got = ::recvmsg(fd_, &message, 0);
        if (got < static_cast<ssize_t>(header.size()) || (message.msg_flags & MSG_TRUNC) != 0)
            throw std::runtime_error("short or oversized completion");
        const wire::Header h = wire::decode_header(header.data());
        const auto payload = static_cast<std::uint32_t>(static_cast<std::size_t>(got) - header.size());
        if (h.type != wire::kComplete || h.id != id_ || h.arg != 0 || (capacity > 0 && h.count != payload))
            throw std::runtime_error("unexpected completion");
        return h.count;
    }

    int fd_ = -1;
    std::uint32_t id_ = 0;
    std::vector<unsigned char> message_;
};

// A client of the simulator's TCP port, the way a network instrument is
// driven: one exchange per query (the line out, the answer back), where the
// driver interface takes two (a WRITE and its completion, a READ and its).
class TcpClient {
public:
    explicit TcpClient(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
            throw std::runtime_error("cannot connect to the simulator's TCP port");
    }
    ~TcpClient() { ::close(fd_); }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Sends `line` (with its LF) and receives the answer up to its LF.
    std::size_t query(const std::string& line, char* answer, std::size_t room) {
        if (::send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
            throw std::runtime_error("TCP send failed");
        std::size_t got = 0;
        while (got == 0 || answer[got - 1] != '\n') {
            const ssize_t n = ::recv(fd_, answer + got, room - got, 0);
            if (n <= 0 || static_cast<std::size_t>(n) == room - got) throw std::runtime_error("TCP answer failed");
            got += static_cast<std::size_t>(n);
        }
        return got;
    }

private:
    int fd_ = -1;
};

// The port the simulator printed for --tcp 0.
std::uint16_t tcp_port_of(const std::string& output) {
    const std::string mark = "tcp 127.0.0.1:";
    const auto at = output.find(mark);
    if (at == std::string::npos) throw std::runtime_error("the simulator printed no TCP port");
    return static_cast<std::uint16_t>(std::stoul(output.substr(at + mark.size())));
}

// The times a process's main thread gave up the processor and slept.
double sleeps_of(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string key = "voluntary_ctxt_switches:";
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0) return std::stod(line.substr(key.size()));
    return 0;
}

// Memory mapped but never touched: it costs address space, not RSS.
class Reservation {
public:
    explicit Reservation(std::size_t size) : size_(size) {
        data_ = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                       -1, 0);
        if (data_ == MAP_FAILED) throw std::runtime_error("cannot reserve the read buffer");
    }
    ~Reservation() { ::munmap(data_, size_); }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    char* data() const { return static_cast<char*>(data_); }

private:
    std::size_t size_;
    void* data_;
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

double seconds_of(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpu_seconds(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The system calls of one piece of work: this thread's, the simulator's, and
// how often the simulator slept (gave up the processor).
struct Calls {
    SyscallCounts own, sim;
    double simSleeps = 0;

    Calls per(double units) const { return {own.per(units), sim.per(units), simSleeps / units}; }
};

// What the measures share: the simulator's CPU clock and pid, and the
// counters of this thread and of the simulator.
struct Meters {
    clockid_t simClock;
    pid_t simPid;
    SyscallCounter& own;
    SyscallCounter& sim;
};

// Wall time and the CPU time this process and the simulator spent on one
// piece of work: on a shared machine the wall time also holds the waits for
// a free core, the CPU times do not.
struct Timing {
    std::vector<double> wall, self, sim;

    // Also counts the system calls of `work` itself into *calls (the
    // clocks' own calls left out).
    void measure(const std::function<void()>& work, Meters& meters, Calls* calls = nullptr) {
        const double self0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID), sim0 = cpu_seconds(meters.simClock);
        const double sleeps0 = sleeps_of(meters.simPid);
        Calls counted;
        counted.sim = meters.sim.count([&] {
            counted.own = meters.own.count([&] { wall.push_back(seconds_of(work)); });
        });
        self.push_back(cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - self0);
        sim.push_back(cpu_seconds(meters.simClock) - sim0);
        counted.simSleeps = sleeps_of(meters.simPid) - sleeps0;
        if (calls != nullptr) *calls = counted;
    }
};

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

double peak_rss_bytes() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) * 1024.0;  // kilobytes on Linux
}

const char* verdict(bool met) { return met ? "met" : "NOT met"; }

}  // namespace

int main(int argc, char** argv) {
    if (!tavlib::bench::isolated()) return tavlib::bench::run_isolated(argv);

    int roundTrips = 5000;
    int trials = 5;
    int opens = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--round-trips") == 0) roundTrips = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--trials") == 0) trials = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--opens") == 0) opens = std::atoi(argv[i + 1]);
    }
    trials = std::max(trials, 1);
    roundTrips = std::max(roundTrips, 0);
    opens = std::max(opens, 0);

    tavlib::sim::SimOptions options;
    options.runtimeDir = std::getenv("TAVRIL_RUNTIME_DIR");
    options.args = {"--stats-limit", "0", "--tcp", "0"};
    tavlib::sim::SimProcess sim(options);
    const std::string devicePath = sim.devices().front().path;
    clockid_t simClock{};
    check(::clock_getcpuclockid(sim.pid(), &simClock) == 0, "no CPU clock for the simulator");

    TavrilHandle handle = TAVRIL_INVALID_HANDLE;
    InstrumentIdentity identity{};
    std::uint32_t error = 0;

    SyscallCounter counter;
    SyscallCounter simCounter(sim.pid());
    Meters meters{simClock, sim.pid(), counter, simCounter};
    SyscallCounts openCalls, closeCalls;

    // Open latency, before any other handle is open.
    std::vector<double> openSeconds;
    const auto openDeadline = Clock::now() + kOpenBudget;
    for (int i = 0; i < opens && Clock::now() < openDeadline; ++i) {
        double s = 0;
        const SyscallCounts calls = counter.count([&] {
            s = seconds_of([&] {
                check(Open_Tavril(0, &handle, &identity, &error) == TAVRIL_OPEN_OK, "Open_Tavril failed");
            });
        });
        openSeconds.push_back(s);
        openCalls = calls;  // the same every time once the first open has loaded what it needs
        closeCalls = counter.count([&] { check(Close_Tavril(handle, &error) == 0, "Close_Tavril failed"); });
    }

    check(Open_Tavril(0, &handle, &identity, &error) == TAVRIL_OPEN_OK, "Open_Tavril failed");

    // Peak RSS over a generous maxBytes answered briefly, before this
    // process has touched any large block of its own.
    double rssRise = 0;
    std::uint32_t rssBytesRead = 0;
    {
        const Reservation buffer(kRssMaxBytes);
        std::uint32_t n = 0;
        check(Write_Tavril(handle, "*IDN?", 5, &n, &error) == 0, "Write_Tavril failed");
        const double before = peak_rss_bytes();
        check(Read_Tavril(handle, kRssMaxBytes, TAVRIL_MODE_RAW, 5, buffer.data(), &rssBytesRead, &error) ==
                  0,
              "Read_Tavril of a short response failed");
        rssRise = peak_rss_bytes() - before;
    }

    RawClient raw(devicePath);
    TcpClient tcp(tcp_port_of(sim.output()));
    std::vector<char> line(256);
    const std::string ping = "PING\r\n";
    auto libraryRoundTrips = [&] {
        for (int i = 0; i < roundTrips; ++i) {
            std::uint32_t n = 0;
            check(Write_Tavril(handle, "PING", 5, &n, &error) == 0, "Write_Tavril failed");
            check(Read_Tavril(handle, 255, TAVRIL_MODE_LINE, 5, line.data(), &n, &error) == 0,
                  "Read_Tavril failed");
        }
    };
    // Two threads, half the round trips each; every answer is the same echo,
    // so it does not matter which thread's READ takes which.  Each thread
    // counts its own calls.
    SyscallCounts pairCalls;
    auto pairedRoundTrips = [&] {
        SyscallCounts counted[2];
        auto half = [&](int t) {
            std::vector<char> own(256);
            SyscallCounter threadCounter;
            counted[t] = threadCounter.count([&] {
                for (int i = t; i < roundTrips; i += 2) {
                    std::uint32_t n = 0, code = 0;
                    check(Write_Tavril(handle, "PING", 5, &n, &code) == 0, "Write_Tavril failed");
                    check(Read_Tavril(handle, 255, TAVRIL_MODE_LINE, 5, own.data(), &n, &code) == 0,
                          "Read_Tavril failed");
                }
            });
        };
        std::thread other(half, 1);
        half(0);
        other.join();
        pairCalls.total = counted[0].total + counted[1].total;
        for (std::size_t i = 0; i < pairCalls.byKind.size(); ++i)
            pairCalls.byKind[i] = counted[0].byKind[i] + counted[1].byKind[i];
    };
    auto rawRoundTrips = [&] {
        for (int i = 0; i < roundTrips; ++i) {
            raw.write(ping);
            check(raw.read(line.data(), 255) == ping.size(), "raw echo failed");
        }
    };
    const std::string pingLine = "PING\n";
    auto tcpQueries = [&] {
        for (int i = 0; i < roundTrips; ++i)
            check(tcp.query(pingLine, line.data(), line.size()) == pingLine.size(), "TCP echo failed");
    };

    // One destination for both clients, touched before the first trial.
    std::vector<char> bulk(std::size_t{kBulkBytes} + 1, '\0');
    const std::string dataCommand = "DATA? " + std::to_string(kBulkBytes);
    auto libraryBulk = [&] {
        std::uint32_t n = 0;
        check(Write_Tavril(handle, dataCommand.c_str(), 5, &n, &error) == 0, "bulk command failed");
        check(Read_Tavril(handle, kBulkBytes, TAVRIL_MODE_RAW, 30, bulk.data(), &n, &error) == 0 &&
                  n == kBulkBytes,
              "bulk read failed");
    };
    auto rawBulk = [&] {
        raw.write(dataCommand + "\r\n");
        std::uint32_t total = 0;
        for (;;) {
            const std::uint32_t n = raw.read(bulk.data() + total, wire::kMaxTransfer);
            total += n;
            if (n < wire::kMaxTransfer || total == kBulkBytes) break;
        }
        check(total == kBulkBytes, "raw bulk read failed");
    };
    // The floor: 64 MiB copied into a block just allocated (its first touch
    // included).  The block is freed after the clock stops.
    void* fresh = nullptr;
    auto floorCopy = [&] {
        fresh = std::malloc(kBulkBytes);
        check(fresh != nullptr, "no memory for the floor's block");
        std::memcpy(fresh, bulk.data(), kBulkBytes);
        asm volatile("" : : "r"(fresh) : "memory");  // the copy is used
    };

    // For comparison, not a target: the same copy into a new block advised
    // MADV_HUGEPAGE, whose first touch takes one fault per 2 MiB instead of
    // one per 4 KiB page where the kernel has huge pages to give.
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    void* mapped = MAP_FAILED;
    auto hugeCopy = [&] {
        mapped = ::mmap(nullptr, kBulkBytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                        -1, 0);
        check(mapped != MAP_FAILED, "no memory for the huge-page block");
        const auto at = (reinterpret_cast<std::uintptr_t>(mapped) + kHugePage - 1) & ~(kHugePage - 1);
        char* block = reinterpret_cast<char*>(at);
        ::madvise(block, kBulkBytes, MADV_HUGEPAGE);
        std::memcpy(block, bulk.data(), kBulkBytes);
        asm volatile("" : : "r"(block) : "memory");
    };

    Timing libRt, rawRt, tcpRt, pairRt, libBulk, rawBulkT, floorT, hugeT;
    Calls libRtCalls, rawRtCalls, tcpRtCalls, pairRtCalls, libBulkCalls, rawBulkCalls;
    for (int t = 0; t < trials; ++t) {
        // Alternate, so that drift in the machine's load hits all alike.
        if (roundTrips > 0) {
            libRt.measure(libraryRoundTrips, meters, &libRtCalls);
            rawRt.measure(rawRoundTrips, meters, &rawRtCalls);
            tcpRt.measure(tcpQueries, meters, &tcpRtCalls);
            pairRt.measure(pairedRoundTrips, meters, &pairRtCalls);
            pairRtCalls.own = pairCalls;  // both threads' calls, not only this one's
        }
        libBulk.measure(libraryBulk, meters, &libBulkCalls);
        rawBulkT.measure(rawBulk, meters, &rawBulkCalls);
        floorT.measure(floorCopy, meters);
        std::free(fresh);
        fresh = nullptr;
        hugeT.measure(hugeCopy, meters);
        ::munmap(mapped, kBulkBytes + kHugePage);
    }
    check(std::memcmp(bulk.data(), tavlib::sim::data_pattern(kBulkBytes).data(), kBulkBytes) == 0,
          "the bulk data differ from the simulator's pattern");
    Close_Tavril(handle, &error);

    const double lib = median(libBulk.wall), rawT = median(rawBulkT.wall), floorS = median(floorT.wall);
    const double bound = rawT + kFloorFactor * floorS;
    auto mbps = [](double seconds) { return kBulkBytes / seconds / 1e6; };

    std::printf("tavlib transfer benchmark (median of %d trials, one simulated instrument)\n\n", trials);
    std::printf("%-52s %8s %7s %15s\n", "64 MiB response in 64 KiB transfers", "ms", "MB/s",
                "CPU ms: own sim");
    auto row = [&](const char* what, const Timing& t) {
        const double wall = median(t.wall);
        std::printf("%-52s %8.1f %7.0f %9.1f %5.1f\n", what, wall * 1e3, mbps(wall), median(t.self) * 1e3,
                    median(t.sim) * 1e3);
    };
    row("raw client (each READ received into the destination)", rawBulkT);
    row("library (Read_Tavril, raw mode)", libBulk);
    row("floor (malloc + memcpy of 64 MiB into new memory)", floorT);
    row("  for comparison: the copy into a MADV_HUGEPAGE block", hugeT);

    if (roundTrips > 0) {
        std::printf("\n%-52s %8s %15s\n", "write + read round trip (\"PING\", its echo)", "us each",
                    "CPU us: own sim");
        auto perTrip = [&](const char* what, const Timing& t) {
            std::printf("%-52s %8.1f %9.1f %5.1f\n", what, median(t.wall) / roundTrips * 1e6,
                        median(t.self) / roundTrips * 1e6, median(t.sim) / roundTrips * 1e6);
        };
        perTrip("raw client (the same WRITE and READ messages)", rawRt);
        perTrip("library (Write_Tavril + Read_Tavril, line mode)", libRt);
        perTrip("TCP client, the simulator's port (one exchange)", tcpRt);
        perTrip("library, two threads on one handle (all their trips)", pairRt);
    }

    if (counter.available()) {
        // The bulk read's transfers; its command's write is counted in too.
        constexpr double kTransfers = double{kBulkBytes} / wire::kMaxTransfer;
        std::printf("\n%-46s %6s", "system calls per ...", "all");
        for (const auto& kind : tavlib::bench::kCountedSyscalls) std::printf(" %10s", kind.name);
        std::printf(" %6s %7s\n", "other", "sleeps");
        auto calls = [](const char* what, const SyscallCounts& c, const char* sleeps) {
            std::printf("%-46s %6.2f", what, c.total);
            for (const double n : c.byKind) std::printf(" %10.2f", n);
            std::printf(" %6.2f %7s\n", c.other(), sleeps);
        };
        auto both = [&](const char* what, const Calls& c) {
            char sleeps[16];
            std::snprintf(sleeps, sizeof sleeps, "%.2f", c.simSleeps);
            calls(what, c.own, "");
            if (simCounter.available()) calls("  the simulator meanwhile", c.sim, sleeps);
        };
        if (roundTrips > 0) {
            both("round trip, raw client", rawRtCalls.per(roundTrips));
            both("round trip, library", libRtCalls.per(roundTrips));
            both("query, TCP client", tcpRtCalls.per(roundTrips));
            both("round trip, library, two threads on one handle", pairRtCalls.per(roundTrips));
        }
        both("64 KiB transfer of the bulk read, raw client", rawBulkCalls.per(kTransfers));
        both("64 KiB transfer of the bulk read, library", libBulkCalls.per(kTransfers));
        if (!openSeconds.empty()) {
            calls("Open_Tavril (the last of them)", openCalls, "");
            calls("Close_Tavril (the last of them)", closeCalls, "");
        }
    } else {
        std::printf("\nsystem calls not counted: %s\n", counter.why().c_str());
    }

    std::printf("\n%-58s %s\n", "target", "figure");
    char figure[64];
    std::snprintf(figure, sizeof figure, "%.1f <= %.1f ms", lib * 1e3, bound * 1e3);
    std::printf("%-58s %-24s %s\n", "library <= raw + 1.25 x floor", figure, verdict(lib <= bound));
    const double libCpu = median(libBulk.self), rawCpu = median(rawBulkT.self);
    std::snprintf(figure, sizeof figure, "%.1f vs %.1f ms, %.2fx", libCpu * 1e3, rawCpu * 1e3, libCpu / rawCpu);
    std::printf("%-58s %-24s %s\n", "bulk read CPU library / raw <= 1.15x", figure,
                verdict(libCpu <= kBulkCpuRatio * rawCpu));
    std::snprintf(figure, sizeof figure, "%.2f GB/s", kBulkBytes / rawT / 1e9);
    std::printf("%-58s %-24s %s\n", "raw client >= 1 GB/s on the 64 MiB read", figure,
                verdict(kBulkBytes / rawT >= kRawBytesPerSecond));
    if (!openSeconds.empty()) {
        const double p50 = percentile(openSeconds, 0.5), p99 = percentile(openSeconds, 0.99);
        char what[80];
        std::snprintf(what, sizeof what, "Open_Tavril p50 <= 2 ms (%zu opens)", openSeconds.size());
        std::snprintf(figure, sizeof figure, "p50 %.2f, p99 %.2f ms", p50 * 1e3, p99 * 1e3);
        std::printf("%-58s %-24s %s\n", what, figure, verdict(p50 <= kOpenP50Seconds));
    }
    if (roundTrips > 0) {
        const double libT = median(libRt.wall), rawRtT = median(rawRt.wall);
        char what[80];
        std::snprintf(what, sizeof what, "round trip library / raw <= 1.10x (%.0f vs %.0f per s)",
                      roundTrips / libT, roundTrips / rawRtT);
        std::snprintf(figure, sizeof figure, "%.2fx", libT / rawRtT);
        std::printf("%-58s %-24s %s\n", what, figure, verdict(libT / rawRtT <= kRoundTripRatio));
    }
    char what[80];
    std::snprintf(what, sizeof what, "peak RSS rise, maxBytes 2e9, %u-byte answer <= 8 MiB", rssBytesRead);
    std::snprintf(figure, sizeof figure, "%.1f MiB", rssRise / kMiB);
    std::printf("%-58s %-24s %s\n", what, figure, verdict(rssRise <= kRssRiseLimit));
    return 0;
}
