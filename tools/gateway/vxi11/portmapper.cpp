#include "portmapper.h"

#include "accept.h"

#include <array>
#include <chrono>
#include <set>

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "rpc.h"

#ifdef TAVRIL_GATEWAY_TIRPC
#include <netinet/in.h>
#include <rpc/pmap_clnt.h>
#endif

namespace tavlib::gateway::vxi11::portmap {
namespace {

using asio::ip::tcp;
using asio::ip::udp;
using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;
constexpr auto kTuple = asio::experimental::as_tuple(asio::use_awaitable);

// A portmapper call is small: its header, credentials of at most 400 bytes
// each, and four numbers.
constexpr std::size_t kMaxMessage = 2048;
constexpr std::size_t kMaxTcpConnections = 32;
constexpr auto kTcpIdle = 10s;

}  // namespace

std::optional<Bytes> answer(ByteView message, const std::vector<Mapping>& mappings,
                            std::uint16_t ownPort, bool framed) {
    const rpc::Call call = rpc::parse_call(message);
    if (call.check != rpc::CallCheck::ok) return rpc::header_reply(call, framed);
    const std::uint32_t xid = call.header.xid;
    if (call.header.prog != kProgram) return rpc::accepted_reply(xid, rpc::kProgUnavail, framed);
    if (call.header.vers != kVersion) return rpc::prog_mismatch_reply(xid, kVersion, kVersion, framed);
    switch (call.header.proc) {
    case kNull: return rpc::Reply(xid, framed).finish();
    case kGetPort: {
        XdrReader reader(call.args);
        Mapping asked;
        reader.u32(asked.prog);
        reader.u32(asked.vers);
        reader.u32(asked.prot);
        if (!reader.u32(asked.port)) return rpc::accepted_reply(xid, rpc::kGarbageArgs, framed);
        std::uint32_t port = 0;
        if (asked.prog == kProgram && asked.vers == kVersion && (asked.prot == kTcp || asked.prot == kUdp))
            port = ownPort;
        for (const Mapping& mapping : mappings)
            if (mapping.prog == asked.prog && mapping.vers == asked.vers && mapping.prot == asked.prot)
                port = mapping.port;
        rpc::Reply reply(xid, framed);
        reply.body().u32(port);
        return reply.finish();
    }
    default: return rpc::accepted_reply(xid, rpc::kProcUnavail, framed);
    }
}

// ---- the server ---------------------------------------------------------------

struct PortmapServer::State : std::enable_shared_from_this<State> {
    State(asio::io_context& context, const asio::ip::address& address, std::uint16_t port,
          std::vector<Mapping> maps, Admit admitPeer, Log logLine)
        : io(context),
          udpSocket(context),
          acceptor(context),
          mappings(std::move(maps)),
          admit(std::move(admitPeer)),
          log(std::move(logLine)) {
        const udp::endpoint udpEndpoint(address, port);
        udpSocket.open(udpEndpoint.protocol());
        udpSocket.bind(udpEndpoint);
        const tcp::endpoint tcpEndpoint(address, port == 0 ? 0 : port);
        acceptor.open(tcpEndpoint.protocol());
#ifndef _WIN32
        acceptor.set_option(tcp::acceptor::reuse_address(true));
#endif
        acceptor.bind(tcpEndpoint);
        acceptor.listen();
    }

    asio::awaitable<void> serve_udp();
    asio::awaitable<void> accept_tcp();
    asio::awaitable<void> serve_tcp(std::shared_ptr<tcp::socket> socket);
    void note(std::string_view text) const {
        if (log) log(text);
    }
    bool admitted(const asio::ip::address& peer) const { return !admit || admit(peer); }

