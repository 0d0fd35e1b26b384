// The gateway's VXI-11 channels and portmapper over real sockets, called by
// libtirpc clients: stubs rpcgen made from vxi11_client.x, and libtirpc's own
// portmapper client code.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <algorithm>
#include <future>
#include <functional>
#include <thread>
#include <vector>
#include <string>

#include <rpc/rpc.h>
#include <rpc/pmap_prot.h>

#include "calls.h"
#include "live_server.h"
#include "vxi11_client.h"

// libtirpc's calls take every XDR routine as one variadic function type.
#pragma GCC diagnostic ignored "-Wcast-function-type"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// One TCP client of a program, destroyed with its scope.
struct Client {
    Client(std::uint16_t port, unsigned long prog, unsigned long vers) {
        sockaddr_in address = loopback(port);
        int socket = RPC_ANYSOCK;
        handle = clnttcp_create(&address, prog, vers, &socket, 0, 0);
        if (handle != nullptr) {
            timeval timeout{10, 0};
            clnt_control(handle, CLSET_TIMEOUT, reinterpret_cast<char*>(&timeout));
        }
    }
    ~Client() {
        if (handle != nullptr) clnt_destroy(handle);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    CLIENT* handle = nullptr;
};

Create_LinkResp open_link(Client& client) {
    char device[] = "inst0";
    Create_LinkParms parms{1, 0, 1000, device};
    const Create_LinkResp* resp = create_link_1(&parms, client.handle);
    EXPECT_NE(resp, nullptr) << clnt_sperror(client.handle, "create_link");
    return resp != nullptr ? *resp : Create_LinkResp{-1, 0, 0, 0};
}

long write(Client& client, long lid, std::string data, long flags = 8) {
    Device_WriteParms parms{lid, 1000, 0, flags, {static_cast<u_int>(data.size()), data.data()}};
    const Device_WriteResp* resp = device_write_1(&parms, client.handle);
    if (resp == nullptr) return -1;
    EXPECT_EQ(resp->size, resp->error == 0 ? data.size() : 0u);
    return resp->error;
}

struct Read {
    long error = -1;
    long reason = 0;
    std::string data;
};

Read read(Client& client, long lid, unsigned long size, unsigned long ioTimeout = 1000, long flags = 0,
          char termChar = 0) {
    Device_ReadParms parms{lid, size, ioTimeout, 0, flags, termChar};
    Device_ReadResp* resp = device_read_1(&parms, client.handle);
    Read result;
    if (resp == nullptr) return result;
    result.error = resp->error;
    result.reason = resp->reason;
    result.data.assign(resp->data.data_val, resp->data.data_len);
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_Device_ReadResp), reinterpret_cast<char*>(resp));
    return result;
}

long lock(Client& client, long lid, long flags, unsigned long lockTimeout) {
    Device_LockParms parms{lid, flags, lockTimeout};
    const Device_Error* resp = device_lock_1(&parms, client.handle);
    return resp != nullptr ? resp->error : -1;
}

long by_link(Device_Error* (*call)(Device_Link*, CLIENT*), Client& client, long lid) {
    Device_Link link = lid;
    const Device_Error* resp = call(&link, client.handle);
    return resp != nullptr ? resp->error : -1;
}

