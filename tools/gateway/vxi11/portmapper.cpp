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
#include "vxi11.h"

#ifdef TAVRIL_GATEWAY_TIRPC
#include <netinet/in.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpcb_clnt.h>
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
    case kDump: {
        // A list: each entry behind a "more" flag, and false at its end.
        rpc::Reply reply(xid, framed);
        XdrWriter& body = reply.body();
        const auto entry = [&body](const Mapping& mapping) {
            body.boolean(true);
            body.u32(mapping.prog);
            body.u32(mapping.vers);
            body.u32(mapping.prot);
            body.u32(mapping.port);
        };
        entry({kProgram, kVersion, kTcp, ownPort});
        entry({kProgram, kVersion, kUdp, ownPort});
        for (const Mapping& mapping : mappings) entry(mapping);
        body.boolean(false);
        return reply.finish();
    }
    default: return rpc::accepted_reply(xid, rpc::kProcUnavail, framed);
    }
}

// ---- the server ---------------------------------------------------------------

struct PortmapServer::State : std::enable_shared_from_this<State> {
    State(const NetworkExecutor& executor, const asio::ip::address& address, std::uint16_t port,
          std::vector<Mapping> maps, Admit admitPeer, Log logLine)
        : network(executor),
          udpSocket(executor),
          acceptor(executor),
          mappings(std::move(maps)),
          admit(std::move(admitPeer)),
          log(std::move(logLine)) {
        // One port for both, as the portmapper's own mappings say: with
        // port 0, the TCP port is chosen and UDP takes the same one (tried
        // again with another when UDP has it taken).
        for (int attempt = 0;; ++attempt) {
            const tcp::endpoint tcpEndpoint(address, port);
            acceptor.open(tcpEndpoint.protocol());
#ifndef _WIN32
            acceptor.set_option(tcp::acceptor::reuse_address(true));
#endif
            acceptor.bind(tcpEndpoint);
            acceptor.listen();
            const udp::endpoint udpEndpoint(address, acceptor.local_endpoint().port());
            udpSocket.open(udpEndpoint.protocol());
            asio::error_code error;
            udpSocket.bind(udpEndpoint, error);
            if (!error) break;
            asio::error_code ignored;
            udpSocket.close(ignored);
            acceptor.close(ignored);
            if (port != 0 || attempt == 20) throw asio::system_error(error);
        }
    }

    asio::awaitable<void> serve_udp();
    asio::awaitable<void> accept_tcp();
    asio::awaitable<void> serve_tcp(std::shared_ptr<tcp::socket> socket);
    void note(std::string_view text) const {
        if (log) log(text);
    }
    bool admitted(const asio::ip::address& peer) const { return !admit || admit(peer); }

    NetworkExecutor network;
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
        asio::co_spawn(network, serve_tcp(shared), asio::detached);
    }
}

