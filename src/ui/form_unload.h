// The window closing (Exit menu, close box) and the port box's change event:
// what the window does on its own, outside start-up.
#pragma once
#include "core/gateway.h"

namespace korvane {

// Exit menu: marks the unload as wanted and runs it.
void mnuExit_Click(Gateway& g);

// Window unload. Returns true when the process is to end; any close request
// other than Exit only minimises the window.
bool Form_Unload(Gateway& g);

// The port box changed: the port menus follow.
void txtport_Change(Gateway& g);

}  // namespace korvane
