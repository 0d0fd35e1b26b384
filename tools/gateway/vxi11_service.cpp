#include "vxi11_service.h"

#include <asio/post.hpp>

#include "keepalive.h"
#include "log.h"

namespace tavlib::gateway {
namespace {

vxi11::Limits limits_for(const ServeOptions& serve) {
    vxi11::Limits limits;
    // A message written up to END is one command text, as a raw-socket line.
    limits.maxMessage = serve.maxLine;
    return limits;
}

void say(std::string_view text) { log("vxi11: " + std::string(text)); }

}  // namespace

Vxi11Service::Vxi11Service(const Vxi11Options& options, const ServeOptions& serve,
                           std::list<Port>& ports)
    : mode_(options.portmap), dispatcher_(limits_for(serve)) {
    if (ports.size() == 1) {
        host_ = &ports.front();
        io_ = &host_->io();
    } else {
        io_ = &ownIo_.emplace();
    }
    dispatcher_.set_log(say);
    for (Port& port : ports) {
        devices_.emplace_back(port);
        dispatcher_.add_device("inst" + std::to_string(port.slot()), devices_.back());
    }
    const AccessList* access = serve.access;
    const auto admit = [access](const asio::ip::address& peer) { return access->allows(peer); };
    const std::uint32_t keepalive = options.keepalive;
    const auto prepare = [keepalive](asio::ip::tcp::socket& socket) {
        if (keepalive != 0) set_keepalive(socket, keepalive);
    };
    abort_.emplace(*io_, dispatcher_,
                   vxi11::ChannelOptions{{serve.bind, 0}, vxi11::Channel::abort, 0, 64, admit,
                                         prepare, say});
    core_.emplace(*io_, dispatcher_,
                  vxi11::ChannelOptions{{serve.bind, options.port}, vxi11::Channel::core, 0, 64,
                                        admit, prepare, say});
    dispatcher_.set_abort_port(abort_->port());
    portmapper_.emplace(*io_, options.portmap, serve.bind,
                        std::vector<vxi11::portmap::Mapping>{
                            {vxi11::kCoreProgram, vxi11::kVersion, vxi11::portmap::kTcp,
                             core_->port()}},
                        admit, say);
}

Vxi11Service::~Vxi11Service() { stop(); }

bool Vxi11Service::start(std::string& error) {
    if (!portmapper_->start(error)) {
        if (mode_ != vxi11::portmap::Mode::automatic) return false;
        // Chosen by default: the gateway goes on, and clients are told the
        // port by hand.
        say("no portmapper (" + error + "): clients must be given the core channel's port");
        error.clear();
    }
    core_->start();
    abort_->start();
    say("core channel on port " + std::to_string(core_->port()) + ", abort channel on port " +
        std::to_string(abort_->port()) + ", portmapper: " +
        std::string(vxi11::portmap::mode_name(portmapper_->active())));
    if (ownIo_) thread_ = std::thread([this] { ownIo_->run(); });
    started_ = true;
    return true;
}

void Vxi11Service::stop() {
    if (!started_) return;
    started_ = false;
    const auto stop_servers = [this] {
        core_->stop();
        abort_->stop();
        portmapper_->stop();
    };
    if (ownIo_) {
        // The servers' stop() runs on their thread; a call in progress ends
        // first (its instrument work runs on a port thread, still running).
        // With every socket closed the connections end, and free their
        // links, and the thread's run() returns.
        asio::post(*ownIo_, stop_servers);
        thread_.join();
        return;
    }
    // On the port's thread: there the connections end, and free their
    // links, on the next turns of its loop; wait for that (a bounded time)
    // before the dispatcher goes.
    host_->run(stop_servers);
    for (int turn = 0; turn < 200; ++turn) {
        std::size_t open = 0;
        host_->run([&] { open = core_->connections() + abort_->connections(); });
        if (open == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

vxi11::portmap::Mode Vxi11Service::portmapper() const { return portmapper_->active(); }
std::uint16_t Vxi11Service::core_port() const { return core_->port(); }

}  // namespace tavlib::gateway