    asio::io_context& io;
    udp::socket udpSocket;
    tcp::acceptor acceptor;
    std::vector<Mapping> mappings;
    Admit admit;
    Log log;
    std::set<std::shared_ptr<tcp::socket>> connections;
    bool stopped = false;
};

asio::awaitable<void> PortmapServer::State::serve_udp() {
    auto self = shared_from_this();
    std::array<std::uint8_t, kMaxMessage> buffer{};
    const auto ownPort = acceptor.local_endpoint().port();
    while (!stopped) {
        udp::endpoint peer;
        const auto [error, count] = co_await udpSocket.async_receive_from(asio::buffer(buffer), peer, kTuple);
        if (stopped || error == asio::error::operation_aborted) break;
        if (error || !admitted(peer.address())) continue;  // a too-long datagram: dropped
        const auto reply = answer(ByteView(buffer.data(), count), mappings, ownPort, false);
        if (!reply) continue;
        const auto [sendError, sent] = co_await udpSocket.async_send_to(asio::buffer(*reply), peer, kTuple);
        (void)sendError;
        (void)sent;
    }
}

asio::awaitable<void> PortmapServer::State::accept_tcp() {
    auto self = shared_from_this();
    const auto noted = [this](std::string_view text) { note("portmapper: " + std::string(text)); };
    while (std::optional<tcp::socket> accepted = co_await accept_next(acceptor, stopped, noted)) {
        tcp::socket& socket = *accepted;
        asio::error_code peerError;
        const tcp::endpoint peer = socket.remote_endpoint(peerError);
        if (peerError || !admitted(peer.address()) || connections.size() >= kMaxTcpConnections) continue;
        auto shared = std::make_shared<tcp::socket>(std::move(socket));
        connections.insert(shared);
        asio::co_spawn(io, serve_tcp(shared), asio::detached);
    }
}

asio::awaitable<void> PortmapServer::State::serve_tcp(std::shared_ptr<tcp::socket> socket) {
    auto self = shared_from_this();
    rpc::RecordIntake intake(kMaxMessage);
    std::array<std::uint8_t, 4096> buffer{};
    asio::steady_timer idle(io);
    const auto ownPort = acceptor.local_endpoint().port();
    for (;;) {
        idle.expires_after(kTcpIdle);
        auto outcome = co_await (socket->async_read_some(asio::buffer(buffer), kTuple) ||
                                 idle.async_wait(kTuple));
        if (outcome.index() == 1) break;  // idle too long
        const auto [error, count] = std::get<0>(outcome);
        if (error) break;
        intake.feed(ByteView(buffer.data(), count));
        if (intake.failed()) break;
        bool written = true;
        while (auto record = intake.next()) {
            const auto reply = answer(*record, mappings, ownPort, true);
            if (!reply) continue;
            const auto [writeError, size] = co_await asio::async_write(*socket, asio::buffer(*reply), kTuple);
            (void)size;
            if (writeError) written = false;
            if (!written) break;
        }
        if (!written) break;
    }
    asio::error_code ignored;
    socket->close(ignored);
    connections.erase(socket);
}

PortmapServer::PortmapServer(asio::io_context& io, const asio::ip::address& address,
                             std::uint16_t port, std::vector<Mapping> mappings, Admit admit, Log log)
    : state_(std::make_shared<State>(io, address, port, std::move(mappings), std::move(admit),
                                     std::move(log))) {}

PortmapServer::~PortmapServer() { stop(); }

void PortmapServer::start() {
    asio::co_spawn(state_->io, state_->serve_udp(), asio::detached);
    asio::co_spawn(state_->io, state_->accept_tcp(), asio::detached);
}

void PortmapServer::stop() {
    if (state_->stopped) return;
    state_->stopped = true;
    asio::error_code ignored;
    state_->udpSocket.close(ignored);
    state_->acceptor.close(ignored);
    for (const auto& socket : state_->connections) socket->close(ignored);
}

std::uint16_t PortmapServer::tcp_port() const { return state_->acceptor.local_endpoint().port(); }
std::uint16_t PortmapServer::udp_port() const { return state_->udpSocket.local_endpoint().port(); }

// ---- modes --------------------------------------------------------------------

std::optional<Mode> parse_mode(std::string_view text) {
    if (text == "rpcbind") return Mode::rpcbind;
    if (text == "own") return Mode::own;
    if (text == "auto") return Mode::automatic;
    if (text == "off") return Mode::off;
    return std::nullopt;
}

std::string_view mode_name(Mode mode) {
    switch (mode) {
    case Mode::rpcbind: return "rpcbind";
    case Mode::own: return "own";
    case Mode::automatic: return "auto";
    case Mode::off: return "off";
    }
    return "off";
}

bool portmapper_answers() {
    // A NULL call over TCP, its own io_context, about a second in all.
    asio::io_context io;
    tcp::socket socket(io);
    bool answered = false;
    const auto probe = [&]() -> asio::awaitable<void> {
        const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), kPort);
        auto [connectError] = co_await socket.async_connect(endpoint, kTuple);
        if (connectError) co_return;
        XdrWriter call;
        call.u32(0);  // the record mark
        for (const std::uint32_t word : {0x7461766cu, std::uint32_t{rpc::kCall}, rpc::kRpcVersion,
                                         kProgram, kVersion, std::uint32_t{kNull}, 0u, 0u, 0u, 0u})
            call.u32(word);
        call.put_u32_at(0, static_cast<std::uint32_t>(call.size() - 4) | rpc::kLastFragment);
        auto [writeError, written] = co_await asio::async_write(socket, asio::buffer(call.bytes()), kTuple);
        (void)written;
        if (writeError) co_return;
        std::array<std::uint8_t, 28> reply{};  // mark, xid, REPLY, accepted, verifier, SUCCESS
        auto [readError, read] = co_await asio::async_read(socket, asio::buffer(reply), kTuple);
        (void)read;
        if (readError) co_return;
        XdrReader reader(ByteView(reply.data() + 4, reply.size() - 4));
        std::uint32_t xid = 0, type = 0, stat = 0, flavor = 0, length = 0, accept = 1;
        reader.u32(xid);
        reader.u32(type);
        reader.u32(stat);
        reader.u32(flavor);
        reader.u32(length);
        reader.u32(accept);
        answered = reader.ok() && xid == 0x7461766cu && type == rpc::kReply &&
                   stat == rpc::kAccepted && length == 0 && accept == rpc::kSuccess;
    };
    asio::co_spawn(io, probe(), asio::detached);
    io.run_for(1s);
    return answered;
}

