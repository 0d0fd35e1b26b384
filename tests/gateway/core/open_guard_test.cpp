// The open guard: an open waits for the exchanges that run, asks every
// party to end what it holds, and holds new exchanges back meanwhile; one
// that waits in vain gives up after its patience and lets them go.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>

#include "open_guard.h"

namespace {

using namespace std::chrono_literals;
using tavlib::gateway::OpenGuard;

TEST(OpenGuard, AWaitingOpenAsksPartiesAndHoldsNewExchangesBack) {
    struct Case {
        const char* name;
        bool releaseFirst;  // the running exchange ends while the open waits
    };
    for (const Case k : {Case{"the exchange ends: the open goes first", true},
                         Case{"it does not: the open gives up", false}}) {
        SCOPED_TRACE(k.name);
        OpenGuard guard;
        std::promise<void> asked;
        std::atomic<bool> askedOnce{false};
        const OpenGuard::Party party(guard, [&] {
            if (!askedOnce.exchange(true)) asked.set_value();
        });
        std::optional<OpenGuard::Exchange> running(std::in_place, guard);
        std::atomic<int> order{0};
        int openAt = 0;
        bool held = false;
        std::future<void> open = std::async(std::launch::async, [&] {
            const OpenGuard::Opening opening(guard, k.releaseFirst ? 10s : 2s);
            held = opening.held();
            openAt = ++order;
        });
        ASSERT_EQ(asked.get_future().wait_for(10s), std::future_status::ready);
        std::future<int> next = std::async(std::launch::async, [&] {
            const OpenGuard::Exchange exchange(guard);
            return ++order;
        });
        // Held back while the open waits, though no open holds the guard yet.
        EXPECT_EQ(next.wait_for(200ms), std::future_status::timeout);
        if (k.releaseFirst) running.reset();
        open.get();
        EXPECT_EQ(held, k.releaseFirst);
        // Once the open has had the guard it goes; one that gave up lets it
        // go beside the exchange that still runs.
        const int nextAt = next.get();
        if (k.releaseFirst) {
            EXPECT_EQ(nextAt, openAt + 1);
        }
        running.reset();
    }
}

}  // namespace
