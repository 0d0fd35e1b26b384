// Device-setup enumeration on Linux: the present interfaces of the
// instrument's class are the sockets in the class folder of the runtime
// directory on which a driver accepts connections, in ascending byte order of
// their names.  A device-information set is a snapshot taken when it is
// built.

#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "backend.h"
#include "platform/win32_errors.h"
#include "tavlib/driver_interface.h"
#include "tavlib/runtime_dir.h"
#include "tavlib/unique_fd.h"

namespace tavlib::platform {

namespace lb = linux_backend;
namespace err = win32_error;

// The size of the detail record's fixed fields: its 32-bit cbSize and one
// character, as on 32-bit Windows.
const Word kDetailFixedSize = 5;

namespace {

constexpr Guid kInterfaceClass = std::bit_cast<Guid>(driver::kInterfaceClass);
constexpr Word kInterfaceActive = 1;  // SPINT_ACTIVE

bool same_guid(const Guid& a, const Guid& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

// Whether a driver accepts connections on the socket at `path`.  A socket
// left behind by a driver that died refuses them.  A full backlog means the
// driver is there but busy.
bool driver_listens(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
           errno == EAGAIN || errno == EINPROGRESS;
}

class Directory {
public:
    explicit Directory(const std::string& path) : dir_(::opendir(path.c_str())) {}
    ~Directory() {
        if (dir_ != nullptr) ::closedir(dir_);
    }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    DIR* get() const { return dir_; }

private:
    DIR* dir_;
};

// The paths of the present interfaces, in enumeration order; 0 or the Win32
// code of the failure.  A runtime directory or interface folder that is not
// private to the caller is refused with ERROR_ACCESS_DENIED: a socket in it
// could be anyone's.
Word present_interfaces(std::vector<std::string>& paths) {
    const std::string folder = runtime_dir::ensure_interface_folder(lb::runtime_directory());
    if (folder.empty()) return lb::win32_from_errno(errno);
    const Directory dir(folder);
    if (dir.get() == nullptr) return lb::win32_from_errno(errno);

    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::lstat((folder + "/" + name).c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
            names.push_back(name);
    }
    // std::string orders char by char as unsigned bytes.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        std::string path = folder + "/" + name;
        if (driver_listens(path)) paths.push_back(std::move(path));
    }
    return 0;
}

// The interface that `data` names within `list`, or null.
const std::string* interface_path(const lb::DeviceList& list, const DeviceInterfaceData& data) {
    if (data.Reserved == 0 || data.Reserved > list.paths.size()) return nullptr;
    return &list.paths[data.Reserved - 1];
}

}  // namespace

DevInfo SetupDiGetClassDevsA(const Guid* classGuid, const char*, void*, Word flags) {
    if (classGuid == nullptr) {
        lb::set_last_error(err::kInvalidParameter);
        return invalid_handle();
    }
    auto list = std::make_shared<lb::DeviceList>();
    list->classGuid = *classGuid;
    if ((flags & kDigcfDeviceInterface) != 0 && same_guid(*classGuid, kInterfaceClass)) {
        if (const Word code = present_interfaces(list->paths); code != 0) {
            lb::set_last_error(code);
            return invalid_handle();
        }
    }
    lb::State& s = lb::state();
    std::lock_guard lock(s.mutex);
    return lb::add_object(s, std::move(list));
}

bool SetupDiEnumDeviceInterfaces(DevInfo set, void* deviceInfoData, const Guid* classGuid,
                                 Word memberIndex, DeviceInterfaceData* interfaceData) {
    lb::State& s = lb::state();
    std::lock_guard lock(s.mutex);
    const auto list = lb::find<lb::DeviceList>(s, set);
    if (!list) return lb::fail(err::kInvalidHandle);
    if (interfaceData == nullptr || interfaceData->cbSize != sizeof(DeviceInterfaceData))
        return lb::fail(lb::kInvalidUserBuffer);
    // Interfaces are not grouped by device here, so there is no device
    // record to filter by.
    if (classGuid == nullptr || deviceInfoData != nullptr)
        return lb::fail(err::kInvalidParameter);
    if (!same_guid(*classGuid, list->classGuid) || memberIndex >= list->paths.size())
        return lb::fail(err::kNoMoreItems);
    interfaceData->InterfaceClassGuid = *classGuid;
    interfaceData->Flags = kInterfaceActive;
    interfaceData->Reserved = std::uintptr_t{memberIndex} + 1;
    return true;
}

bool SetupDiGetDeviceInterfaceDetailA(DevInfo set, DeviceInterfaceData* interfaceData,
                                      void* detail, Word detailSize, Word* requiredSize,
                                      void*) {
    lb::State& s = lb::state();
    std::lock_guard lock(s.mutex);
    const auto list = lb::find<lb::DeviceList>(s, set);
    if (!list) return lb::fail(err::kInvalidHandle);
    if (interfaceData == nullptr) return lb::fail(err::kInvalidParameter);
    if (interfaceData->cbSize != sizeof(DeviceInterfaceData))
        return lb::fail(lb::kInvalidUserBuffer);
    const std::string* path = interface_path(*list, *interfaceData);
    if (path == nullptr) return lb::fail(err::kInvalidParameter);

    const auto needed = static_cast<Word>(kDetailPathOffset + path->size() + 1);
    if (detail == nullptr) {
        if (detailSize != 0) return lb::fail(lb::kInvalidUserBuffer);
        if (requiredSize != nullptr) *requiredSize = needed;
        return lb::fail(err::kInsufficientBuffer);
    }
    Word cbSize = 0;
    if (detailSize >= sizeof cbSize) std::memcpy(&cbSize, detail, sizeof cbSize);
    if (detailSize < kDetailFixedSize || cbSize != kDetailFixedSize)
        return lb::fail(lb::kInvalidUserBuffer);
    if (detailSize < needed) {
        if (requiredSize != nullptr) *requiredSize = needed;
        return lb::fail(err::kInsufficientBuffer);
    }
    std::memcpy(static_cast<char*>(detail) + kDetailPathOffset, path->c_str(), path->size() + 1);
    if (requiredSize != nullptr) *requiredSize = needed;
    return true;
}

bool SetupDiDestroyDeviceInfoList(DevInfo set) {
    lb::State& s = lb::state();
    std::lock_guard lock(s.mutex);
    if (!lb::find<lb::DeviceList>(s, set)) return lb::fail(err::kInvalidHandle);
    s.objects.erase(reinterpret_cast<std::uintptr_t>(set));
    return true;
}

}  // namespace tavlib::platform
