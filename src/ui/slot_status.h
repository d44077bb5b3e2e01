// The slot strip's status dump: a click on lblUser(n) shows what slot n's
// session record holds.
#pragma once
#include <string>

#include "core/gateway.h"

namespace korvane {

// The twelve lines of the dump, each ended by CRLF.
std::string SlotStatusText(Gateway& g, int n);

// Shows the dump of slot n in a message box titled "User " & n.
void ShowSlotStatus(Gateway& g, int n);

void lblUser_Click(Gateway& g, int index);

}  // namespace korvane
