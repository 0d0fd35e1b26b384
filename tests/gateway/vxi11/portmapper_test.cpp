// The portmapper over real sockets on free ports of 127.0.0.1: the own
// portmapper's answers as libtirpc's client decodes them (DUMP) and as the
// gateway's own client asks them, who holds a port, and what each mode does
// beside another gateway's own portmapper.  The registration with rpcbind
// itself is checked end to end (tests/gateway/test_registration.py).
#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>

#include "portmapper.h"
#include "vxi11.h"

#ifdef TAVRIL_TEST_TIRPC
#include <arpa/inet.h>
#include <netinet/in.h>
#include <rpc/rpc.h>
#include <rpc/pmap_prot.h>
// libtirpc's calls take every XDR routine as one variadic function type.
#pragma GCC diagnostic ignored "-Wcast-function-type"
#endif

namespace {

namespace pm = tavlib::gateway::vxi11::portmap;
using tavlib::gateway::vxi11::kCoreProgram;
const asio::ip::address kLoopback = asio::ip::address_v4::loopback();
constexpr std::uint32_t kCorePort = 4242;

// An io_context run on a thread of its own for the test's duration.
struct Loop {
    Loop() : thread([this] { io.run(); }) {}
    ~Loop() {
        work.reset();
        io.stop();
        thread.join();
    }
    // Runs `work` on the loop's thread and waits for it.
    template <class Work>
    void sync(Work work_) {
        std::promise<void> done;
        asio::post(io, [&] {
            work_();
            done.set_value();
        });
        done.get_future().wait();
    }
    asio::io_context io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work{io.get_executor()};
    std::thread thread;
};

// Another gateway's own portmapper, on a free port.
struct OtherGateway {
    OtherGateway()
        : server(asio::make_strand(loop.io), kLoopback, 0, {{kCoreProgram, 1, pm::kTcp, kCorePort}}, nullptr, nullptr) {
        server.start();
    }
    ~OtherGateway() {
        loop.sync([this] { server.stop(); });
    }
    Loop loop;
    pm::PortmapServer server;
};

std::uint16_t closed_port() {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {kLoopback, 0});
    return acceptor.local_endpoint().port();
}

TEST(Portmapper, GetportAnswersItsMappingsAndItself) {
    OtherGateway other;
    const std::uint16_t port = other.server.tcp_port();
    EXPECT_EQ(other.server.udp_port(), port);
    const std::vector<std::tuple<pm::Mapping, std::uint32_t>> cases = {
        {{kCoreProgram, 1, pm::kTcp, 0}, kCorePort},
        {{kCoreProgram, 1, pm::kUdp, 0}, 0},
        {{kCoreProgram, 2, pm::kTcp, 0}, 0},
        {{pm::kProgram, pm::kVersion, pm::kTcp, 0}, port},
        {{pm::kProgram, pm::kVersion, pm::kUdp, 0}, port},
    };
    for (const auto& [asked, expected] : cases)
        EXPECT_EQ(pm::lookup(kLoopback, port, asked), expected) << asked.prog << "/" << asked.prot;
    EXPECT_EQ(pm::lookup(kLoopback, closed_port(), std::get<0>(cases[0])), std::nullopt);
}

TEST(Portmapper, TellsWhoHoldsAPortAndWhetherAProgramAnswers) {
    OtherGateway other;
    const std::uint16_t port = other.server.tcp_port();
    const std::uint16_t closed = closed_port();
    EXPECT_EQ(pm::portmapper_holder(kLoopback, port), pm::Holder::other);
    EXPECT_EQ(pm::portmapper_holder(kLoopback, closed), pm::Holder::nobody);
    const std::vector<std::tuple<std::uint16_t, std::uint32_t, std::uint32_t, bool>> cases = {
        {port, pm::kProgram, pm::kVersion, true},
        {port, pm::kProgram, 4, false},  // PROG_MISMATCH: not that version
        {port, kCoreProgram, 1, false},  // PROG_UNAVAIL
        {closed, kCoreProgram, 1, false},
    };
    for (const auto& [where, prog, vers, expected] : cases)
        EXPECT_EQ(pm::program_answers(kLoopback, where, prog, vers), expected) << where << " " << prog << "/" << vers;
}

