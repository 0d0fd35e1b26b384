#include "open_guard.h"

namespace tavlib::gateway {

OpenGuard::Exchange::Exchange(OpenGuard& guard) : guard_(guard) {
    std::unique_lock<std::mutex> lock(guard_.mutex_);
    guard_.changed_.wait(lock, [this] { return !guard_.alone_; });
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
    held_ = guard_.changed_.wait_for(lock, patience,
                                    [this] { return !guard_.alone_ && guard_.shared_ == 0; });
    if (held_) guard_.alone_ = true;
}

OpenGuard::Opening::~Opening() {
    if (!held_) return;
    {
        const std::lock_guard<std::mutex> lock(guard_.mutex_);
        guard_.alone_ = false;
    }
    guard_.changed_.notify_all();
}

}  // namespace tavlib::gateway
