#include "ui/window_model.h"

#include "ui/menu_tree.h"

namespace korvane {
namespace {

std::string Flag(bool b) { return b ? "1" : "0"; }

std::string Place(const PlacedControl& c) {
  return std::to_string(c.Left) + "," + std::to_string(c.Top) + "," + std::to_string(c.Width) + "," +
         std::to_string(c.Height);
}

void AddBox(std::vector<Change>& out, const TextBox& box) {
  out.push_back({box.name(), -1, "Text", box.Text()});
  out.push_back({box.name(), -1, "Enabled", Flag(box.Enabled())});
}

void AddLabel(std::vector<Change>& out, const Label& label) {
  out.push_back({label.name(), label.index(), "Move", Place(label)});
  out.push_back({label.name(), label.index(), "Caption", label.Caption()});
  out.push_back({label.name(), label.index(), "BackColor", std::to_string(label.BackColor())});
  out.push_back({label.name(), label.index(), "Visible", Flag(label.Visible())});
}

void AddList(std::vector<Change>& out, const ListBox& list) {
  out.push_back({list.name(), -1, "Move", Place(list)});
  out.push_back({list.name(), -1, "Clear", ""});
  for (const std::string& line : list.Lines()) out.push_back({list.name(), -1, "AddItem", line});
  out.push_back({list.name(), -1, "TopIndex", std::to_string(list.TopIndex())});
}

void AddMenus(std::vector<Change>& out, Gateway& g) {
  for (const MenuNode& node : MenuTree()) {
    const MenuItem& item = g.*node.item;
    out.push_back({item.name(), -1, "Shortcut", item.Shortcut()});
    out.push_back({item.name(), -1, "Caption", item.Caption()});
    out.push_back({item.name(), -1, "Visible", Flag(item.Visible())});
    out.push_back({item.name(), -1, "Enabled", Flag(item.Enabled())});
  }
}

}  // namespace

const char* WindowStateText(WindowState state) {
  switch (state) {
    case WindowState::Minimized: return "Minimized";
    case WindowState::Maximized: return "Maximized";
    default: return "Normal";
  }
}

bool ParseWindowState(const std::string& text, WindowState& state) {
  for (WindowState s : {WindowState::Normal, WindowState::Minimized, WindowState::Maximized}) {
    if (text == WindowStateText(s)) {
      state = s;
      return true;
    }
  }
  return false;
}

void PublishWindow(Gateway& g) {
  g.feed.Publish({"Form1", -1, "Caption", g.Caption});
  g.feed.Publish({"Form1", -1, "WindowState", WindowStateText(g.windowState)});
}

std::vector<Change> Snapshot(Gateway& g) {
  std::vector<Change> out;
  for (const TextBox* box : {&g.txtport, &g.maxusers, &g.txtTime, &g.lnkItem, &g.lnkTopic, &g.ExportDirectory})
    AddBox(out, *box);
  AddLabel(out, g.lblPeerAddress);
  AddLabel(out, g.lblPeerName);
  for (const auto& label : g.lblUser) AddLabel(out, *label);
  AddList(out, g.List1);
  AddList(out, g.List2);
  AddMenus(out, g);
  out.push_back({"Form1", -1, "Caption", g.Caption});
  out.push_back({"Form1", -1, "WindowState", WindowStateText(g.windowState)});
  return out;
}

}  // namespace korvane
