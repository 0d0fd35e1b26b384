#include "tavlib/runtime_dir.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "tavlib/driver_interface.h"

namespace tavlib::runtime_dir {

namespace {

const char* non_empty_env(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

std::string octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777u);
    return text;
}

// Creates `path` with mode 0700 unless it exists, then checks that it is a
// private folder.  A folder made here is private already; one that existed
// may have been made by someone else, so it is checked before any use.
bool make_private_dir(const std::string& path, std::string* why) {
    const auto refuse = [&](std::string reason, int error) {
        if (why != nullptr) *why = std::move(reason);
        errno = error;
        return false;
    };
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return refuse("cannot create " + path + ": " + std::strerror(errno), errno);
    std::string reason = private_path_problem(path);
    if (!reason.empty()) return refuse(std::move(reason), EACCES);
    return true;
}

// `path` prefixed with the working directory unless it is absolute.  A
// working directory that cannot be named (removed, or an ancestor that may
// not be read) leaves it relative: the kernel still resolves it from there.
std::string absolute(std::string path) {
    if (path.front() == '/') return path;
    std::error_code unnamed;
    const std::filesystem::path cwd = std::filesystem::current_path(unnamed);
    if (unnamed) return path;
    return (cwd / path).string();
}

std::string chosen_directory() {
    if (const char* dir = non_empty_env("TAVRIL_RUNTIME_DIR")) return dir;
    if (const char* xdg = non_empty_env("XDG_RUNTIME_DIR")) return std::string(xdg) + "/tavril";
    return "/tmp/tavril-" + std::to_string(::getuid());
}

}  // namespace

std::string from_environment() { return absolute(chosen_directory()); }

std::string interface_folder(const std::string& root) {
    return root + "/" + driver::kInterfaceClassFolder;
}

std::string slot_table_file(const std::string& root) { return root + "/slot-table"; }

std::string private_path_problem(const std::string& path, bool isFile) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "cannot examine " + path + ": " + std::strerror(errno);
    if (S_ISLNK(st.st_mode)) return path + " is a symbolic link";
    if (isFile ? !S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode))
        return path + (isFile ? " is not a regular file" : " is not a directory");
    if (st.st_uid != ::geteuid())
        return path + " is owned by uid " + std::to_string(st.st_uid) + ", not by uid " +
               std::to_string(::geteuid());
    if ((st.st_mode & 077) != 0)
        return path + " has mode " + octal(st.st_mode) + ": group or others may use it";
    return {};
}

std::string problem(const std::string& root) {
    const struct {
        std::string path;
        bool isFile;
    } parts[] = {{root, false}, {interface_folder(root), false}, {slot_table_file(root), true}};
    for (const auto& part : parts) {
        struct stat st {};
        if (::lstat(part.path.c_str(), &st) != 0) {
            if (errno == ENOENT) continue;  // made private when first needed
            return "cannot examine " + part.path + ": " + std::strerror(errno);
        }
        std::string why = private_path_problem(part.path, part.isFile);
        if (!why.empty()) return why;
    }
    return {};
}

std::string ensure_interface_folder(const std::string& root, std::string* why) {
    if (!make_private_dir(root, why)) return {};
    std::string folder = interface_folder(root);
    if (!make_private_dir(folder, why)) return {};
    return folder;
}

}  // namespace tavlib::runtime_dir