TEST(Vxi11OverTcp, ASessionAsAVisaClientRunsIt) {
    vxi11_test::LiveServer server;
    Client client(server.core->port(), DEVICE_CORE, DEVICE_CORE_VERSION);
    ASSERT_NE(client.handle, nullptr);
    const Create_LinkResp link = open_link(client);
    ASSERT_EQ(link.error, 0);
    EXPECT_EQ(link.abortPort, server.abort->port());
    EXPECT_EQ(link.maxRecvSize, 64u * 1024u);

    ASSERT_EQ(write(client, link.lid, "*IDN?\n"), 0);
    const Read identity = read(client, link.lid, 1024);
    EXPECT_EQ(identity.error, 0);
    EXPECT_EQ(identity.data, std::string(vxi11_test::kIdentity) + "\n");
    EXPECT_EQ(identity.reason, 4);

    // 100,000 bytes in reads of 20 KiB, as pyvisa's read_raw asks.
    ASSERT_EQ(write(client, link.lid, "TRACE?\n"), 0);
    std::string trace;
    for (int reads = 0; reads < 20; ++reads) {
        const Read piece = read(client, link.lid, 20 * 1024);
        ASSERT_EQ(piece.error, 0);
        trace += piece.data;
        if (piece.reason & 4) break;
    }
    EXPECT_EQ(trace.size(), vxi11_test::kTraceSize);
    EXPECT_TRUE(trace == vxi11_test::pattern(vxi11_test::kTraceSize - 1) + "\n");

    // Read up to a termination character, with the rest kept.
    ASSERT_EQ(write(client, link.lid, "CONF:RANGE 1000\n"), 0);
    const Read upToSpace = read(client, link.lid, 100, 1000, 128, ' ');
    EXPECT_EQ(upToSpace.data, "OK ");
    EXPECT_EQ(upToSpace.reason, 2);
    EXPECT_EQ(read(client, link.lid, 100).data, "ANS40\n");

    Device_GenericParms generic{link.lid, 0, 0, 1000};
    ASSERT_EQ(write(client, link.lid, "*IDN?\n"), 0);
    const Device_ReadStbResp* stb = device_readstb_1(&generic, client.handle);
    ASSERT_NE(stb, nullptr);
    EXPECT_EQ(stb->error, 0);
    EXPECT_EQ(stb->stb, 0x10);
    const Device_Error* cleared = device_clear_1(&generic, client.handle);
    ASSERT_NE(cleared, nullptr);
    EXPECT_EQ(cleared->error, 0);
    // Nothing stale after the clear: the read times out after its 1 s.
    const auto before = Clock::now();
    EXPECT_EQ(read(client, link.lid, 100).error, 15);
    EXPECT_GE(Clock::now() - before, 900ms);
    const Device_Error* triggered = device_trigger_1(&generic, client.handle);
    ASSERT_NE(triggered, nullptr);
    EXPECT_EQ(triggered->error, 0);

    const Device_Error* remote = device_remote_1(&generic, client.handle);
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(remote->error, 8);
    Device_DocmdParms docmd{link.lid, 0, 1000, 0, 0x20000, 0, 0, {0, nullptr}};
    Device_DocmdResp* docmdResp = device_docmd_1(&docmd, client.handle);
    ASSERT_NE(docmdResp, nullptr);
    EXPECT_EQ(docmdResp->error, 8);
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_Device_DocmdResp), reinterpret_cast<char*>(docmdResp));
    const Device_Error* intr = destroy_intr_chan_1(nullptr, client.handle);
    ASSERT_NE(intr, nullptr);
    EXPECT_EQ(intr->error, 8);

    EXPECT_EQ(by_link(destroy_link_1, client, link.lid), 0);
    EXPECT_EQ(by_link(destroy_link_1, client, link.lid), 4);
    EXPECT_EQ(write(client, link.lid, "*IDN?\n"), 4);

    // A procedure the program does not have.
    Device_Link nothing = 0;
    Device_Error result{};
    const timeval timeout{5, 0};
    EXPECT_EQ(clnt_call(client.handle, 21, reinterpret_cast<xdrproc_t>(xdr_Device_Link),
                        reinterpret_cast<char*>(&nothing), reinterpret_cast<xdrproc_t>(xdr_Device_Error),
                        reinterpret_cast<char*>(&result), timeout),
              RPC_PROCUNAVAIL);
}

TEST(Vxi11OverTcp, LocksAcrossConnectionsAndTheAbortChannel) {
    vxi11_test::LiveServer server;
    Client first(server.core->port(), DEVICE_CORE, DEVICE_CORE_VERSION);
    Client second(server.core->port(), DEVICE_CORE, DEVICE_CORE_VERSION);
    ASSERT_TRUE(first.handle != nullptr && second.handle != nullptr);
    const long mine = open_link(first).lid;
    const long theirs = open_link(second).lid;
    ASSERT_EQ(lock(first, mine, 0, 0), 0);
    EXPECT_EQ(write(second, theirs, "*IDN?\n"), 11);

    // A wait that runs out: 11 after the lock_timeout.
    auto before = Clock::now();
    EXPECT_EQ(lock(second, theirs, 1, 300), 11);
    EXPECT_GE(Clock::now() - before, 280ms);

    // A wait that ends when the holder unlocks, on the other connection.
    before = Clock::now();
    auto waited = std::async(std::launch::async, [&] { return lock(second, theirs, 1, 5000); });
    ASSERT_EQ(server.await_waiting(1), 1u);
    EXPECT_EQ(by_link(device_unlock_1, first, mine), 0);
    EXPECT_EQ(waited.get(), 0);
    EXPECT_LT(Clock::now() - before, 3s);

    // A wait that the abort channel ends: 23.
    auto aborted = std::async(std::launch::async, [&] { return lock(first, mine, 1, 10000); });
    ASSERT_EQ(server.await_waiting(1), 1u);
    Client abortChannel(server.abort->port(), DEVICE_ASYNC, DEVICE_ASYNC_VERSION);
    ASSERT_NE(abortChannel.handle, nullptr);
    before = Clock::now();
    Device_Link link = mine;
    const Device_Error* abortResp = device_abort_1(&link, abortChannel.handle);
    ASSERT_NE(abortResp, nullptr);
    EXPECT_EQ(abortResp->error, 0);
    EXPECT_EQ(aborted.get(), 23);
    EXPECT_LT(Clock::now() - before, 3s);
}

