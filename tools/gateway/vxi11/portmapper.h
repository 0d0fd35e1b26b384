// The portmapper (program 100000, version 2) as VXI-11 clients use it: they
// ask GETPORT for the core channel's TCP port, on port 111, over TCP or by
// UDP (broadcast, to discover instruments).
//
// Four pieces: the codec (answer()); PortmapServer, which answers on a
// port itself over UDP and TCP; a small client (portmapper_holder(),
// lookup(), program_answers()) that asks whoever holds a port; and
// Portmapper, which puts the gateway's programs where clients look, in a
// mode the caller chooses:
//   rpcbind  registers them with the system's rpcbind (Linux, libtirpc),
//            unless another live server holds the registration, and
//            removes them at the end while they are still its own; fails
//            when no rpcbind runs or the registration is another's
//   own      answers on port 111 itself (no rpcbind may hold the port)
//   auto     rpcbind when rpcbind answers on 111; nothing (logged) when
//            another portmapper holds it or rpcbind's registration is
//            another's; else own
//   off      neither: clients must be told the port
// Windows has no rpcbind: only own and off (auto is own, or nothing beside
// another gateway's own portmapper).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>

#include "network.h"
#include <asio/ip/udp.hpp>

#include "xdr.h"

namespace tavlib::gateway::vxi11::portmap {

inline constexpr std::uint32_t kProgram = 100000;
inline constexpr std::uint32_t kVersion = 2;
inline constexpr std::uint16_t kPort = 111;
inline constexpr std::uint32_t kTcp = 6;
inline constexpr std::uint32_t kUdp = 17;
enum Procedure : std::uint32_t { kNull = 0, kSet = 1, kUnset = 2, kGetPort = 3, kDump = 4, kCallIt = 5 };

struct Mapping {
    std::uint32_t prog = 0;
    std::uint32_t vers = 0;
    std::uint32_t prot = kTcp;
    std::uint32_t port = 0;
};

// The reply to one portmapper message, or nothing (not a call, or a header
// too bad to answer).  NULL, GETPORT (0 for a program not in `mappings`)
// and DUMP (every mapping) are served; every other procedure is
// unavailable, and other versions (rpcbind's 3 and 4) answer PROG_MISMATCH
// 2..2.  The portmapper's own program is always mapped to `ownPort`, over
// TCP and UDP.
std::optional<Bytes> answer(ByteView message, const std::vector<Mapping>& mappings,
                            std::uint16_t ownPort, bool framed);

using Admit = std::function<bool(const asio::ip::address&)>;
using Log = std::function<void(std::string_view)>;

// Answers portmapper calls on one address and port, over UDP and TCP, on
// the network's strand.
class PortmapServer {
public:
    // Binds both sockets (throws asio::system_error when it cannot).  Port
    // 0: a free port, the same for both (for tests).
    PortmapServer(const NetworkExecutor& network, const asio::ip::address& address, std::uint16_t port,
                  std::vector<Mapping> mappings, Admit admit, Log log);
    ~PortmapServer();
    PortmapServer(const PortmapServer&) = delete;
    PortmapServer& operator=(const PortmapServer&) = delete;

    void start();
    void stop();
    std::uint16_t tcp_port() const;
    std::uint16_t udp_port() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

enum class Mode { rpcbind, own, automatic, off };
std::optional<Mode> parse_mode(std::string_view text);  // rpcbind, own, auto, off
std::string_view mode_name(Mode mode);

// Puts `mappings` (TCP ones) where clients look, per the mode; undoes it
// at the end.  `port`: where the system's portmapper is asked, and where own
// mode answers (kPort; tests give another).
class Portmapper {
public:
    Portmapper(const NetworkExecutor& network, Mode mode, asio::ip::address ownAddress,
               std::vector<Mapping> mappings, Admit admit, Log log, std::uint16_t port = kPort);
    ~Portmapper();
    Portmapper(const Portmapper&) = delete;
    Portmapper& operator=(const Portmapper&) = delete;

    // Registers, or binds and starts answering.  False (and `error` says
    // why) when the mode cannot be had: in rpcbind mode no rpcbind, or a
    // live registration of another server; port 111 taken in own mode.  In
    // auto mode beside another server's registration or portmapper it
    // logs why and returns true, with nothing active.
    bool start(std::string& error);
    void stop();
    // What start() did: rpcbind, own or off.
    Mode active() const { return active_; }

private:
    enum class Registered { yes, held, failed };
    Registered register_rpcbind(std::string& error);
    void unregister_rpcbind();
    bool answers(std::uint32_t port, std::uint32_t prog, std::uint32_t vers) const;
    void note(const std::string& text) const;

    NetworkExecutor network_;
    Mode mode_;
    std::uint16_t port_;
    Mode active_ = Mode::off;
    asio::ip::address ownAddress_;
    std::vector<Mapping> mappings_;
    Admit admit_;
    Log log_;
    std::unique_ptr<PortmapServer> server_;
    std::vector<Mapping> registered_;
};

// Who answers portmapper calls on a TCP port (each question below waits
// about a second at most).
enum class Holder {
    nobody,   // no RPC answer to a version 2 NULL call
    rpcbind,  // also answers rpcbind's own protocol (version 4 or 3): the
              // system's rpcbind, the one libtirpc registers with
    other,    // version 2 only: another gateway's own portmapper, say
};
Holder portmapper_holder(const asio::ip::address& address, std::uint16_t port = kPort);
// GETPORT over TCP: the port `asked` is mapped to (0: none); nothing when
// no portmapper answered.
std::optional<std::uint32_t> lookup(const asio::ip::address& address, std::uint16_t port,
                                    const Mapping& asked);
// Whether a server of `prog` version `vers` answers a NULL call over TCP
// on `port` (any reply but PROG_UNAVAIL or PROG_MISMATCH: a server of the
// program is there, even one that does not serve NULL).
bool program_answers(const asio::ip::address& address, std::uint16_t port, std::uint32_t prog,
                     std::uint32_t vers);
// True when a portmapper answers a NULL call on 127.0.0.1:111.
bool portmapper_answers();

}  // namespace tavlib::gateway::vxi11::portmap
