// The slot table shared by processes: claims that outlive a killed owner
// while others have the library loaded, and opens of one slot from several
// processes at once.  This test process never loads the library itself.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "../emulated_command.h"
#include "sim_process.h"

namespace {

// A tavlib_probe child process, talked to through pipes.  `command` starts
// the probe: by default this build's own, through the emulator in a cross
// build.
class Probe {
public:
    explicit Probe(std::vector<std::string> command = tavtest::emulated_command(TAVLIB_PROBE_PATH)) {
        auto argv = tavtest::argv_of(command);
        int toChild[2];
        int fromChild[2];
        // Close-on-exec, so that later probes do not hold this one's pipes
        // open (it would never see the end of its input).
        if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
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

tavlib::sim::SimOptions options(std::vector<std::string> args = {}) {
    tavlib::sim::SimOptions o;
    const char* dir = std::getenv("TAVRIL_RUNTIME_DIR");
    o.runtime_dir = dir != nullptr ? dir : "";
    o.args = std::move(args);
    return o;
}

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
    Probe wide({TAVLIB_NATIVE_PROBE});
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

}  // namespace
