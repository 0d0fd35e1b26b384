#include "device_set.h"

#include "interface_names.h"
#include "tcp_listener.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tavlib::sim {

DeviceSet::DeviceSet(DeviceContext& context, std::string folder, std::size_t statsLimit)
    : context_(context), folder_(std::move(folder)), statsLimit_(statsLimit) {}

void DeviceSet::add_instrument(std::shared_ptr<const InstrumentDef> def) {
    const std::string name = def->name;
    instruments_[name] = std::move(def);
}

std::shared_ptr<const InstrumentDef> DeviceSet::instrument(const std::string& name) const {
    auto it = instruments_.find(name);
    return it == instruments_.end() ? nullptr : it->second;
}

Device& DeviceSet::add(const std::shared_ptr<const InstrumentDef>& def) {
    // Another driver may pick the same name at the same moment; bind then
    // fails and the next name is tried.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const InterfaceName name = next_interface_name(list_folder(folder_), lastNumber_);
        const std::string path = folder_ + "/" + name.name;
        const sockaddr_un addr = unix_address(path);
        UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            if (errno == EADDRINUSE) {
                lastNumber_ = name.number;
                continue;
            }
            throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
        }
        lastNumber_ = name.number;
        if (::listen(fd.get(), 64) != 0) {
            const int e = errno;
            ::unlink(path.c_str());
            throw std::runtime_error("listen on " + path + ": " + std::strerror(e));
        }
        std::unique_ptr<Device> device;
        try {
            device = std::make_unique<Device>(context_, name.number, path, std::move(fd), def, statsLimit_);
        } catch (...) {
            ::unlink(path.c_str());
            throw;
        }
        Device& added = *device;
        devices_.emplace(name.number, std::move(device));
        return added;
    }
    throw std::runtime_error("no free interface name in " + folder_);
}

void DeviceSet::remove(std::uint32_t number) { devices_.erase(number); }

Device* DeviceSet::find(std::uint32_t number) const {
    auto it = devices_.find(number);
    return it == devices_.end() ? nullptr : it->second.get();
}

std::vector<std::string> DeviceSet::paths() const {
    std::vector<std::string> paths;
    for (const auto& [number, device] : devices_) paths.push_back(device->path());
    return paths;
}

}  // namespace tavlib::sim