TEST(Vxi11OverTcp, AWaitingReadHoldsUpNobodyAndAnAbortEndsIt) {
    vxi11_test::LiveServer server;
    Client reader(server.core->port(), DEVICE_CORE, DEVICE_CORE_VERSION);
    Client other(server.core->port(), DEVICE_CORE, DEVICE_CORE_VERSION);
    Client abortChannel(server.abort->port(), DEVICE_ASYNC, DEVICE_ASYNC_VERSION);
    ASSERT_TRUE(reader.handle != nullptr && other.handle != nullptr && abortChannel.handle != nullptr);
    const long waiting = open_link(reader).lid;
    // Nothing to read: the read waits out its io_timeout of 8 s.
    const auto started = Clock::now();
    auto read_ = std::async(std::launch::async, [&] { return read(reader, waiting, 100, 8000); });
    ASSERT_EQ(server.await_waiting(1), 1u);
    // Meanwhile the other client's calls are answered at once.
    const long mine = open_link(other).lid;
    EXPECT_GT(mine, 0);
    EXPECT_EQ(lock(other, mine, 0, 0), 0);
    EXPECT_EQ(by_link(device_unlock_1, other, mine), 0);
    EXPECT_EQ(by_link(destroy_link_1, other, mine), 0);
    EXPECT_LT(Clock::now() - started, 2s);
    // The abort ends the read with 23 at once.
    Device_Link link = waiting;
    const Device_Error* abortResp = device_abort_1(&link, abortChannel.handle);
    ASSERT_NE(abortResp, nullptr);
    EXPECT_EQ(abortResp->error, 0);
    EXPECT_EQ(read_.get().error, 23);
    EXPECT_LT(Clock::now() - started, 3s);
    EXPECT_EQ(server.device.abandons, 1);
}


TEST(Portmapper, AnswersLibtirpcOverUdpAndTcp) {
    vxi11_test::LiveServer server;
    pmap asked{DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_TCP, 0};
    const timeval timeout{5, 0};
    for (const bool udp : {true, false}) {
        sockaddr_in address = loopback(udp ? server.portmapper->udp_port() : server.portmapper->tcp_port());
        int socket = RPC_ANYSOCK;
        CLIENT* client = udp ? clntudp_create(&address, PMAPPROG, PMAPVERS, timeval{1, 0}, &socket)
                             : clnttcp_create(&address, PMAPPROG, PMAPVERS, &socket, 0, 0);
        ASSERT_NE(client, nullptr) << udp;
        unsigned long port = 0;
        EXPECT_EQ(clnt_call(client, PMAPPROC_GETPORT, reinterpret_cast<xdrproc_t>(xdr_pmap),
                            reinterpret_cast<char*>(&asked), reinterpret_cast<xdrproc_t>(xdr_u_long),
                            reinterpret_cast<char*>(&port), timeout),
                  RPC_SUCCESS)
            << udp;
        EXPECT_EQ(port, server.core->port()) << udp;
        pmap other{DEVICE_CORE, DEVICE_CORE_VERSION, IPPROTO_UDP, 0};  // not served over UDP
        EXPECT_EQ(clnt_call(client, PMAPPROC_GETPORT, reinterpret_cast<xdrproc_t>(xdr_pmap),
                            reinterpret_cast<char*>(&other), reinterpret_cast<xdrproc_t>(xdr_u_long),
                            reinterpret_cast<char*>(&port), timeout),
                  RPC_SUCCESS);
        EXPECT_EQ(port, 0u);
        EXPECT_EQ(clnt_call(client, PMAPPROC_NULL, reinterpret_cast<xdrproc_t>(xdr_void), nullptr,
                            reinterpret_cast<xdrproc_t>(xdr_void), nullptr, timeout),
                  RPC_SUCCESS);
        // DUMP lists the portmapper itself and the core channel.
        pmaplist* list = nullptr;
        EXPECT_EQ(clnt_call(client, PMAPPROC_DUMP, reinterpret_cast<xdrproc_t>(xdr_void), nullptr,
                            reinterpret_cast<xdrproc_t>(xdr_pmaplist), reinterpret_cast<char*>(&list),
                            timeout),
                  RPC_SUCCESS);
        bool listsCore = false;
        for (const pmaplist* entry = list; entry != nullptr; entry = entry->pml_next)
            listsCore = listsCore || (entry->pml_map.pm_prog == DEVICE_CORE && entry->pml_map.pm_port == server.core->port());
        EXPECT_TRUE(listsCore) << udp;
        clnt_freeres(client, reinterpret_cast<xdrproc_t>(xdr_pmaplist), reinterpret_cast<char*>(&list));
        clnt_destroy(client);
    }
}

