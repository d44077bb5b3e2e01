#include "ui/menu_switches.h"

#include "ui/file_viewers.h"

namespace korvane {
namespace {

// Flags are 16-bit with true = -1; inverting one flips every bit.
int16_t Invert(int16_t flag) { return static_cast<int16_t>(~flag); }

}  // namespace

void mnuDisableBeep_Click(Gateway& g) {
  g.mnuDisableBeep.SetCaption(g.BeepOn ? "Enable &Beep" : "Disable &Beep");
  g.BeepOn = Invert(g.BeepOn);
}

void mnuDisablePeer_Click(Gateway& g) {
  g.mnuDisablePeer.SetCaption(g.PeerLookupOn ? "Enable &Peer" : "Disable &Peer");
  g.PeerLookupOn = Invert(g.PeerLookupOn);
  // The address label reads "k:address"; the lookup wants the address
  // (from the third character on, as the label was always read).
  const std::string& caption = g.lblPeerAddress.Caption();
  if (g.view) g.view->SetClipboard(caption.size() > 2 ? caption.substr(2) : std::string());
  if (g.PeerLookupOn) RunFixedCommand(g, "gethost clip");
}

}  // namespace korvane
