// The simulator core run inside the test process, on a thread of its own.
#include "raw_client.h"
#include "simulator.h"
#include "tavlib/runtime_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include <thread>

namespace tavlib::sim::test {
namespace {

// Points TAVRIL_RUNTIME_DIR at a fresh folder for the life of the object.
class ScopedRuntimeDir {
public:
    ScopedRuntimeDir() {
        char pattern[] = "/tmp/tavril-inproc-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        if (const char* old = std::getenv("TAVRIL_RUNTIME_DIR")) old_ = old;
        ::setenv("TAVRIL_RUNTIME_DIR", path_.c_str(), 1);
    }
    ~ScopedRuntimeDir() {
        if (old_) {
            ::setenv("TAVRIL_RUNTIME_DIR", old_->c_str(), 1);
        } else {
            ::unsetenv("TAVRIL_RUNTIME_DIR");
        }
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScopedRuntimeDir(const ScopedRuntimeDir&) = delete;
    ScopedRuntimeDir& operator=(const ScopedRuntimeDir&) = delete;

private:
    std::string path_;
    std::optional<std::string> old_;
};

TEST(InProcess, ServesDevicesAndRemovesThemWhenDestroyed) {
    ScopedRuntimeDir runtime;
    std::mutex mutex;
    std::vector<std::string> lines;
    SimulatorOptions options;
    options.runtimeDir = tavlib::runtime_dir::from_environment();
    options.devices = 2;
    options.out = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(line);
    };
    options.err = options.out;
    std::string folder;
    {
        Simulator simulator(std::move(options));
        folder = simulator.interface_folder();
        const std::vector<std::string> paths = simulator.device_paths();
        ASSERT_EQ(paths.size(), 2u);
        EXPECT_EQ(simulator.execute("fault 2 error 31 times=1").back().rfind("ok fault kind=error", 0), 0u);
        EXPECT_EQ(simulator.execute("wait 1 requests>=1").back(), "error wait needs the control channel");

        std::thread loop([&simulator] { simulator.run(); });
        RawConnection first(paths[0]);
        first.write(1, "DATA? 5\r\n");
        EXPECT_EQ(first.expect().count, 9u);
        first.read(2, 100);
        EXPECT_EQ(first.expect().payload, "012\r\n");
        RawConnection second(paths[1]);
        second.write(1, "x\r\n");
        EXPECT_EQ(second.expect().status, 31u);
        simulator.request_stop();
        loop.join();
    }
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "tavril-sim: interface folder " + folder);
    EXPECT_EQ(lines[1], "tavril-sim: device 1 added instrument=default path=" + folder + "/0000000001");
}

// `help` lists every command of the table, and a word count outside a
// command's rule gets that command's usage.
TEST(InProcess, CommandTableDrivesHelpAndUsage) {
    ScopedRuntimeDir runtime;
    SimulatorOptions options;
    options.runtimeDir = tavlib::runtime_dir::from_environment();
    options.out = [](const std::string&) {};
    options.err = options.out;
    Simulator simulator(std::move(options));
    const std::vector<std::string> help = simulator.execute("help");
    ASSERT_EQ(help.back(), "ok");
    std::size_t help_line = 1;  // after the heading, in the table's order
    for (const ControlCommands::Command& command : ControlCommands::commands()) {
        SCOPED_TRACE(std::string(command.name));
        ASSERT_LT(help_line, help.size());
        EXPECT_EQ(help[help_line].rfind("  " + std::string(command.usage), 0), 0u);
        const auto details = std::count(command.details.begin(), command.details.end(), '\n');
        help_line += 1 + (command.details.empty() ? 0 : static_cast<std::size_t>(details) + 1);
        const std::string usage = "error usage: " + std::string(command.usage);
        if (command.args.min > 0) {
            EXPECT_EQ(simulator.execute(command.name).back(), usage);
        }
        if (command.args.max < 3) {
            std::string line(command.name);
            for (std::size_t i = 0; i <= command.args.max; ++i) line += " 1";
            EXPECT_EQ(simulator.execute(line).back(), usage);
        }
    }
    EXPECT_EQ(help_line + 1, help.size());
}

}  // namespace
}  // namespace tavlib::sim::test
