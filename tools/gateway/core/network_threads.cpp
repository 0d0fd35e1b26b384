#include "network_threads.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>

namespace tavlib::gateway {
namespace {

// After the last call, the watch goes on looking this long before it sleeps
// until the next: a stream of calls wakes it once, not once per call.
constexpr std::chrono::seconds kLinger{1};

}  // namespace

struct NetworkThreads::Call::State {
    State(asio::io_context& context, std::chrono::microseconds wait) : io(context), patience(wait) {}

    asio::io_context& io;
    const std::chrono::microseconds patience;
    std::mutex mutex;
    std::condition_variable watchWake;
    std::condition_variable hire;
    std::condition_variable threadEnded;
    std::map<std::uint64_t, Clock::time_point> calls;  // running, by when each began
    std::uint64_t nextCall = 1;
    Clock::time_point lastCall{};
    bool watchAsleep = false;
    std::size_t wanted = 0;   // standby threads wanted on the network
    std::size_t running = 0;  // standby threads on it
    bool ending = false;
    bool stopped = false;   // stop() was called
    bool runEnded = false;  // run()'s thread has ended
    std::size_t threads = 0;  // started
    std::size_t ended = 0;
};

NetworkThreads::NetworkThreads(asio::io_context& io, std::size_t standby, std::chrono::microseconds patience)
    : state_(std::make_shared<State>(io, patience)) {
    start(&NetworkThreads::watch);
    for (std::size_t i = 0; i < standby; ++i) start(&NetworkThreads::stand_by);
}

NetworkThreads::~NetworkThreads() {
    end_threads();
    for (std::thread& thread : threads_)
        if (thread.joinable()) thread.join();
}

void NetworkThreads::start(void (*body)(State&)) {
    {
        const std::lock_guard<std::mutex> lock(state_->mutex);
        ++state_->threads;
    }
    threads_.emplace_back([state = state_, body] {
        body(*state);
        {
            const std::lock_guard<std::mutex> lock(state->mutex);
            ++state->ended;
        }
        state->threadEnded.notify_all();
    });
}

void NetworkThreads::end_threads() {
    {
        const std::lock_guard<std::mutex> lock(state_->mutex);
        state_->ending = true;
    }
    state_->watchWake.notify_all();
    state_->hire.notify_all();
}

void NetworkThreads::run() {
    start([](State& state) {
        state.io.run();
        const std::lock_guard<std::mutex> lock(state.mutex);
        state.runEnded = true;
    });
    {
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->threadEnded.wait(lock, [this] { return state_->stopped || state_->runEnded; });
    }
    end_threads();
}

void NetworkThreads::stop() {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopped = true;
    state_->io.stop();
    state_->threadEnded.notify_all();
}

NetworkThreads::Call NetworkThreads::call() {
    bool wake = false;
    std::uint64_t id = 0;
    {
        const std::lock_guard<std::mutex> lock(state_->mutex);
        id = state_->nextCall++;
        state_->calls.emplace(id, Clock::now());
        wake = state_->watchAsleep;
        state_->watchAsleep = false;
    }
    if (wake) state_->watchWake.notify_one();
    return Call(state_, id);
}

NetworkThreads::Call::Call(Call&& other) noexcept : state_(std::move(other.state_)), id_(other.id_) {}

NetworkThreads::Call::~Call() {
    if (!state_) return;
    const std::lock_guard<std::mutex> lock(state_->mutex);
    state_->calls.erase(id_);
    state_->lastCall = Clock::now();
}

void NetworkThreads::watch(State& state) {
    std::unique_lock<std::mutex> lock(state.mutex);
    while (!state.ending) {
        const Clock::time_point now = Clock::now();
        if (state.calls.empty() && state.wanted == 0 && now - state.lastCall > kLinger) {
            state.watchAsleep = true;
            state.watchWake.wait(lock, [&] { return state.ending || !state.watchAsleep; });
            continue;
        }
        state.watchWake.wait_for(lock, state.patience);
        const Clock::time_point looked = Clock::now();
        // One thread on the network for each call that holds one too long.
        const auto held = static_cast<std::size_t>(
            std::count_if(state.calls.begin(), state.calls.end(),
                          [&](const auto& call) { return looked - call.second >= state.patience; }));
        state.wanted = held;
        if (state.running < held) state.hire.notify_all();
    }
}

void NetworkThreads::stand_by(State& state) {
    std::unique_lock<std::mutex> lock(state.mutex);
    for (;;) {
        state.hire.wait(lock, [&] { return state.ending || state.running < state.wanted; });
        if (state.ending) return;
        ++state.running;
        for (;;) {
            lock.unlock();
            state.io.run_for(state.patience * 2);
            lock.lock();
            if (state.io.stopped() || state.ending) {
                --state.running;
                return;
            }
            // Not wanted any more: the first to see it leaves.
            if (state.running > state.wanted) {
                --state.running;
                break;
            }
        }
    }
}

bool NetworkThreads::join_until(Clock::time_point until) {
    end_threads();
    std::unique_lock<std::mutex> lock(state_->mutex);
    const bool ended = state_->threadEnded.wait_until(lock, until, [this] { return state_->ended == state_->threads; });
    lock.unlock();
    for (std::thread& thread : threads_) {
        if (ended)
            thread.join();
        else
            thread.detach();
    }
    threads_.clear();
    return ended;
}

}  // namespace tavlib::gateway
