// Several threads transact at once, on one shared handle and on handles of
// their own.  Waiters on one connection take turns reading it and hand each
// other their completions, which the ThreadSanitizer build watches.
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "library_fixture.h"

namespace tavlib::test {
namespace {

constexpr int kRounds = 150;

class ConcurrencyTest : public SimulatorTest {
protected:
    void SetUp() override { start({"--devices", "4"}); }

    // Runs kRounds echo transactions on `handle`, alternating a whole
    // Scmd_Tavril with a Write_Tavril and Read_Tavril pair, and records the
    // lines the instrument answered.
    static void transact(TavrilHandle handle, const std::string& tag,
                         std::vector<std::string>* answers, int* failures) {
        char response[128];
        std::uint32_t count = 0;
        std::uint32_t error = 0;
        for (int round = 0; round < kRounds; ++round) {
            const std::string command = tag + " " + std::to_string(round);
            std::int32_t result = 0;
            if (round % 2 == 0) {
                result = Scmd_Tavril(handle, command.c_str(), sizeof response - 1, TAVRIL_MODE_LINE,
                                     10, 10, response, &error);
            } else {
                result = Write_Tavril(handle, command.c_str(), 10, &count, &error);
                if (result == TAVRIL_WRITE_OK)
                    result = Read_Tavril(handle, sizeof response - 1, TAVRIL_MODE_LINE, 10,
                                         response, &count, &error);
            }
            if (result != 0)
                ++*failures;
            else
                answers->push_back(response);
        }
    }
};

// Four threads on the handle of slot 0 (their answers may cross, as the
// library does not order transactions on one handle, but every command is
// answered once) and one thread on each of slots 1 to 3 (each gets exactly
// its own answers, in order).
TEST_F(ConcurrencyTest, SharedAndOwnHandlesAnswerEveryCommandOnce) {
    const TavrilHandle shared = open_slot(0);
    constexpr int kSharers = 4;
    constexpr int kOwners = 3;
    std::vector<std::vector<std::string>> answers(kSharers + kOwners);
    std::vector<int> failures(kSharers + kOwners, 0);
    std::vector<TavrilHandle> own;
    for (std::uint32_t slot = 1; slot <= kOwners; ++slot) own.push_back(open_slot(slot));

    std::vector<std::thread> threads;
    for (int t = 0; t < kSharers + kOwners; ++t) {
        const TavrilHandle handle = t < kSharers ? shared : own[t - kSharers];
        threads.emplace_back(transact, handle, "T" + std::to_string(t), &answers[t], &failures[t]);
    }
    for (std::thread& thread : threads) thread.join();

    std::vector<std::string> sent_shared;
    std::vector<std::string> got_shared;
    for (int t = 0; t < kSharers + kOwners; ++t) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
        std::vector<std::string> sent;
        for (int round = 0; round < kRounds; ++round)
            sent.push_back("T" + std::to_string(t) + " " + std::to_string(round));
        if (t < kSharers) {
            sent_shared.insert(sent_shared.end(), sent.begin(), sent.end());
            got_shared.insert(got_shared.end(), answers[t].begin(), answers[t].end());
        } else {
            EXPECT_EQ(answers[t], sent) << "thread " << t;
        }
    }
    std::sort(sent_shared.begin(), sent_shared.end());
    std::sort(got_shared.begin(), got_shared.end());
    EXPECT_EQ(got_shared, sent_shared);
}

}  // namespace
}  // namespace tavlib::test
