#include "ui/menu_tree.h"

namespace korvane {

const std::vector<MenuNode>& MenuTree() {
  static const std::vector<MenuNode> tree = {
      {"mnuFile", "", &Gateway::mnuFile},
      {"mnuListen", "mnuFile", &Gateway::mnuListen},
      {"mnuClose", "mnuFile", &Gateway::mnuClose},
      {"mnuReinit", "mnuFile", &Gateway::mnuReinit},
      {"mnuRecentClient", "mnuFile", &Gateway::mnuRecentClient},
      {"mnuRecent", "mnuFile", &Gateway::mnuRecent},
      {"mnuViewRecent", "mnuFile", &Gateway::mnuViewRecent},
      {"mnuExit", "mnuFile", &Gateway::mnuExit},
      {"mnuOptions", "", &Gateway::mnuOptions},
      {"mnuDisableTimer", "mnuOptions", &Gateway::mnuDisableTimer},
      {"mnuDisableBeep", "mnuOptions", &Gateway::mnuDisableBeep},
      {"mnuDisablePeer", "mnuOptions", &Gateway::mnuDisablePeer},
      {"mnuEditLog", "mnuOptions", &Gateway::mnuEditLog},
      {"mnuSaveConfig", "", &Gateway::mnuSaveConfig},
      {"mnuTest", "", &Gateway::mnuTest},
      {"mnuShellWait", "mnuTest", &Gateway::mnuShellWait},
  };
  return tree;
}

MenuItem* FindMenu(Gateway& g, const std::string& name) {
  for (const MenuNode& node : MenuTree())
    if (name == node.name) return &(g.*node.item);
  return nullptr;
}

}  // namespace korvane
