// The FTP data socket's events (accepted, connected, data, writable, closed).
#pragma once
#include "core/gateway.h"

namespace korvane {

// Connects datasock(k)'s events to the data-transfer handlers.
void WireDataSocket(Gateway& g, int k);

}  // namespace korvane