Portmapper::Portmapper(asio::io_context& io, Mode mode, asio::ip::address ownAddress,
                       std::vector<Mapping> mappings, Admit admit, Log log)
    : io_(io),
      mode_(mode),
      ownAddress_(std::move(ownAddress)),
      mappings_(std::move(mappings)),
      admit_(std::move(admit)),
      log_(std::move(log)) {}

Portmapper::~Portmapper() { stop(); }

bool Portmapper::start(std::string& error) {
    Mode mode = mode_;
#ifndef TAVRIL_GATEWAY_TIRPC
    if (mode == Mode::rpcbind) {
        error = "this build cannot register with rpcbind (no libtirpc)";
        return false;
    }
    if (mode == Mode::automatic) mode = Mode::own;
#else
    if (mode == Mode::automatic) mode = portmapper_answers() ? Mode::rpcbind : Mode::own;
#endif
    if (mode == Mode::off) {
        active_ = Mode::off;
        return true;
    }
    if (mode == Mode::rpcbind) {
        if (!register_rpcbind(error)) return false;
        active_ = Mode::rpcbind;
        return true;
    }
    try {
        server_ = std::make_unique<PortmapServer>(io_, ownAddress_, kPort, mappings_, admit_, log_);
    } catch (const asio::system_error& failure) {
        error = "cannot answer on port " + std::to_string(kPort) + " (" + failure.code().message() +
                ")";
        return false;
    }
    server_->start();
    active_ = Mode::own;
    return true;
}

void Portmapper::stop() {
    if (server_) {
        server_->stop();
        server_.reset();
    }
    unregister_rpcbind();
    active_ = Mode::off;
}

#ifdef TAVRIL_GATEWAY_TIRPC
bool Portmapper::register_rpcbind(std::string& error) {
    if (!portmapper_answers()) {
        error = "no portmapper answers on 127.0.0.1:" + std::to_string(kPort) + " (is rpcbind running?)";
        return false;
    }
    for (const Mapping& mapping : mappings_) {
        if (mapping.prot != kTcp) continue;
        // An entry a former run left behind would make the registration fail.
        pmap_unset(mapping.prog, mapping.vers);
        if (!pmap_set(mapping.prog, mapping.vers, IPPROTO_TCP, static_cast<int>(mapping.port))) {
            error = "rpcbind refused to register program " + std::to_string(mapping.prog) +
                    " version " + std::to_string(mapping.vers);
            unregister_rpcbind();
            return false;
        }
        registered_.push_back(mapping);
    }
    return true;
}

void Portmapper::unregister_rpcbind() {
    for (const Mapping& mapping : registered_) pmap_unset(mapping.prog, mapping.vers);
    registered_.clear();
}
#else
bool Portmapper::register_rpcbind(std::string& error) {
    error = "this build cannot register with rpcbind";
    return false;
}

void Portmapper::unregister_rpcbind() {}
#endif

}  // namespace tavlib::gateway::vxi11::portmap
