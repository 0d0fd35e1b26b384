#include "driver_protocol.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace tavlib::driver_protocol {

namespace {

const char* non_empty_env(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

bool make_private_dir(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

}  // namespace

std::string runtime_directory() {
    if (const char* dir = non_empty_env("TAVRIL_RUNTIME_DIR")) return dir;
    if (const char* xdg = non_empty_env("XDG_RUNTIME_DIR")) return std::string(xdg) + "/tavril";
    return "/tmp/tavril-" + std::to_string(::getuid());
}

std::string ensure_interface_folder() {
    const std::string root = runtime_directory();
    if (!make_private_dir(root)) return {};
    std::string folder = root + "/" + kInterfaceClassFolder;
    if (!make_private_dir(folder)) return {};
    return folder;
}

}  // namespace tavlib::driver_protocol
