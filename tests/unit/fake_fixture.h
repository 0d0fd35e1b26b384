// Shared set-up for the unit tests: the library over the fake platform.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/fake/fake_platform.h"
#include "tavlib.h"

namespace tavlib::test {

inline constexpr std::uint32_t kSentinel = 0xA5A5A5A5u;
inline constexpr platform::SlotHandleWord kFreeWord = ~platform::SlotHandleWord{0};

inline TavrilHandle bogus_handle() { return reinterpret_cast<TavrilHandle>(std::uintptr_t{0x7770}); }

class FakePlatformTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }

    fake::State& fake() { return fake::state(); }

    // Opens a device handle on the fake without going through Open_Tavril.
    TavrilHandle open_raw_device() {
        fake().devices = {"/dev/fake0"};
        return platform::CreateFileA("/dev/fake0", 0, 0, nullptr, 0, 0, nullptr);
    }

    // Every event and scratch buffer taken was given back, and each call
    // that took both gave back its buffer right before its event.
    void expect_resources_released() {
        EXPECT_EQ(fake().eventsCreated, fake().eventsClosed);
        EXPECT_EQ(fake().buffersAllocated, fake().buffersFreed);
        const auto& log = fake().log;
        bool allocatedSinceEvent = false;
        for (std::size_t i = 0; i < log.size(); ++i) {
            if (log[i].rfind("CreateEventA", 0) == 0) allocatedSinceEvent = false;
            if (log[i].rfind("GlobalAlloc", 0) == 0 && !log[i].ends_with("failed"))
                allocatedSinceEvent = true;
            if (log[i] == "CloseHandle event" && allocatedSinceEvent) {
                EXPECT_EQ(log[i - 1], "GlobalFree") << "event closed at log entry " << i;
            }
        }
    }

    static fake::TransferStep step(fake::TransferStep s) { return s; }
};

inline fake::TransferStep delivers(std::string data) {
    fake::TransferStep s;
    s.data = std::move(data);
    return s;
}

inline fake::TransferStep times_out() {
    fake::TransferStep s;
    s.wait = platform::kWaitTimeout;
    return s;
}

}  // namespace tavlib::test
