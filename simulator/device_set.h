// The simulator's devices and the instruments they can be made of: each
// device is an interface socket in the interface folder, named so that it
// sorts after every other, with a Device behind it.
#pragma once

#include "device.h"
#include "instrument.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavlib::sim {

class DeviceSet {
public:
    using Devices = std::map<std::uint32_t, std::unique_ptr<Device>>;
    using Instruments = std::map<std::string, std::shared_ptr<const InstrumentDef>>;

    // `folder` is the interface folder, present and private already.
    DeviceSet(DeviceContext& context, std::string folder, std::size_t statsLimit);
    DeviceSet(const DeviceSet&) = delete;
    DeviceSet& operator=(const DeviceSet&) = delete;

    const std::string& folder() const { return folder_; }

    // The instruments that add() can make a device of, by name.
    void add_instrument(std::shared_ptr<const InstrumentDef> def);
    const Instruments& instruments() const { return instruments_; }
    std::shared_ptr<const InstrumentDef> instrument(const std::string& name) const;

    // Creates the interface socket of a new device and the device behind it.
    // Throws std::runtime_error with a message for the user.
    Device& add(const std::shared_ptr<const InstrumentDef>& def);
    // Closes the device's connections and removes its socket.
    void remove(std::uint32_t number);
    Device* find(std::uint32_t number) const;
    const Devices& devices() const { return devices_; }
    std::vector<std::string> paths() const;
    // Removes every device, sockets first.
    void clear() { devices_.clear(); }

private:
    DeviceContext& context_;
    std::string folder_;
    std::size_t statsLimit_;
    Instruments instruments_;
    Devices devices_;
    std::uint32_t lastNumber_ = 0;
};

}  // namespace tavlib::sim
