// The FTP command interpreter: one command line (without its terminator).
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

asio::awaitable<void> process_FTP_request(Gateway& g, int index, std::string line);

}  // namespace korvane