asio::awaitable<void> PortmapServer::State::serve_tcp(std::shared_ptr<tcp::socket> socket) {
    auto self = shared_from_this();
    rpc::RecordIntake intake(kMaxMessage);
    std::array<std::uint8_t, 4096> buffer{};
    asio::steady_timer idle(network);
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

PortmapServer::PortmapServer(const NetworkExecutor& network, const asio::ip::address& address,
                             std::uint16_t port, std::vector<Mapping> mappings, Admit admit, Log log)
    : state_(std::make_shared<State>(network, address, port, std::move(mappings), std::move(admit),
                                     std::move(log))) {}

PortmapServer::~PortmapServer() { stop(); }

void PortmapServer::start() {
    asio::co_spawn(state_->network, state_->serve_udp(), asio::detached);
    asio::co_spawn(state_->network, state_->accept_tcp(), asio::detached);
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

// ---- asking a portmapper ------------------------------------------------------

namespace {

struct RpcReply {
    bool accepted = false;
    std::uint32_t stat = rpc::kSuccess;  // when accepted
    Bytes results;
};

// A TCP client of one server, for a few calls in a row within one time
// budget; every failure (no connection, a close, the budget spent, a reply
// that does not parse) is "no reply".
class RpcClient {
public:
    RpcClient(const tcp::endpoint& endpoint, std::chrono::milliseconds budget)
        : socket_(io_), deadline_(std::chrono::steady_clock::now() + budget) {
        asio::error_code error;
        bool done = false;
        socket_.async_connect(endpoint, [&](const asio::error_code& result) {
            error = result;
            done = true;
        });
        connected_ = wait(done) && !error;
    }

    std::optional<RpcReply> call(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                                 std::initializer_list<std::uint32_t> args = {}) {
        if (!connected_) return std::nullopt;
        const std::uint32_t xid = nextXid_++;
        XdrWriter message;
        message.u32(0);  // the record mark
        for (const std::uint32_t word : {xid, std::uint32_t{rpc::kCall}, rpc::kRpcVersion, prog,
                                         vers, proc, 0u, 0u, 0u, 0u})
            message.u32(word);
        for (const std::uint32_t word : args) message.u32(word);
        message.put_u32_at(0, static_cast<std::uint32_t>(message.size() - 4) | rpc::kLastFragment);
        if (!transfer(true, message.take())) return std::nullopt;
        // Replies to other calls (none are expected) are passed over.
        for (int record = 0; record < 4; ++record) {
            Bytes reply;
            for (bool last = false; !last;) {
                Bytes mark(4);
                if (!transfer(false, mark)) return std::nullopt;
                XdrReader markReader(mark);
                std::uint32_t word = 0;
                markReader.u32(word);
                last = (word & rpc::kLastFragment) != 0;
                const std::size_t length = word & ~rpc::kLastFragment;
                if (reply.size() + length > kMaxReply) return fail();
                Bytes fragment(length);
                if (!transfer(false, fragment)) return std::nullopt;
                reply.insert(reply.end(), fragment.begin(), fragment.end());
            }
            XdrReader reader(reply);
            std::uint32_t replyXid = 0, type = 0, replyStat = 0;
            reader.u32(replyXid);
            reader.u32(type);
            reader.u32(replyStat);
            if (!reader.ok() || type != rpc::kReply) return fail();
            if (replyXid != xid) continue;
            RpcReply result;
            result.accepted = replyStat == rpc::kAccepted;
            if (result.accepted) {
                std::uint32_t flavor = 0;
                reader.u32(flavor);
                reader.skip_opaque(rpc::kMaxAuthBody);
                reader.u32(result.stat);
                if (!reader.ok()) return fail();
                const ByteView rest = reader.rest();
                result.results.assign(rest.begin(), rest.end());
            }
            return result;
        }
        return fail();
    }

private:
    static constexpr std::size_t kMaxReply = 64 * 1024;

    std::optional<RpcReply> fail() {
        asio::error_code ignored;
        socket_.close(ignored);
        connected_ = false;
        return std::nullopt;
    }
    // Writes all of `bytes`, or reads exactly as many.
    bool transfer(bool writing, Bytes& bytes) {
        asio::error_code error;
        bool done = false;
        const auto finished = [&](const asio::error_code& result, std::size_t) {
            error = result;
            done = true;
        };
        if (writing)
            asio::async_write(socket_, asio::buffer(bytes), finished);
        else
            asio::async_read(socket_, asio::buffer(bytes), finished);
        if (wait(done) && !error) return true;
        fail();
        return false;
    }
    bool transfer(bool writing, Bytes&& bytes) { return transfer(writing, bytes); }
    // Runs the operation started until it is done or the budget is spent
    // (then the socket is closed and the operation's handler runs aborted).
    bool wait(const bool& done) {
        io_.restart();
        io_.run_until(deadline_);
        if (done) return true;
        asio::error_code ignored;
        socket_.close(ignored);
        connected_ = false;
        io_.restart();
        io_.run();
        return false;
    }

    asio::io_context io_;
    tcp::socket socket_;
    std::chrono::steady_clock::time_point deadline_;
    bool connected_ = false;
    std::uint32_t nextXid_ = 0x74617600u;
};

constexpr auto kAskBudget = 1500ms;

bool succeeded(const std::optional<RpcReply>& reply) {
    return reply && reply->accepted && reply->stat == rpc::kSuccess;
}

}  // namespace

Holder portmapper_holder(const asio::ip::address& address, std::uint16_t port) {
    RpcClient client({address, port}, kAskBudget);
    if (!succeeded(client.call(kProgram, kVersion, kNull))) return Holder::nobody;
    // rpcbind serves its own protocol beside version 2; a portmapper of
    // version 2 alone (the gateway's own) answers PROG_MISMATCH.  libtirpc
    // registers through that protocol, so it is also what registration
    // needs.
    for (const std::uint32_t version : {4u, 3u}) {
        const auto reply = client.call(kProgram, version, kNull);
        if (succeeded(reply)) return Holder::rpcbind;
        if (!reply) break;
    }
    return Holder::other;
}

std::optional<std::uint32_t> lookup(const asio::ip::address& address, std::uint16_t port,
                                    const Mapping& asked) {
    RpcClient client({address, port}, kAskBudget);
    const auto reply = client.call(kProgram, kVersion, kGetPort, {asked.prog, asked.vers, asked.prot, 0u});
    if (!succeeded(reply)) return std::nullopt;
    XdrReader reader(reply->results);
    std::uint32_t mapped = 0;
    if (!reader.u32(mapped)) return std::nullopt;
    return mapped;
}

bool program_answers(const asio::ip::address& address, std::uint16_t port, std::uint32_t prog,
                     std::uint32_t vers) {
    RpcClient client({address, port}, kAskBudget);
    const auto reply = client.call(prog, vers, kNull);
    if (!reply) return false;
    return !reply->accepted || (reply->stat != rpc::kProgUnavail && reply->stat != rpc::kProgMismatch);
}

bool portmapper_answers() {
    return portmapper_holder(asio::ip::address_v4::loopback()) != Holder::nobody;
}

namespace {

// What a mapping serves, as the log names it.
std::string what(const Mapping& mapping) {
    if (mapping.prog == kCoreProgram && mapping.vers == vxi11::kVersion) return "the VXI-11 core channel";
    return "program " + std::to_string(mapping.prog) + " version " + std::to_string(mapping.vers);
}

const Mapping* first_tcp(const std::vector<Mapping>& mappings) {
    for (const Mapping& mapping : mappings)
        if (mapping.prot == kTcp) return &mapping;
    return nullptr;
}

}  // namespace

Portmapper::Portmapper(const NetworkExecutor& network, Mode mode, asio::ip::address ownAddress,
                       std::vector<Mapping> mappings, Admit admit, Log log, std::uint16_t port)
    : network_(network),
      mode_(mode),
      port_(port),
      ownAddress_(std::move(ownAddress)),
      mappings_(std::move(mappings)),
      admit_(std::move(admit)),
      log_(std::move(log)) {}

Portmapper::~Portmapper() { stop(); }

void Portmapper::note(const std::string& text) const {
    if (log_) log_("portmapper: " + text);
}

bool Portmapper::start(std::string& error) {
    active_ = Mode::off;
    if (mode_ == Mode::off) return true;
    const std::string where = "127.0.0.1:" + std::to_string(port_);
    const asio::ip::address loopback = asio::ip::address_v4::loopback();
    Mode mode = mode_;
    const Holder holder = mode == Mode::own ? Holder::nobody : portmapper_holder(loopback, port_);
    if (mode == Mode::automatic) {
        if (holder == Holder::other) {
            // Another gateway answering on port 111 itself, most likely: it
            // cannot take a registration, and its port is not ours to take.
            std::string text = "port " + std::to_string(port_) + " is held by a portmapper that is not rpcbind";
            const Mapping* mine = first_tcp(mappings_);
            if (mine != nullptr) {
                const auto theirs = lookup(loopback, port_, *mine);
                if (theirs && *theirs != 0)
                    text = "port " + std::to_string(port_) + " is held by another gateway's portmapper (" +
                           what(*mine) + " on port " + std::to_string(*theirs) + ")";
                text += "; " + what(*mine) + " (port " + std::to_string(mine->port) +
                        ") is not registered anywhere: clients must be given its port";
            }
            note(text);
            return true;
        }
#ifdef TAVRIL_GATEWAY_TIRPC
        mode = holder == Holder::rpcbind ? Mode::rpcbind : Mode::own;
#else
        mode = Mode::own;
#endif
    }
    if (mode == Mode::rpcbind) {
        if (holder == Holder::nobody) {
            error = "no portmapper answers on " + where + " (is rpcbind running?)";
            return false;
        }
        if (holder == Holder::other) {
            error = "the portmapper on " + where +
                    " is not rpcbind (it refuses rpcbind's protocol, as another gateway's own "
                    "portmapper does): cannot register";
            return false;
        }
        switch (register_rpcbind(error)) {
        case Registered::yes: active_ = Mode::rpcbind; return true;
        case Registered::failed: return false;
        case Registered::held:
            if (mode_ != Mode::automatic) {
                error += "; with --portmap auto the gateway runs without the registration";
                return false;
            }
            note(error + ": clients must be given this gateway's core channel port");
            error.clear();
            return true;
        }
    }
    try {
        server_ = std::make_unique<PortmapServer>(network_, ownAddress_, port_, mappings_, admit_, log_);
    } catch (const asio::system_error& failure) {
        error = "cannot answer on port " + std::to_string(port_) + " (" + failure.code().message() + ")";
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

bool Portmapper::answers(std::uint32_t port, std::uint32_t prog, std::uint32_t vers) const {
    if (port == 0 || port > 65535) return false;
    // The other server listens on loopback, or on an address of this
    // machine, perhaps ours.
    const asio::ip::address loopback = asio::ip::address_v4::loopback();
    const auto where = static_cast<std::uint16_t>(port);
    if (program_answers(loopback, where, prog, vers)) return true;
    return !ownAddress_.is_unspecified() && ownAddress_ != loopback &&
           program_answers(ownAddress_, where, prog, vers);
}

#ifdef TAVRIL_GATEWAY_TIRPC
namespace {

// Removes the TCP entry of the program only (pmap_unset would remove its
// UDP entry too, which may be another's).
void unset_tcp(const Mapping& mapping) {
    netconfig* netid = getnetconfigent("tcp");
    if (netid == nullptr) return;
    rpcb_unset(mapping.prog, mapping.vers, netid);
    freenetconfigent(netid);
}

}  // namespace

Portmapper::Registered Portmapper::register_rpcbind(std::string& error) {
    const asio::ip::address loopback = asio::ip::address_v4::loopback();
    for (const Mapping& mapping : mappings_) {
        if (mapping.prot != kTcp) continue;
        bool done = false;
        // Twice: another server may register between the look and the set.
        for (int attempt = 0; attempt < 2 && !done; ++attempt) {
            const std::optional<std::uint32_t> current = lookup(loopback, port_, mapping);
            if (!current) {
                error = "rpcbind on 127.0.0.1:" + std::to_string(port_) + " does not answer GETPORT";
                unregister_rpcbind();
                return Registered::failed;
            }
            if (*current == mapping.port) {
                // Left by an earlier run on the same fixed port: it leads
                // clients here already.
                done = true;
                break;
            }
            if (*current != 0) {
                if (answers(*current, mapping.prog, mapping.vers)) {
                    error = "the portmapper's registration of " + what(mapping) +
                            " belongs to another gateway (port " + std::to_string(*current) +
                            ", which answers); not taken over";
                    unregister_rpcbind();
                    return Registered::held;
                }
                note("the registration of " + what(mapping) + " on port " + std::to_string(*current) +
                     " is stale (nothing answers there): replaced");
                unset_tcp(mapping);
            }
            done = pmap_set(mapping.prog, mapping.vers, IPPROTO_TCP, static_cast<int>(mapping.port));
        }
        if (!done) {
            error = "rpcbind refused to register " + what(mapping);
            unregister_rpcbind();
            return Registered::failed;
        }
        registered_.push_back(mapping);
    }
    return Registered::yes;
}

void Portmapper::unregister_rpcbind() {
    const asio::ip::address loopback = asio::ip::address_v4::loopback();
    for (const Mapping& mapping : registered_) {
        // Only while it is still ours: another gateway may have replaced it
        // meanwhile (after taking ours for stale).
        const std::optional<std::uint32_t> current = lookup(loopback, port_, mapping);
        if (current && *current == mapping.port)
            unset_tcp(mapping);
        else if (current && *current != 0)
            note("the registration of " + what(mapping) + " now leads to port " + std::to_string(*current) +
                 ", not this gateway: left alone");
    }
    registered_.clear();
}
#else
Portmapper::Registered Portmapper::register_rpcbind(std::string& error) {
    error = "this build cannot register with rpcbind (no libtirpc)";
    return Registered::failed;
}

void Portmapper::unregister_rpcbind() {}
#endif

}  // namespace tavlib::gateway::vxi11::portmap
