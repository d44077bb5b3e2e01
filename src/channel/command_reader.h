// The command socket reader: every line a client sends arrives here and is
// handed to the FTP interpreter or drives the session's HTTP request state.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

// Connects commandsock(k)'s events to the handlers below.
void WireCommandSocket(Gateway& g, int k);

// One line, terminator included.
asio::awaitable<void> ReadCommandLine(Gateway& g, int index, std::string line);

// The command socket's ready-to-write event.
void CommandWritable(Gateway& g, int index);

}  // namespace korvane
