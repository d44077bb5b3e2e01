// The window's menu tree: which item stands under which menu, in order.
#pragma once
#include <string>
#include <vector>

#include "core/gateway.h"

namespace korvane {

struct MenuNode {
  const char* name;
  const char* parent;  // "" for an entry of the menu bar itself
  MenuItem Gateway::*item;
};

// Menu-bar order: File (Listen .. Exit), Options (Disable Timer .. Edit
// Log File), Save Configuration on the bar itself, test (ShellWait).
const std::vector<MenuNode>& MenuTree();

// The item of that name, or nullptr.
MenuItem* FindMenu(Gateway& g, const std::string& name);

}  // namespace korvane
