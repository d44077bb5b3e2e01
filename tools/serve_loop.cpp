#include "tools/serve_loop.h"

#include <csignal>
#include <iostream>

namespace korvane::tools {

int ServeUntilSignalled(asio::io_context& io, link::ServedProgram& program, const char* tool_name) {
  try {
    program.Start();
  } catch (const std::exception& e) {
    std::cerr << tool_name << ": " << e.what() << "\n";
    return 1;
  }
  asio::signal_set stop_signals(io, SIGINT, SIGTERM);
  stop_signals.async_wait([&](const asio::error_code&, int) {
    program.Stop();
    io.stop();
  });
  io.run();
  return 0;
}

}  // namespace korvane::tools
