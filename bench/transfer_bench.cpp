// How close the library comes to the simulated driver's own speed.
//
// In one run, against one simulated instrument:
//   - write+read round trips per second: Write_Tavril("PING") then
//     Read_Tavril of its echo, versus a raw client that sends the same
//     WRITE and READ messages on the device socket itself;
//   - the throughput of one 64 MiB response read in 64 KiB transfers
//     (Read_Tavril in raw mode versus the raw client).
// Each figure is the median of several trials.
//
//   tavlib_transfer_bench [--round-trips N] [--trials N]
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver_protocol.h"
#include "sim_process.h"
#include "tavlib.h"

namespace {

namespace proto = tavlib::driver_protocol;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kBulkBytes = 64u * 1024u * 1024u;

// The raw client: the same exchanges as the library, straight on the socket.
class RawClient {
public:
    explicit RawClient(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("cannot connect to " + path);
        message_.resize(sizeof(proto::Header) + proto::kMaxTransfer);
    }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void write(const std::string& bytes) {
        proto::Header h{proto::kWrite, next_id(), static_cast<std::uint32_t>(bytes.size()), 0};
        std::memcpy(message_.data(), &h, sizeof h);
        std::memcpy(message_.data() + sizeof h, bytes.data(), bytes.size());
        send_all(sizeof h + bytes.size());
        complete();
    }
    // One READ of up to `capacity` bytes into `out`; returns the count.
    std::uint32_t read(char* out, std::uint32_t capacity) {
        proto::Header h{proto::kRead, next_id(), capacity, 0};
        std::memcpy(message_.data(), &h, sizeof h);
        send_all(sizeof h);
        const std::uint32_t n = complete();
        std::memcpy(out, message_.data() + sizeof(proto::Header), n);
        return n;
    }

private:
    std::uint32_t next_id() { return ++id_ == 0 ? ++id_ : id_; }
    void send_all(std::size_t size) {
        if (::send(fd_, message_.data(), size, MSG_NOSIGNAL) != static_cast<ssize_t>(size))
            throw std::runtime_error("send failed");
    }
    std::uint32_t complete() {
        const ssize_t got = ::recv(fd_, message_.data(), message_.size(), 0);
        proto::Header h{};
        if (got < static_cast<ssize_t>(sizeof h)) throw std::runtime_error("short completion");
        std::memcpy(&h, message_.data(), sizeof h);
        if (h.type != proto::kComplete || h.id != id_ || h.arg != 0)
            throw std::runtime_error("unexpected completion");
        return h.count;
    }

    int fd_ = -1;
    std::uint32_t id_ = 0;
    std::vector<char> message_;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double seconds_of(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

// Re-runs this program in a fresh runtime directory, so that the library
// binds its slot table there when it loads.
int run_isolated(char** argv) {
    char pattern[] = "/tmp/tavlib-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 2;
    ::setenv("TAVRIL_RUNTIME_DIR", pattern, 1);
    ::setenv("TAVLIB_BENCH_ISOLATED", "1", 1);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execv("/proc/self/exe", argv);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("TAVLIB_BENCH_ISOLATED") == nullptr) return run_isolated(argv);

    int roundTrips = 5000;
    int trials = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--round-trips") == 0) roundTrips = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--trials") == 0) trials = std::atoi(argv[i + 1]);
    }

    tavlib::sim::SimOptions options;
    options.runtime_dir = std::getenv("TAVRIL_RUNTIME_DIR");
    options.args = {"--stats-limit", "0"};
    tavlib::sim::SimProcess sim(options);
    const std::string devicePath = sim.devices().front().path;

    TavrilHandle handle = TAVRIL_INVALID_HANDLE;
    InstrumentIdentity identity{};
    std::uint32_t error = 0;
    check(Open_Tavril(0, &handle, &identity, &error) == TAVRIL_OPEN_OK, "Open_Tavril failed");
    RawClient raw(devicePath);

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
    auto rawRoundTrips = [&] {
        for (int i = 0; i < roundTrips; ++i) {
            raw.write(ping);
            check(raw.read(line.data(), 255) == ping.size(), "raw echo failed");
        }
    };

    std::vector<char> bulk(std::size_t{kBulkBytes} + 1);
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
            const std::uint32_t n = raw.read(bulk.data() + total, proto::kMaxTransfer);
            total += n;
            if (n < proto::kMaxTransfer || total == kBulkBytes) break;
        }
        check(total == kBulkBytes, "raw bulk read failed");
    };

    std::vector<double> lib, rawRt, libBulk, rawBulkT;
    for (int t = 0; t < trials; ++t) {
        // Alternate, so that drift in the machine's load hits both alike.
        lib.push_back(roundTrips / seconds_of(libraryRoundTrips));
        rawRt.push_back(roundTrips / seconds_of(rawRoundTrips));
        libBulk.push_back(kBulkBytes / seconds_of(libraryBulk) / 1e6);
        rawBulkT.push_back(kBulkBytes / seconds_of(rawBulk) / 1e6);
    }
    Close_Tavril(handle, &error);

    const double libRate = median(lib), rawRate = median(rawRt);
    const double libMBps = median(libBulk), rawMBps = median(rawBulkT);
    std::printf("tavlib transfer benchmark (median of %d trials, one simulated instrument)\n\n",
                trials);
    std::printf("%-36s %14s %14s %10s %s\n", "measure", "library", "raw client", "ratio", "target");
    std::printf("%-36s %14.0f %14.0f %9.2fx %s\n", "write+read round trips per second", libRate,
                rawRate, rawRate / libRate, "raw/library <= 1.5");
    std::printf("%-36s %14.1f %14.1f %9.0f%% %s\n", "64 MiB raw read, MB/s", libMBps, rawMBps,
                100.0 * libMBps / rawMBps, "library >= 70% of raw");
    return 0;
}