#ifdef TAVRIL_TEST_TIRPC
// DUMP as libtirpc's client decodes it (rpcinfo -p asks so).
std::vector<std::tuple<unsigned long, unsigned long, unsigned long, unsigned long>> dump(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int socket = RPC_ANYSOCK;
    CLIENT* client = clnttcp_create(&address, PMAPPROG, PMAPVERS, &socket, 0, 0);
    std::vector<std::tuple<unsigned long, unsigned long, unsigned long, unsigned long>> entries;
    if (client == nullptr) return entries;
    pmaplist* list = nullptr;
    const timeval timeout{5, 0};
    const auto status = clnt_call(client, PMAPPROC_DUMP, reinterpret_cast<xdrproc_t>(xdr_void), nullptr,
                                  reinterpret_cast<xdrproc_t>(xdr_pmaplist), reinterpret_cast<char*>(&list),
                                  timeout);
    EXPECT_EQ(status, RPC_SUCCESS);
    for (const pmaplist* entry = list; entry != nullptr; entry = entry->pml_next)
        entries.emplace_back(entry->pml_map.pm_prog, entry->pml_map.pm_vers, entry->pml_map.pm_prot,
                             entry->pml_map.pm_port);
    clnt_freeres(client, reinterpret_cast<xdrproc_t>(xdr_pmaplist), reinterpret_cast<char*>(&list));
    clnt_destroy(client);
    return entries;
}

TEST(Portmapper, DumpListsItselfAndItsMappings) {
    OtherGateway other;
    const std::uint16_t port = other.server.tcp_port();
    using Entry = std::tuple<unsigned long, unsigned long, unsigned long, unsigned long>;
    EXPECT_EQ(dump(port), (std::vector<Entry>{{pm::kProgram, pm::kVersion, pm::kTcp, port},
                                              {pm::kProgram, pm::kVersion, pm::kUdp, port},
                                              {kCoreProgram, 1, pm::kTcp, kCorePort}}));
}
#endif

// Each mode beside another gateway's own portmapper, and auto where none
// answers.
TEST(Portmapper, ModesBesideAnotherGatewaysPortmapper) {
    struct Case {
        pm::Mode mode;
        bool besideOther;
        bool started;
        pm::Mode active;
        std::string said;  // in the log (started) or the error (not started)
    };
    const std::vector<Case> cases = {
        {pm::Mode::automatic, true, true, pm::Mode::off,
         "portmapper: port P is held by another gateway's portmapper (the VXI-11 core channel on port 4242); "
         "the VXI-11 core channel (port 5000) is not registered anywhere: clients must be given its port"},
        {pm::Mode::rpcbind, true, false, pm::Mode::off, "the portmapper on 127.0.0.1:P is not rpcbind"},
        {pm::Mode::own, true, false, pm::Mode::off, "cannot answer on port P"},
        {pm::Mode::rpcbind, false, false, pm::Mode::off, "no portmapper answers on 127.0.0.1:P"},
        {pm::Mode::automatic, false, true, pm::Mode::own, ""},
        {pm::Mode::off, true, true, pm::Mode::off, ""},
    };
    for (const Case& test : cases) {
        std::optional<OtherGateway> other;
        if (test.besideOther) other.emplace();
        const std::uint16_t port = other ? other->server.tcp_port() : closed_port();
        std::string said = test.said;
        if (const auto at = said.find(":P"); at != std::string::npos) said.replace(at, 2, ":" + std::to_string(port));
        if (const auto at = said.find("port P"); at != std::string::npos)
            said.replace(at, 6, "port " + std::to_string(port));
        Loop loop;
        std::string log;
        pm::Portmapper portmapper(asio::make_strand(loop.io), test.mode, kLoopback, {{kCoreProgram, 1, pm::kTcp, 5000}}, nullptr,
                                  [&log](std::string_view line) { log += std::string(line) + "\n"; }, port);
        std::string error;
        const std::string name(pm::mode_name(test.mode));
        EXPECT_EQ(portmapper.start(error), test.started) << name << ": " << error;
        EXPECT_EQ(portmapper.active(), test.active) << name;
        EXPECT_NE((test.started ? log : error).find(said), std::string::npos)
            << name << ": " << (test.started ? log : error);
        if (test.active == pm::Mode::own) {
            // It answers there now, and no longer once stopped.
            EXPECT_EQ(pm::lookup(kLoopback, port, {kCoreProgram, 1, pm::kTcp, 0}), 5000u);
            loop.sync([&portmapper] { portmapper.stop(); });
            EXPECT_EQ(pm::portmapper_holder(kLoopback, port), pm::Holder::nobody);
        }
        loop.sync([&portmapper] { portmapper.stop(); });
    }
}

}  // namespace
