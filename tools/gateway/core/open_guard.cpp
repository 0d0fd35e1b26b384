#include "open_guard.h"

#include <utility>

namespace tavlib::gateway {

OpenGuard::Exchange::Exchange(OpenGuard& guard) : guard_(guard) {
    std::unique_lock<std::mutex> lock(guard_.mutex_);
    guard_.changed_.wait(lock, [this] { return !guard_.alone_ && guard_.waiting_ == 0; });
    ++guard_.shared_;
}

OpenGuard::Exchange::~Exchange() {
    {
        const std::lock_guard<std::mutex> lock(guard_.mutex_);
        --guard_.shared_;
    }
    guard_.changed_.notify_all();
}

OpenGuard::Opening::Opening(OpenGuard& guard, std::chrono::milliseconds patience) : guard_(guard) {
    std::unique_lock<std::mutex> lock(guard_.mutex_);
    ++guard_.waiting_;
    // Under the lock, so that no party goes while it is asked.
    for (const std::function<void()>& settle : guard_.parties_) settle();
    held_ = guard_.changed_.wait_for(lock, patience,
                                    [this] { return !guard_.alone_ && guard_.shared_ == 0; });
    --guard_.waiting_;
    if (held_) {
        guard_.alone_ = true;
        return;
    }
    // Exchanges held back for this open go on.
    lock.unlock();
    guard_.changed_.notify_all();
}

OpenGuard::Opening::~Opening() {
    if (!held_) return;
    {
        const std::lock_guard<std::mutex> lock(guard_.mutex_);
        guard_.alone_ = false;
    }
    guard_.changed_.notify_all();
}

OpenGuard::Party::Party(OpenGuard& guard, std::function<void()> settle) : guard_(guard) {
    const std::lock_guard<std::mutex> lock(guard_.mutex_);
    at_ = guard_.parties_.insert(guard_.parties_.end(), std::move(settle));
}

OpenGuard::Party::~Party() {
    const std::lock_guard<std::mutex> lock(guard_.mutex_);
    guard_.parties_.erase(at_);
}

}  // namespace tavlib::gateway
