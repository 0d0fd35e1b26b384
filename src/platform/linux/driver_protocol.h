// The runtime directory shared by the Linux platform layer and the
// user-space instrument drivers (the simulator is one).  The messages
// between them are tavlib/driver_wire.h.
#pragma once

#include <string>

namespace tavlib::driver_protocol {

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
