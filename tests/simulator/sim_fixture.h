// Common set-up of the simulator's process tests: a simulator of its own
// per test and raw connections to its devices.
#pragma once

#include "raw_client.h"
#include "sim_process.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tavlib::sim::test {

// The sample instrument the simulator ships with.
inline const std::string kSample = std::string(TAVRIL_SIM_DEFINITIONS_DIR) + "/sample.yaml";

class SimTest : public ::testing::Test {
protected:
    void start(std::vector<std::string> args = {}, bool trace = false, std::string runtime_dir = {}) {
        SimOptions options;
        options.args = std::move(args);
        options.trace = trace;
        options.runtimeDir = std::move(runtime_dir);
        sim_ = std::make_unique<SimProcess>(std::move(options));
    }
    SimProcess& sim() {
        if (!sim_) start();
        return *sim_;
    }
    std::string path(std::uint32_t device = 1) {
        for (const SimDevice& d : sim().devices())
            if (d.id == device) return d.path;
        throw std::runtime_error("no device " + std::to_string(device));
    }
    RawConnection connect(std::uint32_t device = 1) { return RawConnection(path(device)); }

    // Reads one response that the device already has or will have, in READs
    // of `capacity`, until a READ returns less than `capacity`.
    static std::string read_response(RawConnection& c, std::uint32_t& id, std::uint32_t capacity) {
        std::string out;
        for (;;) {
            c.read(++id, capacity);
            const Completion done = c.expect();
            EXPECT_EQ(done.id, id);
            EXPECT_EQ(done.status, 0u);
            EXPECT_EQ(done.payload.size(), done.count);
            out += done.payload;
            if (done.count < capacity || done.count == 0) return out;
        }
    }

    std::unique_ptr<SimProcess> sim_;
};

}  // namespace tavlib::sim::test
