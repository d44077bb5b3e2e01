// The FTP command interpreter: one command line (without its terminator).
#pragma once
#include <asio.hpp>

#include <cstdint>
#include <string>

#include "core/gateway.h"

namespace korvane {

asio::awaitable<void> process_FTP_request(Gateway& g, int index, std::string line);

// The account check at PASS: every user name and password is accepted,
// unless [FtpUsers] lists accounts (then the name and its password).
int16_t CheckFtpLogin(Gateway& g, int index);

}  // namespace korvane
