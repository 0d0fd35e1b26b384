// The runtime directory R and its rules, for the library and for the
// drivers that serve it.
//
// R is $TAVRIL_RUNTIME_DIR when set and not empty, else
// $XDG_RUNTIME_DIR/tavril when that is set, else /tmp/tavril-<uid>.  It holds
// everything the library and its drivers share on one machine: the interface
// folder of the instrument's class, where drivers place their sockets, and
// the slot-table file.  Whichever side needs R first creates it with mode
// 0700; either side uses R, the interface folder and the slot-table file
// only when they are private to the caller (see private_path_problem).
//
// Nothing here keeps R: a program reads it once, with from_environment(),
// and passes it on.
#pragma once

#include <string>

namespace tavlib::runtime_dir {

// R as the environment names it now, made absolute: a relative path is
// taken from the working directory of the call (and stays relative only when
// that directory cannot be named).  Creates nothing.
std::string from_environment();

// R/<interface class folder>.
std::string interface_folder(const std::string& root);

// R/slot-table.
std::string slot_table_file(const std::string& root);

// Why `path` cannot serve as a private folder (or, with `isFile`, a private
// regular file) of the calling user: it must not be a symbolic link, must
// be owned by the caller's effective uid and must grant nothing to group or
// others.  Empty when it can.
std::string private_path_problem(const std::string& path, bool isFile = false);

// The first problem (see private_path_problem) of R, its interface folder
// or its slot-table file, among those that exist; empty when there is none.
// Creates nothing: for tools that explain why the library refuses R.
std::string problem(const std::string& root);

// Creates R and its interface folder (mode 0700) where missing and checks
// that both are private to the caller.  Returns the interface folder's path.
// On failure returns an empty string, sets errno (EACCES for a path that is
// not private) and, if `why` is given, stores there which path is wrong and
// why.
std::string ensure_interface_folder(const std::string& root, std::string* why = nullptr);

}  // namespace tavlib::runtime_dir
