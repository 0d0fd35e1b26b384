// Names of the interface sockets in the interface folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavlib::sim {

struct InterfaceName {
    std::uint32_t number = 0;  // the device number
    std::string name;          // the socket's file name
};

// Picks the name of a new interface so that it sorts (byte order) after
// every name in `present`.  Normally that is the ten-digit zero-padded
// number one above both `lastNumber` and every all-digit name present.  If
// some other name still sorts after it, the new name is that name followed
// by "." and the number.
InterfaceName next_interface_name(const std::vector<std::string>& present, std::uint32_t lastNumber);

// The names in a folder, without "." and ".."; empty if it cannot be read.
std::vector<std::string> list_folder(const std::string& folder);

}  // namespace tavlib::sim
