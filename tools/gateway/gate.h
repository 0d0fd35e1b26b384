// Keeps the opening of a slot apart from every port's exchanges.
//
// Slot n is the n-th present instrument when it is opened, so a port that
// reopens its slot after a removal may meet an instrument that another port
// serves.  Open_Tavril then asks that instrument for its identity, and a
// question and an answer of the other port's client in flight at that moment
// would meet the open's: the open could take the client's answer, and the
// client the identity.  So exchanges hold the gate shared, and an open holds
// it alone.  Opens are rare (a start, an instrument that went away), so an
// open gives way to exchanges: it waits for a moment when none runs, at most
// a bounded time, and otherwise tries again at its next attempt.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tavlib::gateway {

class Gate {
public:
    // Held while one exchange with an instrument runs.
    class Shared {
    public:
        explicit Shared(Gate& gate);
        ~Shared();
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;

    private:
        Gate& gate_;
    };

    // Held while a slot is opened; `held()` is false when exchanges went on
    // for all of `patience`.
    class Alone {
    public:
        Alone(Gate& gate, std::chrono::milliseconds patience);
        ~Alone();
        Alone(const Alone&) = delete;
        Alone& operator=(const Alone&) = delete;
        bool held() const { return held_; }

    private:
        Gate& gate_;
        bool held_;
    };

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned shared_ = 0;
    bool alone_ = false;
};

}  // namespace tavlib::gateway
