// The owner of a POSIX file descriptor, as the simulator and its clients
// name it (tavlib/unique_fd.h, shared with the Linux backend).
#pragma once

#include "tavlib/unique_fd.h"

namespace tavlib::sim {

using UniqueFd = tavlib::UniqueFd;

}  // namespace tavlib::sim
