// The Options menu's switches for the beep and the peer-name lookup.
#pragma once
#include "core/gateway.h"

namespace korvane {

// Flips BeepOn; the caption names what the next click will do.
void mnuDisableBeep_Click(Gateway& g);

// Flips PeerLookupOn, puts the latest peer address on the clipboard, and
// when the lookup is now on, starts the lookup program on it.
void mnuDisablePeer_Click(Gateway& g);

}  // namespace korvane
