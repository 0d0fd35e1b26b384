// The network's executor, work handed to it from other threads, and a
// network coroutine's wait for such work.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/defer.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "network.h"

namespace tavlib::gateway {

// Posts work to the network from any thread.  Once closed (at shutdown,
// before the io_context goes), work handed over is dropped.
class Poster {
public:
    explicit Poster(const NetworkExecutor& network) : state_(std::make_shared<State>(network)) {}

    // From a thread of the io_context (one that has just run an
    // instrument's call, say), the work runs on that thread once its current
    // handler has returned, without waking another thread for it.
    void post(std::function<void()> work) const {
        const std::lock_guard<std::mutex> lock(state_->mutex);
        if (!state_->open) return;
        if (state_->network.get_inner_executor().running_in_this_thread())
            asio::defer(state_->network, std::move(work));
        else
            asio::post(state_->network, std::move(work));
    }
    // Work that any thread of the network may run, now: for work the caller
    // may go on to wait for (deferred work would wait for the caller).
    void post_now(std::function<void()> work) const {
        const std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->open) asio::post(state_->network, std::move(work));
    }
    void close() const {
        const std::lock_guard<std::mutex> lock(state_->mutex);
        state_->open = false;
    }

private:
    struct State {
        explicit State(const NetworkExecutor& executor) : network(executor) {}
        std::mutex mutex;
        NetworkExecutor network;
        bool open = true;
    };
    std::shared_ptr<State> state_;
};

// A result a coroutine on the network waits for while a slot's
// worker produces it: finisher() gives the function the worker calls.
template <class T>
class Pending {
public:
    explicit Pending(const NetworkExecutor& network) : state_(std::make_shared<State>(network)) {}

    std::function<void(T)> finisher(const Poster& poster) const {
        return [state = state_, poster](T value) {
            poster.post([state, value = std::move(value)]() mutable {
                state->value = std::move(value);
                state->timer.cancel();
            });
        };
    }
    // On the network.  Nothing when the io_context stopped first.
    asio::awaitable<std::optional<T>> wait() {
        if (!state_->value) {
            state_->timer.expires_at(std::chrono::steady_clock::time_point::max());
            co_await state_->timer.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
        }
        co_return std::move(state_->value);
    }

private:
    struct State {
        explicit State(const NetworkExecutor& network) : timer(network) {}
        asio::steady_timer timer;
        std::optional<T> value;
    };
    std::shared_ptr<State> state_;
};

}  // namespace tavlib::gateway
