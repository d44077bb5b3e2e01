// Closing the port and reinitializing: the File menu's Close Port and
// Reinitialize.
#pragma once
#include <asio.hpp>

#include "core/gateway.h"

namespace korvane {

// Closes the listening socket and every session, and every link of the
// slots 0 .. MaxUsers; leaves the expiry switch off and the settings
// editable.
asio::awaitable<void> mnuClose_Click(Gateway& g);

// Closes the port when it is open, normalises the port and user boxes,
// recreates the slot labels, listens again and clears the request list.
asio::awaitable<void> mnuReinit_Click(Gateway& g);

}  // namespace korvane
