// Bringing the gateway up and down.
#pragma once
#include "core/gateway.h"

namespace korvane {

inline constexpr const char* kVersionCaption = "Tarnwick Version 3.0g";

// Window load: everything start-up does after the single-instance check
// (which runs before the gateway exists, see instance.h).
void Form_Load(Gateway& g);

// Exit menu: marks the unload as wanted and runs it.
void mnuExit_Click(Gateway& g);

// Window unload. Returns true when the process is to end; any close request
// other than Exit only minimises the window.
bool Form_Unload(Gateway& g);

// The port box changed: the port menus follow.
void txtport_Change(Gateway& g);

}  // namespace korvane
