#include "gate.h"

namespace tavlib::gateway {

Gate::Shared::Shared(Gate& gate) : gate_(gate) {
    std::unique_lock<std::mutex> lock(gate_.mutex_);
    gate_.changed_.wait(lock, [this] { return !gate_.alone_; });
    ++gate_.shared_;
}

Gate::Shared::~Shared() {
    {
        const std::lock_guard<std::mutex> lock(gate_.mutex_);
        --gate_.shared_;
    }
    gate_.changed_.notify_all();
}

Gate::Alone::Alone(Gate& gate, std::chrono::milliseconds patience) : gate_(gate) {
    std::unique_lock<std::mutex> lock(gate_.mutex_);
    held_ = gate_.changed_.wait_for(lock, patience,
                                    [this] { return !gate_.alone_ && gate_.shared_ == 0; });
    if (held_) gate_.alone_ = true;
}

Gate::Alone::~Alone() {
    if (!held_) return;
    {
        const std::lock_guard<std::mutex> lock(gate_.mutex_);
        gate_.alone_ = false;
    }
    gate_.changed_.notify_all();
}

}  // namespace tavlib::gateway
