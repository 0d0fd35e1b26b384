// A simulated instrument in this test process's runtime directory.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "sim_process.h"
#include "tavlib.h"

namespace tavlib::test {

inline sim::SimOptions sim_options(std::vector<std::string> args = {}) {
    sim::SimOptions options;
    const char* dir = std::getenv("TAVRIL_RUNTIME_DIR");
    options.runtimeDir = dir != nullptr ? dir : "";
    options.args = std::move(args);
    return options;
}

class SimulatorTest : public ::testing::Test {
protected:
    void SetUp() override { start(); }

    void start(std::vector<std::string> args = {}) {
        sim.reset();
        sim = std::make_unique<sim::SimProcess>(sim_options(std::move(args)));
        const auto devices = sim->devices();
        dev = devices.empty() ? 0 : devices.front().id;
    }

    // The serial number the simulator's default identity gives a device.
    static std::string serial_of(std::uint32_t device) {
        char text[16];
        std::snprintf(text, sizeof text, "SN%06u", static_cast<unsigned>(device));
        return text;
    }
    void TearDown() override {
        std::uint32_t error = 0;
        for (TavrilHandle h : opened) Close_Tavril(h, &error);
    }

    // Opens a slot and expects the instrument to be identified.
    TavrilHandle open_slot(std::uint32_t slot = 0) {
        TavrilHandle handle = TAVRIL_INVALID_HANDLE;
        InstrumentIdentity identity{};
        std::uint32_t error = 0;
        EXPECT_EQ(Open_Tavril(slot, &handle, &identity, &error), TAVRIL_OPEN_OK);
        EXPECT_EQ(error, 0u);
        opened.push_back(handle);
        return handle;
    }

    void close_slot(TavrilHandle handle) {
        std::uint32_t error = 0;
        EXPECT_EQ(Close_Tavril(handle, &error), TAVRIL_CLOSE_OK);
        std::erase(opened, handle);
    }

    std::unique_ptr<sim::SimProcess> sim;
    std::uint32_t dev = 0;  // the simulator's number of its first device
    std::vector<TavrilHandle> opened;
};

}  // namespace tavlib::test
