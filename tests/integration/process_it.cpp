// The slot table shared by processes: claims that outlive a killed owner
// while others have the library loaded, and opens of one slot from several
// processes at once.  This test process never loads the library itself.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "../emulated_command.h"
#include "library_copy.h"
#include "sim_process.h"
#include "tavlib.h"

namespace {

using tavlib::test::LibraryCopy;

// A tavlib_probe child process, talked to through pipes.
class Probe {
public:
    // `runtime`: the runtime directory the probe loads the library with;
    // empty: this process's.  `command` starts the probe: by default this
    // build's own, through the emulator in a cross build.  `workdir`: the
    // probe's working directory; empty: this process's.
    explicit Probe(const std::string& runtime = {},
                   std::vector<std::string> command = tavtest::emulated_command(TAVLIB_PROBE_PATH),
                   const std::string& workdir = {}) {
        auto argv = tavtest::argv_of(command);
        int toChild[2];
        int fromChild[2];
        // Close-on-exec, so that later probes do not hold this one's pipes
        // open (it would never see the end of its input).
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            if (!runtime.empty()) ::setenv("TAVRIL_RUNTIME_DIR", runtime.c_str(), 1);
            if (!workdir.empty() && ::chdir(workdir.c_str()) != 0) ::_exit(126);
            ::dup2(toChild[0], 0);
            ::dup2(fromChild[1], 1);
            ::close(toChild[1]);
            ::close(fromChild[0]);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        in_ = ::fdopen(toChild[1], "w");
        out_ = ::fdopen(fromChild[0], "r");
        if (answer() != "ready") throw std::runtime_error("probe did not start");
    }
    ~Probe() {
        if (in_ != nullptr) std::fclose(in_);
        if (out_ != nullptr) std::fclose(out_);
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    void send(const std::string& command) {
        std::fprintf(in_, "%s\n", command.c_str());
        std::fflush(in_);
    }
    std::string answer() {
        char line[256];
        if (std::fgets(line, sizeof line, out_) == nullptr) return "(eof)";
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    // The next answer if it comes within `limit`, else "(none)".
    std::string answer_within(std::chrono::milliseconds limit) {
        pollfd entry{::fileno(out_), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(limit.count())) != 1) return "(none)";
        return answer();
    }
    std::string ask(const std::string& command) {
        send(command);
        return answer();
    }
    void kill_now() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    FILE* in_ = nullptr;
    FILE* out_ = nullptr;
};

std::string runtime_dir() {
    const char* dir = std::getenv("TAVRIL_RUNTIME_DIR");
    return dir != nullptr ? dir : "";
}

tavlib::sim::SimOptions options(std::vector<std::string> args = {}, std::string dir = runtime_dir()) {
    tavlib::sim::SimOptions o;
    o.runtimeDir = std::move(dir);
    o.args = std::move(args);
    return o;
}

// A folder only its owner may use.
std::string private_dir(const std::string& path) {
    std::filesystem::create_directories(path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

const std::string kInterfaceFolder = "016a5b0d-4331-4c56-8825-6ec4c870d3cb";

TEST(SharedSlots, AKilledOwnersSlotStaysClaimedUntilEveryProcessHasUnloaded) {
    tavlib::sim::SimProcess sim(options());
    auto keeper = std::make_unique<Probe>();
    {
        Probe holder;
        ASSERT_EQ(holder.ask("open 0"), "open 0 0");
        holder.kill_now();
    }
    EXPECT_EQ(keeper->ask("open 0"), "open -1 0");
    EXPECT_EQ(Probe().ask("open 0"), "open -1 0");
    keeper->send("quit");
    keeper.reset();

    Probe fresh;
    EXPECT_EQ(fresh.ask("open 0"), "open 0 0");
    EXPECT_EQ(fresh.ask("close"), "close 0 0");
}

TEST(SharedSlots, ProcessesOpeningOneSlotAtOnceNeverShareIt) {
    tavlib::sim::SimProcess sim(options());
    constexpr int kProcesses = 4;
    constexpr int kRounds = 25;
    std::vector<std::unique_ptr<Probe>> probes;
    for (int i = 0; i < kProcesses; ++i) probes.push_back(std::make_unique<Probe>());

    for (int round = 0; round < kRounds; ++round) {
        for (auto& p : probes) p->send("open 0");
        int winner = -1;
        for (int i = 0; i < kProcesses; ++i) {
            const std::string a = probes[i]->answer();
            if (a == "open 0 0") {
                EXPECT_EQ(winner, -1) << "two owners in round " << round;
                winner = i;
            } else {
                EXPECT_EQ(a, "open -1 0") << "round " << round;
            }
        }
        ASSERT_NE(winner, -1) << "no owner in round " << round;
        EXPECT_EQ(probes[winner]->ask("close"), "close 0 0");
    }
}

#ifdef TAVLIB_NATIVE_PROBE
// On Linux a 32-bit and a 64-bit program that share a runtime directory share
// the four slots.  Built in the i686 build only, which is given the native
// (64-bit) build's probe, TAVLIB_NATIVE_PROBE: that one runs directly, this
// build's own probe through the emulator.
TEST(SharedSlots, ThirtyTwoAndSixtyFourBitProcessesShareTheSlots) {
    tavlib::sim::SimProcess sim(options({"--devices", "2"}));
    Probe wide({}, {TAVLIB_NATIVE_PROBE});
    Probe narrow;
    struct Step {
        Probe& probe;
        const char* command;
        const char* answer;
    };
    const Step steps[] = {
        {wide, "open 0", "open 0 0"},
        {narrow, "open 0", "open -1 0"},  // in use by the 64-bit process
        {narrow, "open 1", "open 0 0"},
        {wide, "open 1", "open -1 0"},  // in use by the 32-bit process
        {wide, "close", "close 0 0"},   // slot 0
        {narrow, "close", "close 0 0"},  // slot 1
        {narrow, "open 0", "open 0 0"},
        {wide, "open 1", "open 0 0"},
    };
    for (const Step& step : steps)
        ASSERT_EQ(step.probe.ask(step.command), step.answer)
            << (&step.probe == &wide ? "64-bit: " : "32-bit: ") << step.command;
}
#endif

// ---- the runtime directory ----------------------------------------------------

// R is fixed when the library loads, a relative TAVRIL_RUNTIME_DIR resolved
// against the working directory of that moment.  Whatever the program
// changes later, the slot table and device discovery keep using that R.
struct LaterChange {
    const char* name;
    bool relative;  // TAVRIL_RUNTIME_DIR names R relative to the working directory
    // The probe's command that would point R at <base>/elsewhere/R.
    std::function<std::string(const std::string& base)> command;
};

const LaterChange kLaterChanges[] = {
    {"Environment", false,
     [](const std::string& base) { return "setenv TAVRIL_RUNTIME_DIR " + base + "/elsewhere/R"; }},
    {"WorkingDirectory", true, [](const std::string& base) { return "chdir " + base + "/elsewhere"; }},
};

class RuntimeDirectory : public ::testing::TestWithParam<LaterChange> {};

TEST_P(RuntimeDirectory, IsTheOneResolvedWhenTheLibraryLoads) {
    const LaterChange& row = GetParam();
    const std::string base = private_dir(runtime_dir() + "/later-" + row.name);
    private_dir(base + "/elsewhere");
    tavlib::sim::SimProcess sim(options({}, private_dir(base + "/R")));
    Probe probe(row.relative ? "R" : base + "/R", tavtest::emulated_command(TAVLIB_PROBE_PATH),
                base);
    EXPECT_EQ(probe.ask(row.command(base)), "ok");
    EXPECT_EQ(probe.ask("open 0"), "open 0 0");
    EXPECT_EQ(probe.ask("close"), "close 0 0");
    EXPECT_FALSE(std::filesystem::exists(base + "/elsewhere/R"));
}

INSTANTIATE_TEST_SUITE_P(Rows, RuntimeDirectory, ::testing::ValuesIn(kLaterChanges),
                         [](const auto& row) { return std::string(row.param.name); });

// Every file under `root`, with its owner, mode and size: what a refused
// directory must still hold afterwards.
std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> files;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        struct stat st {};
        ::lstat(it->path().c_str(), &st);
        files[it->path()] = std::to_string(st.st_uid) + " " + std::to_string(st.st_mode) + " " +
                            std::to_string(st.st_size);
    }
    return files;
}

constexpr uid_t kNobody = 65534;

// A runtime directory R (or a file in it) that another user could have made
// or can change.  `afterLoad`: R is sound when the library loads and turns
// bad before the open.
struct Planted {
    const char* name;
    bool needsRoot;
    bool afterLoad;
    std::function<void(const std::string& r)> plant;
};

void make_table_file(const std::string& r) {
    private_dir(r + "/" + kInterfaceFolder);
    std::ofstream(r + "/slot-table") << std::string(32, '\xff');
    ::chmod((r + "/slot-table").c_str(), 0600);
}

const Planted kPlanted[] = {
    {"OpenToOthers", false, false, [](const std::string& r) { ::chmod(private_dir(r).c_str(), 0777); }},
    {"OwnedByAnotherUser", true, false,
     [](const std::string& r) { EXPECT_EQ(::chown(private_dir(r).c_str(), kNobody, kNobody), 0); }},
    {"SymbolicLink", false, false,
     [](const std::string& r) { std::filesystem::create_directory_symlink(private_dir(r + ".real"), r); }},
    {"InterfaceFolderOpenToOthers", false, false,
     [](const std::string& r) { ::chmod(private_dir(r + "/" + kInterfaceFolder).c_str(), 0755); }},
    {"SlotTableOfAnotherUser", true, false,
     [](const std::string& r) {
         make_table_file(private_dir(r));
         EXPECT_EQ(::chown((r + "/slot-table").c_str(), kNobody, kNobody), 0);
     }},
    {"SlotTableOpenToOthers", false, false,
     [](const std::string& r) {
         make_table_file(private_dir(r));
         ::chmod((r + "/slot-table").c_str(), 0666);
     }},
    {"SlotTableLink", false, false,
     [](const std::string& r) {
         make_table_file(private_dir(r + ".real"));
         private_dir(r);
         std::filesystem::create_symlink(r + ".real/slot-table", r + "/slot-table");
     }},
    {"InterfaceFolderOpenedAfterLoad", false, true,
     [](const std::string& r) { ::chmod((r + "/" + kInterfaceFolder).c_str(), 0775); }},
};

class NotPrivate : public ::testing::TestWithParam<Planted> {};

TEST_P(NotPrivate, IsRefusedWithAccessDeniedAndNothingIsWrittenThere) {
    const Planted& row = GetParam();
    if (row.needsRoot && ::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
    const std::string base = private_dir(runtime_dir() + "/planted-" + row.name);
    const std::string r = base + "/R";
    if (!row.afterLoad) row.plant(r);
    Probe probe(row.afterLoad ? private_dir(r) : r);
    if (row.afterLoad) {
        EXPECT_EQ(probe.ask("open 0"), "open -1 259");  // sound: no device, but looked
        row.plant(r);
    }
    const auto before = snapshot(base);
    EXPECT_EQ(probe.ask("open 0"), "open -1 5");
    EXPECT_EQ(snapshot(base), before);
}

INSTANTIATE_TEST_SUITE_P(Rows, NotPrivate, ::testing::ValuesIn(kPlanted),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- two copies of the library in one process --------------------------------------

// A second copy (another file, as a plugin would bring) shares the table
// with the first: it neither resets the first's claims when it loads nor
// drops the first's locks when it unloads.
TEST(TwoCopies, ShareTheTableWithoutResettingOrUnlockingEachOther) {
    tavlib::sim::SimProcess sim(options({"--devices", "2"}));
    const std::string copyPath = private_dir(runtime_dir() + "/copy") + "/libtavlib-copy.so";
    std::filesystem::copy_file(TAVLIB_LIBRARY_PATH, copyPath);

    LibraryCopy first(TAVLIB_LIBRARY_PATH);
    void* zero = nullptr;
    ASSERT_EQ(first.open(0, &zero), "0 0");
    {
        LibraryCopy second(copyPath);
        void* any = nullptr;
        EXPECT_EQ(second.open(0, &any), "-1 0");
        void* one = nullptr;
        ASSERT_EQ(second.open(1, &one), "0 0");
        EXPECT_EQ(first.open(1, &any), "-1 0");
        EXPECT_EQ(second.close(one), "0 0");
        second.unload();
        EXPECT_EQ(::dlopen(copyPath.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
    }
    // The first copy still holds the table: a process loading the library
    // now finds slot 0 claimed instead of a fresh table.
    EXPECT_EQ(Probe().ask("open 0"), "open -1 0");
    EXPECT_EQ(first.close(zero), "0 0");
}

// ---- a driver that takes no connection -------------------------------------------------

// Its listening socket in the interface folder, with its one backlog place
// taken: a connect to it waits until the driver accepts, which it never does.
class StalledDriver {
public:
    explicit StalledDriver(const std::string& path) : path_(path) {
        listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 0), 0);
        filler_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        EXPECT_EQ(::connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~StalledDriver() {
        ::close(filler_);
        ::close(listener_);
        ::unlink(path_.c_str());
    }
    StalledDriver(const StalledDriver&) = delete;
    StalledDriver& operator=(const StalledDriver&) = delete;

private:
    std::string path_;
    int listener_ = -1;
    int filler_ = -1;
};

// The open of the stalled device fails after the grace period, and the
// slot-table lock it holds meanwhile keeps another process's open and close
// of another slot waiting no longer than that.
TEST(StalledDriver, AnOpenIsBoundedAndOtherProcessesGoOn) {
    tavlib::sim::SimProcess sim(options());
    StalledDriver stalled(sim.interface_folder() + "/~stalled");  // sorts after the simulator's
    Probe blocked;
    Probe other;
    const auto bound = std::chrono::milliseconds(TAVRIL_DRIVER_GRACE_MS) + std::chrono::seconds(5);
    blocked.send("open 1");
    other.send("open 0");
    EXPECT_EQ(other.answer_within(bound), "open 0 0");
    EXPECT_EQ(other.ask("close"), "close 0 0");
    EXPECT_EQ(blocked.answer_within(bound), "open -1 1460");
    blocked.kill_now();
}

}  // namespace
