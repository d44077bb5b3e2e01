#include "dde/link_bridge.h"

#include <unistd.h>

#include "core/sessions.h"
#include "dde/notify.h"
#include "dde/relay.h"
#include "platform/link_control.h"

namespace korvane {

LinkBridge::~LinkBridge() {
  for (const std::string& path : overflowFiles)
    if (!path.empty()) ::unlink(path.c_str());
}

LinkBridge& Bridge(Gateway& g) {
  if (!g.linkBridge) g.linkBridge = std::make_unique<LinkBridge>(g.io, *g.SlotLink(0));
  return static_cast<LinkBridge&>(*g.linkBridge);
}

void SetAwaiting(Gateway& g, SessionRef session) {
  if (session.slot < 0) return;
  std::vector<uint64_t>& awaiting = Bridge(g).awaiting;
  if (awaiting.size() <= static_cast<size_t>(session.slot)) awaiting.resize(session.slot + 1, 0);
  awaiting[session.slot] = session.generation;
}

bool IsAwaiting(Gateway& g, SessionRef session) {
  const std::vector<uint64_t>& awaiting = Bridge(g).awaiting;
  return session.generation != 0 && session.slot >= 0 &&
         static_cast<size_t>(session.slot) < awaiting.size() && awaiting[session.slot] == session.generation;
}

void StopAwaiting(Gateway& g, int k) { SetAwaiting(g, SessionRef{k, 0}); }

void WireLinkControl(Gateway& g, int k) {
  if (k < 1 || static_cast<size_t>(k) >= g.lnkDDE.size() || !g.lnkDDE[k]) return;
  g.lnkDDE[k]->OnNotify = [&g, k] { Spawn(g, lnkDDE_LinkNotify(g, k)); };
  g.lnkDDE[k]->OnLost = [&g, k] { Spawn(g, LinkLost(g, k)); };
}

}  // namespace korvane
