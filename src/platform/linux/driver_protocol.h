// The wire protocol between the Linux platform layer and a user-space
// instrument driver (the simulator is one).  Shared by both sides.
//
// Each message is one SOCK_SEQPACKET datagram: a header of four
// little-endian 32-bit words, then the payload, if any.
#pragma once

#include <cstdint>
#include <string>

namespace tavlib::driver_protocol {

enum MessageType : std::uint32_t {
    kWrite = 1,       // id, arg = n (1..65536), payload = n bytes
    kRead = 2,        // id, arg = capacity (0..65536)
    kCancel = 3,      // id of the request to cancel; no reply
    kIoctl = 4,       // id, arg = control code
    kComplete = 0x81  // id, arg = Win32 status, count = bytes moved; READ payload
};

struct Header {
    std::uint32_t type;
    std::uint32_t id;
    std::uint32_t arg;
    std::uint32_t count;
};
static_assert(sizeof(Header) == 16);

inline constexpr std::uint32_t kMaxTransfer = 65536;
inline constexpr std::uint32_t kIoctlRecover = 0x222000;

// Folder name of the interface class inside the runtime directory.
inline constexpr const char* kInterfaceClassFolder = "016a5b0d-4331-4c56-8825-6ec4c870d3cb";

// The runtime directory R: $TAVRIL_RUNTIME_DIR when set and not empty, else
// $XDG_RUNTIME_DIR/tavril when that is set, else /tmp/tavril-<uid>, as an
// absolute path: a relative one is taken from the working directory of the
// call (and stays relative only when that directory cannot be named).  Read
// from the environment at each call; does not create it.
std::string runtime_directory();

// Why `path` cannot serve as a private folder (or, with `isFile`, a private
// regular file) of the calling user: it must not be a symbolic link, must
// be owned by the caller's effective uid and must grant nothing to group or
// others.  Empty when it can.
std::string private_path_problem(const std::string& path, bool isFile = false);

// The first problem (see private_path_problem) of R, its interface folder
// or its slot-table file, among those that exist; empty when there is none.
// Creates nothing: for tools that explain why the library refuses R.
std::string runtime_directory_problem(const std::string& root);

// Creates R and R/<class folder> (mode 0700) where missing and checks that
// both are private to the caller (see private_path_problem).  Returns the
// interface folder's path.  On failure returns an empty string, sets errno
// (EACCES for a path that is not private) and, if `problem` is given,
// stores there which path is wrong and why.
std::string ensure_interface_folder(const std::string& root, std::string* problem = nullptr);

}  // namespace tavlib::driver_protocol
