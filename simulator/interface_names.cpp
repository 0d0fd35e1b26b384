#include "interface_names.h"

#include <dirent.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <memory>

namespace tavlib::sim {

InterfaceName next_interface_name(const std::vector<std::string>& present, std::uint32_t lastNumber) {
    std::uint32_t highest = lastNumber;
    const std::string* greatest = nullptr;
    for (const std::string& name : present) {
        if (greatest == nullptr || name > *greatest) greatest = &name;
        if (name.empty() || name.size() > 10 ||
            !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        std::uint64_t value = 0;
        std::from_chars(name.data(), name.data() + name.size(), value);
        if (value > highest && value < 0xFFFFFFFFu) highest = static_cast<std::uint32_t>(value);
    }
    InterfaceName out;
    out.number = highest + 1;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%010u", static_cast<unsigned>(out.number));
    out.name = digits;
    if (greatest != nullptr && out.name <= *greatest) out.name = *greatest + "." + digits;
    return out;
}

std::vector<std::string> list_folder(const std::string& folder) {
    std::vector<std::string> names;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace tavlib::sim
