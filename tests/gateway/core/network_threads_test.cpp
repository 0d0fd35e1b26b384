// The network's threads: a call that runs long on the network's one thread
// gets another thread to take over the network; the network then goes on
// while the call runs, and every thread ends when the io_context stops.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "network_threads.h"

namespace {

using namespace std::chrono_literals;
using tavlib::gateway::NetworkThreads;

// Each row: a handler of the network runs a call that waits for a second
// handler, posted after it.  Only a call that says it runs (call()) gets the
// network taken over; the second handler then runs during the call.
TEST(NetworkThreads, ACallThatRunsLongGetsTheNetworkTakenOver) {
    struct Case {
        std::size_t standby;
        std::size_t calls;  // at once, each waiting for the second handler
    };
    for (const Case k : {Case{1, 1}, Case{2, 2}}) {
        asio::io_context io;
        auto work = asio::make_work_guard(io);
        NetworkThreads threads(io, k.standby, std::chrono::microseconds(2ms));
        std::promise<void> secondRan;
        std::shared_future<void> second = secondRan.get_future().share();
        std::vector<std::future<bool>> calls;
        for (std::size_t i = 0; i < k.calls; ++i) {
            auto ran = std::make_shared<std::promise<bool>>();
            calls.push_back(ran->get_future());
            asio::post(io, [&threads, second, ran] {
                const NetworkThreads::Call running = threads.call();
                ran->set_value(second.wait_for(5s) == std::future_status::ready);
            });
        }
        asio::post(io, [&secondRan] { secondRan.set_value(); });
        std::thread network([&] { threads.run(); });
        for (std::future<bool>& call : calls) EXPECT_TRUE(call.get()) << k.calls << " call(s)";
        threads.stop();
        network.join();
        EXPECT_TRUE(threads.join_until(NetworkThreads::Clock::now() + 5s)) << k.calls << " call(s)";
    }
}

}  // namespace
