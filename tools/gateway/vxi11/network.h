// The executor of the gateway's front ends and servers.
#pragma once

#include <asio/io_context.hpp>
#include <asio/strand.hpp>

namespace tavlib::gateway {

// Every front end's handlers run on one strand, one at a time, whichever of
// the io_context's threads runs them: the front ends share their state as
// if they had one thread.  The other threads are there so that a thread may
// leave the strand to run an instrument's call while another takes over the
// network.
using NetworkExecutor = asio::strand<asio::io_context::executor_type>;

}  // namespace tavlib::gateway
