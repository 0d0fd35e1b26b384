// Keeps the opening of a slot apart from every other slot's exchanges.
//
// Slot n is the n-th present instrument when it is opened, so a port that
// reopens its slot after a removal may meet an instrument that another port
// serves.  Open_Tavril then asks that instrument for its identity, and a
// question and an answer of the other port's client in flight at that moment
// would meet the open's: the open could take the client's answer, and the
// client the identity.  So exchanges hold the guard shared, and an open holds
// it alone.  Opens are rare (a start, an instrument that went away), so an
// open gives way to exchanges: it waits for a moment when none runs, at most
// a bounded time, and otherwise tries again at its next attempt.  While it
// waits, no new exchange begins, and every party is asked to end what it
// holds (a VXI-11 link's answers stay owed between its calls, and are read
// to their end and kept for it then).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>

namespace tavlib::gateway {

class OpenGuard {
public:
    // Held while one exchange with an instrument runs, or while answers
    // are owed; waits while an open holds the guard or waits for it.
    class Exchange {
    public:
        explicit Exchange(OpenGuard& guard);
        ~Exchange();
        Exchange(const Exchange&) = delete;
        Exchange& operator=(const Exchange&) = delete;

    private:
        OpenGuard& guard_;
    };

    // Held while a slot is opened; `held()` is false when exchanges went on
    // for all of `patience`.
    class Opening {
    public:
        Opening(OpenGuard& guard, std::chrono::milliseconds patience);
        ~Opening();
        Opening(const Opening&) = delete;
        Opening& operator=(const Opening&) = delete;
        bool held() const { return held_; }

    private:
        OpenGuard& guard_;
        bool held_;
    };

    // One that may hold the guard shared past a single exchange: while it
    // is registered, every open that begins to wait calls `settle`, which
    // must only ask for the hold's end (queue work), never wait for it.
    class Party {
    public:
        Party(OpenGuard& guard, std::function<void()> settle);
        ~Party();
        Party(const Party&) = delete;
        Party& operator=(const Party&) = delete;

    private:
        OpenGuard& guard_;
        std::list<std::function<void()>>::iterator at_;
    };

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned shared_ = 0;
    unsigned waiting_ = 0;  // opens waiting for the shared holds to end
    bool alone_ = false;
    std::list<std::function<void()>> parties_;
};

}  // namespace tavlib::gateway
