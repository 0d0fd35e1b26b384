// The threads that run the network.
//
// One thread runs it always.  A VXI-11 call that finds its instrument free
// runs on the network thread that received it, off the network's strand
// (call()); most end within a fraction of a millisecond, and while they
// run nobody else needs the network.  A call that runs longer than
// `patience` gets a standby thread to take over the network meanwhile, so
// that it holds up no other client for more than about that long: a watch
// looks every `patience` while calls run, and hires a standby thread for
// each call that has run too long.  (An io_context that several threads
// run all the time wakes a second thread for every call it takes, which
// would cost every call a switch.)
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include <asio/io_context.hpp>

namespace tavlib::gateway {

class NetworkThreads {
public:
    using Clock = std::chrono::steady_clock;

    // `standby`: at most as many calls may run at once (one for each slot).
    NetworkThreads(asio::io_context& io, std::size_t standby, std::chrono::microseconds patience);
    // Joins the threads (after join_until, only those it did not leave).
    ~NetworkThreads();
    NetworkThreads(const NetworkThreads&) = delete;
    NetworkThreads& operator=(const NetworkThreads&) = delete;

    // Runs the network until stop(), or until the io_context runs out of
    // work.  Its own thread does, not the caller's: a call it runs may
    // outlast a shutdown's bound, and the caller must be free to end the
    // process then.
    void run();
    // Stops the io_context: run() returns.
    void stop();

    // While it lives, a call runs on this thread, off the strand.
    class Call {
    public:
        Call(Call&& other) noexcept;
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        Call& operator=(Call&&) = delete;
        ~Call();

    private:
        friend class NetworkThreads;
        struct State;
        Call(std::shared_ptr<State> state, std::uint64_t id) : state_(std::move(state)), id_(id) {}
        std::shared_ptr<State> state_;
        std::uint64_t id_;
    };
    Call call();

    // Once the io_context has stopped: waits until `until` for the threads
    // to end.  False when one still runs a call then (it ends with its
    // library call's time-out): the threads are left to the end of the
    // process.
    bool join_until(Clock::time_point until);

private:
    using State = Call::State;
    // Starts a thread that runs `body`; join_until counts its end.
    void start(void (*body)(State&));
    // Tells the watch and the standby threads to end.
    void end_threads();
    static void watch(State& state);
    static void stand_by(State& state);

    std::shared_ptr<State> state_;
    std::vector<std::thread> threads_;
};

}  // namespace tavlib::gateway
