#include "event_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace tavlib::sim {

namespace {

constexpr std::uint64_t kWakeKey = 0;

[[noreturn]] void throw_errno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

EventLoop::Watch::Watch(Watch&& other) noexcept
    : loop_(std::exchange(other.loop_, nullptr)), key_(other.key_) {}

EventLoop::Watch& EventLoop::Watch::operator=(Watch&& other) noexcept {
    if (this != &other) {
        reset();
        loop_ = std::exchange(other.loop_, nullptr);
        key_ = other.key_;
    }
    return *this;
}

void EventLoop::Watch::reset() noexcept {
    if (loop_ != nullptr) std::exchange(loop_, nullptr)->unwatch(key_);
}

void EventLoop::Watch::modify(std::uint32_t events) {
    if (loop_ != nullptr) loop_->modify(key_, events);
}

EventLoop::Timer::Timer(Timer&& other) noexcept
    : loop_(std::exchange(other.loop_, nullptr)), key_(other.key_) {}

EventLoop::Timer& EventLoop::Timer::operator=(Timer&& other) noexcept {
    if (this != &other) {
        reset();
        loop_ = std::exchange(other.loop_, nullptr);
        key_ = other.key_;
    }
    return *this;
}

void EventLoop::Timer::reset() noexcept {
    if (loop_ != nullptr) std::exchange(loop_, nullptr)->cancel(key_);
}

bool EventLoop::Timer::pending() const noexcept {
    return loop_ != nullptr && loop_->timer_pending(key_);
}

EventLoop::EventLoop() {
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_) throw_errno("epoll_create1");
    wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) throw_errno("eventfd");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeKey;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &ev) != 0) throw_errno("epoll_ctl");
}

EventLoop::~EventLoop() = default;

EventLoop::Watch EventLoop::watch(int fd, std::uint32_t events, FdHandler handler) {
    const std::uint64_t key = nextKey_++;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = key;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) throw_errno("epoll_ctl(ADD)");
    fds_.emplace(key, std::make_shared<FdEntry>(FdEntry{fd, std::move(handler)}));
    return Watch(this, key);
}

void EventLoop::unwatch(std::uint64_t key) noexcept {
    auto it = fds_.find(key);
    if (it == fds_.end()) return;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, it->second->fd, nullptr);
    fds_.erase(it);
}

void EventLoop::modify(std::uint64_t key, std::uint32_t events) {
    auto it = fds_.find(key);
    if (it == fds_.end()) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = key;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, it->second->fd, &ev) != 0) throw_errno("epoll_ctl(MOD)");
}

EventLoop::Timer EventLoop::after(std::chrono::milliseconds delay, TimerCallback callback) {
    const std::uint64_t key = nextKey_++;
    const Clock::time_point due = Clock::now() + delay;
    timers_.emplace(TimerKey{due, key}, std::move(callback));
    timerDue_.emplace(key, due);
    return Timer(this, key);
}

void EventLoop::cancel(std::uint64_t key) noexcept {
    auto it = timerDue_.find(key);
    if (it == timerDue_.end()) return;
    timers_.erase(TimerKey{it->second, key});
    timerDue_.erase(it);
}

bool EventLoop::timer_pending(std::uint64_t key) const noexcept {
    return timerDue_.count(key) != 0;
}

void EventLoop::request_stop() noexcept {
    const std::uint64_t one = 1;
    // Only async-signal-safe calls here.
    [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
}

int EventLoop::next_timeout_ms() const {
    if (timers_.empty()) return -1;
    const auto left = timers_.begin()->first.first - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    // Round up so that a timer is never found not yet due after the wait.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 60000 ? 60000 : static_cast<int>(ms);
}

void EventLoop::fire_due_timers() {
    const Clock::time_point now = Clock::now();
    while (!timers_.empty() && !stopping_) {
        auto it = timers_.begin();
        if (it->first.first > now) break;
        TimerCallback callback = std::move(it->second);
        timerDue_.erase(it->first.second);
        timers_.erase(it);
        callback();
    }
}

void EventLoop::run() {
    stopping_ = false;
    std::array<epoll_event, 64> events{};
    while (!stopping_) {
        const int n = ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()),
                                   next_timeout_ms());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw_errno("epoll_wait");
        }
        for (int i = 0; i < n && !stopping_; ++i) {
            const std::uint64_t key = events[static_cast<std::size_t>(i)].data.u64;
            if (key == kWakeKey) {
                std::uint64_t value = 0;
                [[maybe_unused]] const ssize_t r = ::read(wake_.get(), &value, sizeof value);
                stopping_ = true;
                break;
            }
            // A handler earlier in this round may have removed this watch.
            auto it = fds_.find(key);
            if (it == fds_.end()) continue;
            std::shared_ptr<FdEntry> entry = it->second;
            entry->handler(events[static_cast<std::size_t>(i)].events);
        }
        fire_due_timers();
    }
}

}  // namespace tavlib::sim
