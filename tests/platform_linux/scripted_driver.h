// Test doubles for the Linux backend's tests: a private runtime directory,
// and a driver whose every answer the test writes by hand.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "tavlib/driver_interface.h"
#include "tavlib/driver_wire.h"

namespace tavtest {

namespace pf = tavlib::platform;
namespace wire = tavlib::wire;

// A bound on how long a test waits for something that must happen; it only
// stops a broken backend from hanging the suite.
inline constexpr int kGuardMilliseconds = 20000;

// The process's runtime directory, which the backend reads once at load
// (the test program's main starts it in a fresh one).  Emptied when the
// test ends, so that tests of one program run one after another in it.
class RuntimeDir {
public:
    RuntimeDir() {
        const char* dir = std::getenv("TAVRIL_RUNTIME_DIR");
        path_ = dir != nullptr ? dir : "";
        EXPECT_FALSE(path_.empty()) << "run through the isolating main";
    }
    ~RuntimeDir() {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(path_, ignored))
            std::filesystem::remove_all(entry.path(), ignored);
    }
    RuntimeDir(const RuntimeDir&) = delete;
    RuntimeDir& operator=(const RuntimeDir&) = delete;

    const std::string& path() const { return path_; }
    // The interface folder, created private on demand.
    std::string interfaces() const {
        const std::string folder = path_ + "/" + tavlib::driver::kInterfaceClassFolder;
        std::filesystem::create_directories(folder);
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
        return folder;
    }

private:
    std::string path_;
};

// A message from the library, as the driver received it.
struct Message {
    std::uint32_t type = 0, id = 0, arg = 0, count = 0;
    std::string payload;
};

// The driver's end of one connection.
class DriverConnection {
public:
    explicit DriverConnection(int fd) : fd_(fd) {}
    ~DriverConnection() { close(); }
    DriverConnection(const DriverConnection&) = delete;
    DriverConnection& operator=(const DriverConnection&) = delete;

    // The next message from the library; a failure if none comes or if it
    // breaks the driver interface.
    Message receive() {
        Message m;
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, kGuardMilliseconds) != 1) {
            ADD_FAILURE() << "the driver received nothing";
            return m;
        }
        std::string buffer(wire::kMaxMessage + 64, '\0');
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n < 0) {
            ADD_FAILURE() << "no message: " << std::strerror(errno);
            return m;
        }
        const wire::Message got = wire::decode_request(buffer.data(), static_cast<std::size_t>(n));
        if (got.fault != wire::Fault::kNone) ADD_FAILURE() << "malformed: " << wire::describe(got);
        const wire::Header& h = got.header;
        return {h.type, h.id, h.arg, h.count, std::string(got.payload)};
    }

    // Whether nothing is waiting to be received.  Everything the library
    // sends is queued before its call returns, so this is exact.
    bool idle() const {
        pollfd entry{fd_, POLLIN, 0};
        return ::poll(&entry, 1, 0) == 0;
    }

    void send(const std::string& bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    void complete(std::uint32_t id, std::uint32_t status, std::uint32_t count,
                  const std::string& payload = {}) {
        send(wire::message({wire::kComplete, id, status, count}, payload));
    }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// A device interface served by the test: a listening socket in the class
// folder.
class DriverSocket {
public:
    DriverSocket(const std::string& folder, const std::string& name) : path_(folder + "/" + name) {
        fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path_;
        EXPECT_EQ(::listen(fd_, 16), 0);
    }
    ~DriverSocket() {
        if (fd_ >= 0) ::close(fd_);
        ::unlink(path_.c_str());
    }
    DriverSocket(const DriverSocket&) = delete;
    DriverSocket& operator=(const DriverSocket&) = delete;

    const std::string& path() const { return path_; }

    int accept() {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, kGuardMilliseconds) != 1) {
            ADD_FAILURE() << "nobody connected";
            return -1;
        }
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

    // The driver dies: its socket stays behind and refuses connections.
    void die() {
        ::close(fd_);
        fd_ = -1;
    }

private:
    std::string path_;
    int fd_ = -1;
};

inline pf::Handle open_device(const std::string& path) {
    return pf::CreateFileA(path.c_str(), pf::kGenericRead | pf::kGenericWrite,
                           pf::kFileShareRead | pf::kFileShareWrite, nullptr, pf::kOpenExisting,
                           pf::kFileAttributeNormal | pf::kFileFlagOverlapped, nullptr);
}

inline constexpr pf::Guid kTavrilClass = std::bit_cast<pf::Guid>(tavlib::driver::kInterfaceClass);

}  // namespace tavtest
