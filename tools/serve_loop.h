// The main loop every served-program tool shares: publish the program's
// link socket, serve until SIGINT or SIGTERM, then withdraw it.
#pragma once
#include <asio.hpp>

#include "link/served_program.h"

namespace korvane::tools {

// Returns the process exit code: 1 when the socket could not be published.
int ServeUntilSignalled(asio::io_context& io, link::ServedProgram& program, const char* tool_name);

}  // namespace korvane::tools
