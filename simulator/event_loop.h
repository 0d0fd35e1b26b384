// A single-threaded event loop: file descriptors watched with epoll, and
// one-shot timers.  Registrations and timers are RAII handles, so an object
// that owns them can be destroyed at any time, even from inside one of its own
// callbacks, without leaving a dangling callback behind.
#pragma once

#include "unique_fd.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>

namespace tavlib::sim {

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using FdHandler = std::function<void(std::uint32_t events)>;
    using TimerCallback = std::function<void()>;

    // Keeps a file descriptor watched until destroyed or reset.  Destroy it
    // before closing the descriptor.
    class Watch {
    public:
        Watch() = default;
        Watch(Watch&& other) noexcept;
        Watch& operator=(Watch&& other) noexcept;
        Watch(const Watch&) = delete;
        Watch& operator=(const Watch&) = delete;
        ~Watch() { reset(); }

        void reset() noexcept;
        void modify(std::uint32_t events);  // epoll event mask
        bool active() const noexcept { return loop_ != nullptr; }

    private:
        friend class EventLoop;
        Watch(EventLoop* loop, std::uint64_t key) : loop_(loop), key_(key) {}
        EventLoop* loop_ = nullptr;
        std::uint64_t key_ = 0;
    };

    // A pending one-shot timer; destroying or resetting it cancels the timer.
    class Timer {
    public:
        Timer() = default;
        Timer(Timer&& other) noexcept;
        Timer& operator=(Timer&& other) noexcept;
        Timer(const Timer&) = delete;
        Timer& operator=(const Timer&) = delete;
        ~Timer() { reset(); }

        void reset() noexcept;
        // True while the timer has neither fired nor been cancelled.
        bool pending() const noexcept;

    private:
        friend class EventLoop;
        Timer(EventLoop* loop, std::uint64_t key) : loop_(loop), key_(key) {}
        EventLoop* loop_ = nullptr;
        std::uint64_t key_ = 0;
    };

    EventLoop();  // throws std::system_error
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;
    ~EventLoop();

    Watch watch(int fd, std::uint32_t events, FdHandler handler);
    Timer after(std::chrono::milliseconds delay, TimerCallback callback);

    // Runs until stop() or request_stop().
    void run();
    // From inside a callback: leave run() after the current round.
    void stop() noexcept { stopping_ = true; }
    // From any thread or a signal handler.
    void request_stop() noexcept;

private:
    struct FdEntry {
        int fd;
        FdHandler handler;
    };
    using TimerKey = std::pair<Clock::time_point, std::uint64_t>;

    void unwatch(std::uint64_t key) noexcept;
    void modify(std::uint64_t key, std::uint32_t events);
    void cancel(std::uint64_t key) noexcept;
    bool timer_pending(std::uint64_t key) const noexcept;
    int next_timeout_ms() const;
    void fire_due_timers();

    UniqueFd epoll_;
    UniqueFd wake_;  // eventfd written by request_stop()
    std::uint64_t nextKey_ = 1;
    std::unordered_map<std::uint64_t, std::shared_ptr<FdEntry>> fds_;
    std::map<TimerKey, TimerCallback> timers_;
    std::unordered_map<std::uint64_t, Clock::time_point> timerDue_;
    bool stopping_ = false;
};

}  // namespace tavlib::sim