// A raw connection to the core channel, for what no RPC library sends.
// `receiveBuffer`, when given, is its receive buffer, set before it connects.
struct Raw {
    explicit Raw(std::uint16_t port, int receiveBuffer = 0) : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        const sockaddr_in address = loopback(port);
        connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        timeval timeout{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~Raw() { ::close(fd); }
    Raw(const Raw&) = delete;
    Raw& operator=(const Raw&) = delete;
    // The server may close before it has taken everything.
    void send(const tavlib::gateway::vxi11::Bytes& bytes) const {
        std::size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t sent = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (sent <= 0) return;
            at += static_cast<std::size_t>(sent);
        }
    }
    // Bytes until the server closes (or 5 s pass: -1).
    long drained() const {
        char buffer[4096];
        long total = 0;
        for (;;) {
            const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
            if (count == 0 || (count < 0 && errno == ECONNRESET)) return total;
            if (count < 0) return -1;
            total += count;
        }
    }
    // The next reply record, its fragments joined; empty when the stream
    // ends (or 5 s pass) first.
    tavlib::gateway::vxi11::Bytes record() {
        for (;;) {
            if (std::optional<tavlib::gateway::vxi11::Bytes> next = replies.next()) return std::move(*next);
            std::uint8_t buffer[64 * 1024];
            const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
            if (count <= 0 || replies.failed()) return {};
            replies.feed({buffer, static_cast<std::size_t>(count)});
        }
    }
    int fd;
    bool connected = false;
    tavlib::gateway::vxi11::rpc::RecordIntake replies{1 << 20};
};

tavlib::gateway::vxi11::Bytes framed_call(std::uint32_t proc, const std::function<void(tavlib::gateway::vxi11::XdrWriter&)>& args,
                                          std::uint32_t xid = 1) {
    return tavlib::gateway::vxi11::rpc::frame(vxi11_test::call_message(xid, DEVICE_CORE, DEVICE_CORE_VERSION, proc, args));
}

// 16 MB asked for in reads of 64 KiB, all sent at once, by a connection that
// takes far less at a time (a receive buffer of 4 KiB): the rest of each
// reply follows it before the next one, and every byte arrives in order.
TEST(Vxi11OverTcp, RepliesTheConnectionCannotTakeAtOnceArriveWholeAndInOrder) {
    using tavlib::gateway::vxi11::XdrReader;
    using tavlib::gateway::vxi11::XdrWriter;
    vxi11_test::LiveServer server;
    Raw raw(server.core->port(), 4096);
    ASSERT_TRUE(raw.connected);
    const auto results = [&raw](std::uint32_t xid) {
        const auto reply = vxi11_test::parse_reply(raw.record(), false);
        EXPECT_TRUE(reply && reply->xid == xid && reply->stat == 0) << xid;
        return reply ? reply->results : tavlib::gateway::vxi11::Bytes{};
    };
    raw.send(framed_call(10, [](XdrWriter& w) {
        w.i32(1);
        w.boolean(false);
        w.u32(0);
        w.string("inst0");
    }, 1));
    const auto created = results(1);
    XdrReader link(created);
    std::int32_t error = -1, lid = 0;
    link.i32(error);
    link.i32(lid);
    ASSERT_EQ(error, 0);
    constexpr std::size_t kAnswer = 16'000'000;
    raw.send(framed_call(11, [lid](XdrWriter& w) {
        for (const std::int32_t word : {lid, 1000, 0, 8}) w.i32(word);
        w.opaque(vxi11_test::text_bytes("SIZE? " + std::to_string(kAnswer) + "\n"));
    }, 2));
    results(2);
    const std::uint32_t reads = (kAnswer + 1 + 65535) / 65536;
    tavlib::gateway::vxi11::Bytes calls;
    for (std::uint32_t i = 0; i < reads; ++i) {
        const auto read = framed_call(12, [lid](XdrWriter& w) {
            for (const std::int32_t word : {lid, 65536, 1000, 0, 0, 0}) w.i32(word);
        }, 3 + i);
        calls.insert(calls.end(), read.begin(), read.end());
    }
    std::thread sender([&] { raw.send(calls); });
    std::string answer;
    std::int32_t reason = 0;
    for (std::uint32_t i = 0; i < reads && !HasFailure(); ++i) {
        const auto piece = results(3 + i);
        XdrReader r(piece);
        tavlib::gateway::vxi11::ByteView data;
        r.i32(error);
        r.i32(reason);
        r.opaque(data, 65536);
        ASSERT_TRUE(r.ok() && error == 0) << i;
        answer.append(data.begin(), data.end());
    }
    sender.join();
    EXPECT_EQ(reason & 4, 4);
    EXPECT_TRUE(answer == vxi11_test::pattern(kAnswer) + "\n") << answer.size();
}

