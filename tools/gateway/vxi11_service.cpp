#include "vxi11_service.h"

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

// Connections per channel, at most; beyond, the one idle the longest goes.
constexpr std::size_t kMaxConnections = 64;

}  // namespace

Vxi11Service::Vxi11Service(const NetworkExecutor& network, const Poster& poster, const Vxi11Options& options,
                           const ServeOptions& serve, std::list<RawPort>& ports)
    : mode_(options.portmap), dispatcher_(limits_for(serve)) {
    dispatcher_.set_log(say);
    for (RawPort& port : ports) {
        devices_.emplace_back(port.service(), poster, [&port] { port.drop_departed_owner(); });
        dispatcher_.add_device("inst" + std::to_string(port.slot()), devices_.back());
    }
    const AccessList* access = serve.access;
    const auto admit = [access](const asio::ip::address& peer) { return access->allows(peer); };
    const std::uint32_t keepalive = options.keepalive;
    const auto prepare = [keepalive](asio::ip::tcp::socket& socket) {
        if (keepalive != 0) set_keepalive(socket, keepalive);
    };
    vxi11::ChannelOptions abortOptions{{serve.bind, 0}, vxi11::Channel::abort, 0, kMaxConnections, options.idleLimit,
                                       admit, prepare, say};
    abort_.emplace(network, dispatcher_, abortOptions);
    vxi11::ChannelOptions coreOptions{{serve.bind, options.port}, vxi11::Channel::core, 0, kMaxConnections,
                                      options.idleLimit, admit, prepare, say};
    core_.emplace(network, dispatcher_, coreOptions);
    dispatcher_.set_abort_port(abort_->port());
    portmapper_.emplace(network, options.portmap, serve.bind,
                        std::vector<vxi11::portmap::Mapping>{
                            {vxi11::kCoreProgram, vxi11::kVersion, vxi11::portmap::kTcp, core_->port()}},
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
    started_ = true;
    return true;
}

void Vxi11Service::stop() {
    if (!started_) return;
    started_ = false;
    core_->stop();
    abort_->stop();
    portmapper_->stop();
}

vxi11::portmap::Mode Vxi11Service::portmapper() const { return portmapper_->active(); }
std::uint16_t Vxi11Service::core_port() const { return core_->port(); }

}  // namespace tavlib::gateway
