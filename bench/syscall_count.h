// Counting the system calls a piece of work makes, for the benchmarks: the
// kernel's raw_syscalls:sys_enter tracepoint, counted by perf_event_open for
// one thread, the calling one (the library starts no threads) or another
// process's main thread (the simulator's single event loop).  A count is
// exact and does not depend on the machine's load, where times do.
//
// The tracepoint needs tracefs and the right to use it: root, CAP_PERFMON, or
// kernel.perf_event_paranoid at -1.  Without them available() is false and
// why() says what failed; the benchmarks then print the times alone.
#pragma once

#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace tavlib::bench {

// The calls counted by name, besides the total; the rest are "other".
struct SyscallKind {
    const char* name;
    long number;  // -1 where this architecture has no such call
};

inline constexpr std::array<SyscallKind, 7> kCountedSyscalls{{
#ifdef SYS_sendmsg
    {"sendmsg", SYS_sendmsg},
#else
    {"sendmsg", -1},
#endif
#ifdef SYS_sendto
    {"sendto", SYS_sendto},
#else
    {"sendto", -1},
#endif
#ifdef SYS_recvmsg
    {"recvmsg", SYS_recvmsg},
#else
    {"recvmsg", -1},
#endif
#ifdef SYS_recvfrom
    {"recvfrom", SYS_recvfrom},
#else
    {"recvfrom", -1},
#endif
#ifdef SYS_ppoll
    {"ppoll", SYS_ppoll},
#else
    {"ppoll", -1},
#endif
#ifdef SYS_epoll_wait
    {"epoll_wait", SYS_epoll_wait},
#else
    {"epoll_wait", -1},
#endif
#ifdef SYS_futex
    {"futex", SYS_futex},
#else
    {"futex", -1},
#endif
}};

// Counts of one piece of work: every call, and those of kCountedSyscalls.
struct SyscallCounts {
    double total = 0;
    std::array<double, kCountedSyscalls.size()> byKind{};

    double other() const {
        double named = 0;
        for (const double n : byKind) named += n;
        return total - named;
    }
    SyscallCounts per(double units) const {
        SyscallCounts each = *this;
        each.total /= units;
        for (double& n : each.byKind) n /= units;
        return each;
    }
};

class SyscallCounter {
public:
    // `thread`: 0 for the calling thread, else a thread id (a process's pid
    // names its main thread).
    explicit SyscallCounter(pid_t thread = 0) : thread_(thread) {
        const long id = tracepoint_id();
        if (id < 0) return;
        // A group: the total leads, one member per kind, read together in one
        // read(), the only call the counter itself makes.
        leader_ = open_counter(id, -1, "");
        if (leader_ < 0) return;
        for (const SyscallKind& kind : kCountedSyscalls) {
            const std::string filter = "id == " + std::to_string(kind.number);
            const int fd = kind.number < 0 ? -1 : open_counter(id, leader_, filter);
            if (kind.number >= 0 && fd < 0) {
                close_all();
                return;
            }
            members_.push_back(fd);
        }
        ::ioctl(leader_, PERF_EVENT_IOC_ENABLE, PERF_IOC_FLAG_GROUP);
        // What one read adds: the read that takes the second sample counts
        // itself (another thread's counter reads cost that thread nothing).
        if (thread_ == 0) {
            const Sample a = sample();
            const Sample b = sample();
            overhead_ = b.values[0] - a.values[0];
        }
    }
    ~SyscallCounter() { close_all(); }
    SyscallCounter(const SyscallCounter&) = delete;
    SyscallCounter& operator=(const SyscallCounter&) = delete;

    bool available() const { return leader_ >= 0; }
    const std::string& why() const { return why_; }

    // Counts the calls the thread makes while `work` runs.
    template <class Work>
    SyscallCounts count(Work&& work) {
        SyscallCounts counts;
        if (!available()) {
            work();
            return counts;
        }
        const Sample before = sample();
        work();
        const Sample after = sample();
        counts.total = static_cast<double>(after.values[0] - before.values[0] - overhead_);
        for (std::size_t i = 0, member = 1; i < kCountedSyscalls.size(); ++i) {
            if (members_[i] < 0) continue;
            counts.byKind[i] = static_cast<double>(after.values[member] - before.values[member]);
            ++member;
        }
        return counts;
    }

private:
    struct Sample {
        std::vector<std::uint64_t> values;  // the leader's, then the members' that exist
    };

    long tracepoint_id() {
        for (const char* root : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"}) {
            std::ifstream file(std::string(root) + "/events/raw_syscalls/sys_enter/id");
            long id = -1;
            if (file >> id) return id;
        }
        why_ = "no raw_syscalls:sys_enter tracepoint readable in tracefs";
        return -1;
    }

    int open_counter(long id, int group, const std::string& filter) {
        perf_event_attr attr{};
        attr.size = sizeof attr;
        attr.type = PERF_TYPE_TRACEPOINT;
        attr.config = static_cast<std::uint64_t>(id);
        attr.disabled = group < 0 ? 1 : 0;
        attr.read_format = PERF_FORMAT_GROUP;
        const int fd = static_cast<int>(::syscall(SYS_perf_event_open, &attr, thread_, -1, group, 0));
        if (fd < 0) {
            why_ = std::string("perf_event_open: ") + std::strerror(errno);
            return -1;
        }
        if (!filter.empty() && ::ioctl(fd, PERF_EVENT_IOC_SET_FILTER, filter.c_str()) != 0) {
            why_ = std::string("tracepoint filter: ") + std::strerror(errno);
            ::close(fd);
            return -1;
        }
        return fd;
    }

    Sample sample() const {
        // PERF_FORMAT_GROUP: the number of counters, then each value.
        std::vector<std::uint64_t> raw(1 + 1 + members_.size());
        const ssize_t n = ::read(leader_, raw.data(), raw.size() * sizeof raw[0]);
        Sample s;
        if (n <= 0) return {std::vector<std::uint64_t>(1 + members_.size())};
        s.values.assign(raw.begin() + 1, raw.begin() + 1 + static_cast<std::ptrdiff_t>(raw[0]));
        s.values.resize(1 + members_.size());
        return s;
    }

    void close_all() {
        for (const int fd : members_)
            if (fd >= 0) ::close(fd);
        members_.clear();
        if (leader_ >= 0) ::close(leader_);
        leader_ = -1;
    }

    pid_t thread_;
    int leader_ = -1;
    std::vector<int> members_;  // one per kCountedSyscalls entry, -1 where not counted
    std::uint64_t overhead_ = 0;
    std::string why_;
};

}  // namespace tavlib::bench