TEST(Vxi11OverTcp, BadStreamsAreClosedAndOthersGoOn) {
    tavlib::gateway::vxi11::Limits limits;
    limits.maxLinks = 40;
    limits.maxLinksPerConnection = 40;
    vxi11_test::LiveServer server(limits);
    Client good(server.core->port(), DEVICE_CORE, DEVICE_CORE_VERSION);
    ASSERT_NE(good.handle, nullptr);
    const long lid = open_link(good).lid;

    const tavlib::gateway::vxi11::Bytes garbageHeader = tavlib::gateway::vxi11::rpc::frame(tavlib::gateway::vxi11::Bytes{0, 0, 0, 1, 0, 0, 0, 0, 0});
    struct Case {
        const char* name;
        tavlib::gateway::vxi11::Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"a fragment over the record limit", {0x80, 0x10, 0x00, 0x00, 1, 2, 3}},
        {"fragments that add up over the limit", [] {
             tavlib::gateway::vxi11::Bytes bytes;
             for (int i = 0; i < 40; ++i) {
                 const tavlib::gateway::vxi11::Bytes mark{0x00, 0x00, 0x10, 0x00};
                 bytes.insert(bytes.end(), mark.begin(), mark.end());
                 bytes.insert(bytes.end(), 4096, 'x');
             }
             return bytes;
         }()},
        {"a header cut short", garbageHeader},
        {"a record cut short by the close", {0x80, 0x00, 0x01, 0x00, 1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        Raw raw(server.core->port());
        ASSERT_TRUE(raw.connected) << c.name;
        raw.send(c.bytes);
        if (c.bytes.size() == 8) ::shutdown(raw.fd, SHUT_WR);
        EXPECT_EQ(raw.drained(), 0) << c.name;  // closed, nothing answered
        // The other client goes on.
        ASSERT_EQ(write(good, lid, "*IDN?\n"), 0) << c.name;
        EXPECT_EQ(read(good, lid, 100).data, std::string(vxi11_test::kIdentity) + "\n") << c.name;
    }

    // Bad arguments, thousands of links: answered, and the connection stays.
    Raw raw(server.core->port());
    tavlib::gateway::vxi11::Bytes calls;
    for (int i = 0; i < 3000; ++i) {
        const auto call = framed_call(10, [](tavlib::gateway::vxi11::XdrWriter& w) {
            w.i32(1);
            w.boolean(false);
            w.u32(0);
            w.string("inst0");
        });
        calls.insert(calls.end(), call.begin(), call.end());
    }
    const auto bad = framed_call(11, [](tavlib::gateway::vxi11::XdrWriter& w) { w.u32(99); });
    calls.insert(calls.end(), bad.begin(), bad.end());
    std::thread sender([&] { raw.send(calls); ::shutdown(raw.fd, SHUT_WR); });
    // 3000 create_link replies of 4 + 40 bytes, then GARBAGE_ARGS (4 + 24).
    EXPECT_EQ(raw.drained(), 3000 * 44 + 28);
    sender.join();
    // Its 39 links were freed when it closed.
    Client again(server.core->port(), DEVICE_CORE, DEVICE_CORE_VERSION);
    std::vector<long> lids;
    for (int i = 0; i < 39; ++i) lids.push_back(open_link(again).error);
    EXPECT_EQ(std::count(lids.begin(), lids.end(), 0), 39);
    EXPECT_EQ(open_link(again).error, 9);
}

}  // namespace
