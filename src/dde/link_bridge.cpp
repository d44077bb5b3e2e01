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
  if (!g.linkBridge) g.linkBridge = std::make_unique<LinkBridge>(g.io, *g.lnkDDE[0]);
  return *g.linkBridge;
}

void SetAwaiting(Gateway& g, int k, uint64_t gen) {
  if (k < 0) return;
  std::vector<uint64_t>& awaiting = Bridge(g).awaiting;
  if (awaiting.size() <= static_cast<size_t>(k)) awaiting.resize(k + 1, 0);
  awaiting[k] = gen;
}

bool IsAwaiting(Gateway& g, int k, uint64_t gen) {
  const std::vector<uint64_t>& awaiting = Bridge(g).awaiting;
  return gen != 0 && k >= 0 && static_cast<size_t>(k) < awaiting.size() && awaiting[k] == gen;
}

void WireLinkControl(Gateway& g, int k) {
  if (k < 1 || static_cast<size_t>(k) >= g.lnkDDE.size() || !g.lnkDDE[k]) return;
  g.lnkDDE[k]->OnNotify = [&g, k] { Spawn(g, lnkDDE_LinkNotify(g, k)); };
  g.lnkDDE[k]->OnLost = [&g, k] { Spawn(g, LinkLost(g, k)); };
}

}  // namespace korvane
