// The process-shared slot table, observed through helper processes that
// each load the backend with the test's private runtime directory.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../emulated_command.h"
#include "scripted_driver.h"

extern char** environ;

namespace tavtest {
namespace {

const std::string kFreeSlot = "0 ffffffff";  // 32-bit handle words for every process
const std::string kInitialTable = kFreeSlot + ";" + kFreeSlot + ";" + kFreeSlot + ";" + kFreeSlot;

// One helper process, with the table loaded once constructed; killed when
// the object goes if it still runs.
class Helper {
public:
    explicit Helper(const std::string& runtime) {
        int toChild[2], fromChild[2];
        EXPECT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);

        std::vector<std::string> variables;
        for (char** v = environ; *v != nullptr; ++v)
            if (std::string(*v).rfind("TAVRIL_RUNTIME_DIR=", 0) != 0) variables.emplace_back(*v);
        variables.push_back("TAVRIL_RUNTIME_DIR=" + runtime);
        std::vector<char*> envp;
        for (auto& v : variables) envp.push_back(v.data());
        envp.push_back(nullptr);
        auto command = emulated_command(TAVLIB_SLOT_HELPER);
        auto argv = argv_of(command);
        EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        to_ = toChild[1];
        from_ = fromChild[0];
        EXPECT_EQ(answer(), "ready");
    }
    ~Helper() {
        if (pid_ > 0) kill();
        if (to_ >= 0) ::close(to_);
        ::close(from_);
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    pid_t pid() const { return pid_; }
    std::string ask(const std::string& command) {
        send(command);
        return answer();
    }
    void send(const std::string& command) {
        const std::string text = command + "\n";
        EXPECT_EQ(::write(to_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    std::string answer() {
        for (;;) {
            const auto end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            pollfd entry{from_, POLLIN, 0};
            char chunk[256];
            const ssize_t n =
                ::poll(&entry, 1, kGuardMilliseconds) == 1 ? ::read(from_, chunk, sizeof chunk) : 0;
            if (n <= 0) {
                ADD_FAILURE() << "no answer from helper " << pid_;
                return {};
            }
            pending_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // Waits until the helper either answers (the answer is returned) or
    // sleeps in the kernel (an empty string).  Use it when the helper can
    // sleep only in the call under test.
    std::string answer_or_block() {
        const auto answered = [this] {
            pollfd entry{from_, POLLIN, 0};
            return pending_.find('\n') != std::string::npos || ::poll(&entry, 1, 0) == 1;
        };
        for (int polls = 0; polls < kGuardMilliseconds; ++polls) {
            if (answered()) return answer();
            std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
            const std::string text((std::istreambuf_iterator<char>(stat)),
                                   std::istreambuf_iterator<char>());
            const auto state = text.rfind(')');
            if (state != std::string::npos && text.compare(state, 3, ") S") == 0)
                // Asleep after answering means waiting for the next command.
                return answered() ? answer() : std::string();
            ::poll(nullptr, 0, 1);
        }
        ADD_FAILURE() << "helper " << pid_ << " neither answered nor blocked";
        return {};
    }
    // Ends the helper normally (end of input) and waits for it.
    void quit() {
        ::close(to_);
        to_ = -1;
        reap();
    }
    void kill() {
        ::kill(pid_, SIGKILL);
        reap();
    }

private:
    void reap() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string pending_;
};

std::string slot(const std::string& table, int n) {
    std::string::size_type begin = 0;
    for (int i = 0; i < n; ++i) begin = table.find(';', begin) + 1;
    return table.substr(begin, table.find(';', begin) - begin);
}

class SlotTable : public ::testing::Test {
protected:
    RuntimeDir runtime;
};

TEST_F(SlotTable, FirstLoaderSeesTheInitialContentAndLaterLoadersShareIt) {
    Helper a(runtime.path());
    EXPECT_EQ(a.ask("show"), kInitialTable);
    EXPECT_EQ(a.ask("claim 1 abc"), "claimed");
    Helper b(runtime.path());
    EXPECT_EQ(slot(b.ask("show"), 1), std::to_string(a.pid()) + " abc");
    EXPECT_EQ(b.ask("claim 1 def"), "busy");
    EXPECT_EQ(b.ask("claim 2 def"), "claimed");
    EXPECT_EQ(slot(a.ask("show"), 2), std::to_string(b.pid()) + " def");
}

// The file is laid out the same for 32- and 64-bit processes, which share
// it: four 32-bit owner ids, then four 32-bit handle words, all ones while a
// slot is free.
TEST_F(SlotTable, TheFileHoldsFourOwnerWordsThenFourHandleWords) {
    const auto words = [this] {
        std::ifstream file(runtime.path() + "/slot-table", std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), {});
        EXPECT_EQ(bytes.size(), 32u);
        std::vector<std::uint32_t> values(bytes.size() / 4);
        std::memcpy(values.data(), bytes.data(), values.size() * 4);
        return values;
    };
    constexpr std::uint32_t kFree = 0xFFFFFFFFu;
    Helper a(runtime.path());
    EXPECT_EQ(words(), (std::vector<std::uint32_t>{0, 0, 0, 0, kFree, kFree, kFree, kFree}));
    ASSERT_EQ(a.ask("claim 1 abc"), "claimed");
    const auto owner = static_cast<std::uint32_t>(a.pid());
    EXPECT_EQ(words(), (std::vector<std::uint32_t>{0, owner, 0, 0, kFree, 0xabc, kFree, kFree}));
}

TEST_F(SlotTable, AKilledOwnersClaimStaysUntilEveryHolderIsGone) {
    Helper owner(runtime.path());
    Helper other(runtime.path());
    ASSERT_EQ(owner.ask("claim 0 104"), "claimed");
    const std::string claim = std::to_string(owner.pid()) + " 104";
    owner.kill();

    Helper late(runtime.path());
    EXPECT_EQ(slot(late.ask("show"), 0), claim);
    other.quit();
    EXPECT_EQ(slot(late.ask("show"), 0), claim);
    late.quit();

    Helper next(runtime.path());
    EXPECT_EQ(next.ask("show"), kInitialTable);
}

TEST_F(SlotTable, AForkedChildKeepsTheTableAlive) {
    // Orphans of the helper become this process's children, so that the
    // test can wait for the forked child's end.
    const int subreaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (subreaper != 0 && tavtest::test_emulator() != nullptr)
        GTEST_SKIP() << "the emulator does not support PR_SET_CHILD_SUBREAPER";
    ASSERT_EQ(subreaper, 0);
    Helper parent(runtime.path());
    ASSERT_EQ(parent.ask("claim 2 108"), "claimed");
    const std::string claim = std::to_string(parent.pid()) + " 108";
    const pid_t child = std::stoi(parent.ask("fork"));
    parent.quit();

    {
        Helper witness(runtime.path());
        EXPECT_EQ(slot(witness.ask("show"), 2), claim);
    }
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    Helper next(runtime.path());
    EXPECT_EQ(next.ask("show"), kInitialTable);
}

TEST_F(SlotTable, TheLockExcludesOtherProcesses) {
    Helper holder(runtime.path());
    Helper contender(runtime.path());
    ASSERT_EQ(holder.ask("lock"), "locked");
    contender.send("contend 1 b");
    ASSERT_EQ(contender.answer(), "trying");
    // From here on the contender can sleep only waiting for the lock.
    EXPECT_EQ(contender.answer_or_block(), "");
    EXPECT_EQ(slot(holder.ask("show"), 1), kFreeSlot);
    EXPECT_EQ(holder.ask("put 1 a"), "ok");
    EXPECT_EQ(holder.ask("unlock"), "unlocked");
    EXPECT_EQ(contender.answer(), "busy");
    EXPECT_EQ(slot(contender.ask("show"), 1), std::to_string(holder.pid()) + " a");
}

TEST_F(SlotTable, TheLockOfAKilledHolderIsReleased) {
    Helper holder(runtime.path());
    Helper contender(runtime.path());
    ASSERT_EQ(holder.ask("lock"), "locked");
    holder.kill();
    EXPECT_EQ(contender.ask("claim 0 c"), "claimed");
}

TEST_F(SlotTable, ForkWaitsForTheLockHolderEvenWhenItCallsTheBackend) {
    Helper helper(runtime.path());
    EXPECT_EQ(helper.ask("fork-while-locked"), "forked");
}

// A forked child must not share its parent's lock owner: with the open
// file inherited, the two would pass each other's claim lock.
TEST_F(SlotTable, TheLockExcludesAParentAndItsForkedChild) {
    Helper racer(runtime.path());
    EXPECT_EQ(racer.ask("fork-race 2000"), "4000");
}

TEST_F(SlotTable, TheLockExcludesThreadsOfOneProcess) {
    Helper racer(runtime.path());
    EXPECT_EQ(racer.ask("race 4 500"), "2000");
}

}  // namespace
}  // namespace tavtest
