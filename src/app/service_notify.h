// Tells systemd how the service is doing (a unit of Type=notify): ready
// once it listens, a status line with the number of sessions, stopping when
// it ends. Without a service manager (no NOTIFY_SOCKET) nothing is sent.
#pragma once
#include <asio.hpp>

#include <memory>
#include <string>

#include "core/gateway.h"

namespace korvane {

bool ServiceNotify(const std::string& state);

// Sends READY=1 and a first STATUS, then a new STATUS whenever the number
// of open sessions has changed, looking every second. Stops with g.io.
void StartServiceStatus(Gateway& g);

// Number of slots whose client is connected.
int OpenSessions(Gateway& g);

}  // namespace korvane
