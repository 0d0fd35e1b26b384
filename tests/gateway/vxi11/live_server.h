// The VXI-11 channels and the portmapper of one fake instrument, on free
// ports of 127.0.0.1, served by a thread of their own for the duration of a
// test.
#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "fake_device.h"
#include "portmapper.h"
#include "server.h"
#include "vxi11.h"

namespace vxi11_test {

class LiveServer {
public:
    explicit LiveServer(tavlib::gateway::vxi11::Limits limits = {}, std::size_t chunk = 64 * 1024)
        : device(chunk), dispatcher(limits) {
        using namespace tavlib::gateway::vxi11;
        const asio::ip::address loopback = asio::ip::address_v4::loopback();
        abort = std::make_unique<ChannelServer>(
            network, dispatcher, ChannelOptions{{loopback, 0}, Channel::abort, 0, 8, 0, {}, {}, {}});
        core = std::make_unique<ChannelServer>(
            network, dispatcher, ChannelOptions{{loopback, 0}, Channel::core, 0, 8, 0, {}, {}, {}});
        // The abort port is known only now; create_link announces it.
        dispatcher.set_abort_port(abort->port());
        dispatcher.add_device("inst0", device);
        // A read that finds nothing waits out its time-out, without holding
        // up the other connections.
        device.later = [this](std::chrono::seconds wait, std::function<void()> then) {
            auto timer = std::make_shared<asio::steady_timer>(io, wait);
            timer->async_wait([timer, then = std::move(then)](const asio::error_code&) { then(); });
        };
        portmapper = std::make_unique<portmap::PortmapServer>(
            network, loopback, 0,
            std::vector<portmap::Mapping>{{kCoreProgram, kVersion, portmap::kTcp, core->port()}},
            nullptr, nullptr);
        core->start();
        abort->start();
        portmapper->start();
        thread = std::thread([this] { io.run(); });
    }
    ~LiveServer() {
        asio::post(io, [this] {
            core->stop();
            abort->stop();
            portmapper->stop();
        });
        io.stop();
        thread.join();
    }

    // Returns once `count` calls wait (for a lock or for the device), or
    // after 5 s; the count then.
    std::size_t await_waiting(std::size_t count) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            std::promise<std::size_t> counted;
            asio::post(io, [&] { counted.set_value(dispatcher.waiting_calls()); });
            const std::size_t now = counted.get_future().get();
            if (now >= count || std::chrono::steady_clock::now() >= until) return now;
            std::this_thread::yield();
        }
    }

    FakeDevice device;
    tavlib::gateway::vxi11::Dispatcher dispatcher;
    asio::io_context io;
    tavlib::gateway::NetworkExecutor network = asio::make_strand(io);
    std::unique_ptr<tavlib::gateway::vxi11::ChannelServer> core;
    std::unique_ptr<tavlib::gateway::vxi11::ChannelServer> abort;
    std::unique_ptr<tavlib::gateway::vxi11::portmap::PortmapServer> portmapper;
    std::thread thread;
};

}  // namespace vxi11_test
