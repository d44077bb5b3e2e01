// Operator commands that reach the gateway without a window: menu commands
// posted through the running instance's local socket. Each returns the
// text to show the operator.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

asio::awaitable<std::string> RunOperatorCommand(Gateway& g, std::string command);

// The same for `korvane ctl`: an answer for a command that was refused,
// failed or malformed starts with kAnswerRefused or kAnswerUsage.
asio::awaitable<std::string> RunOperatorRequest(Gateway& g, std::string command);

}  // namespace korvane
