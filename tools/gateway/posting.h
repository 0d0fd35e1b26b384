// Work handed from the slots' worker threads to the network thread, and a
// network coroutine's wait for it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

namespace tavlib::gateway {

// Posts work to the network's io_context from any thread.  Once closed (at
// shutdown, before the io_context goes), work handed over is dropped.
class Poster {
public:
    explicit Poster(asio::io_context& io) : state_(std::make_shared<State>()) { state_->io = &io; }

    void post(std::function<void()> work) const {
        const std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->io != nullptr) asio::post(*state_->io, std::move(work));
    }
    void close() const {
        const std::lock_guard<std::mutex> lock(state_->mutex);
        state_->io = nullptr;
    }

private:
    struct State {
        std::mutex mutex;
        asio::io_context* io = nullptr;
    };
    std::shared_ptr<State> state_;
};

// A result a coroutine on the network thread waits for while a slot's
// worker produces it: finisher() gives the function the worker calls.
template <class T>
class Pending {
public:
    explicit Pending(asio::io_context& io) : state_(std::make_shared<State>(io)) {}

    std::function<void(T)> finisher(const Poster& poster) const {
        return [state = state_, poster](T value) {
            poster.post([state, value = std::move(value)]() mutable {
                state->value = std::move(value);
                state->timer.cancel();
            });
        };
    }
    // On the network thread.  Nothing when the io_context stopped first.
    asio::awaitable<std::optional<T>> wait() {
        if (!state_->value) {
            state_->timer.expires_at(std::chrono::steady_clock::time_point::max());
            co_await state_->timer.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
        }
        co_return std::move(state_->value);
    }

private:
    struct State {
        explicit State(asio::io_context& io) : timer(io) {}
        asio::steady_timer timer;
        std::optional<T> value;
    };
    std::shared_ptr<State> state_;
};

}  // namespace tavlib::gateway
