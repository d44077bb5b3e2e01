#include "ui/operator_commands.h"

#include <functional>

#include "core/config.h"
#include "core/metrics.h"
#include "core/primitives.h"
#include "core/sessions.h"
#include "platform/clock.h"
#include "platform/instance.h"
#include "ui/file_viewers.h"
#include "ui/form_layout.h"
#include "ui/form_unload.h"
#include "ui/menu_switches.h"
#include "ui/menu_tree.h"
#include "ui/port_control.h"
#include "ui/slot_status.h"
#include "ui/window_model.h"
#include "web/program_run.h"

namespace korvane {
namespace {

using Answer = asio::awaitable<std::string>;

std::string OnOff(bool on) { return on ? "on" : "off"; }

// Answers that say the command was not carried out: refused or failed, or
// not a command at all. The mark is taken off before anyone reads them.
std::string Refused(const std::string& text) { return kAnswerRefused + text; }
std::string Misused(const std::string& text) { return kAnswerUsage + text; }

std::string Unmarked(std::string answer) {
  if (!answer.empty() && (answer[0] == kAnswerRefused || answer[0] == kAnswerUsage)) answer.erase(0, 1);
  return answer;
}

// Every menu command, by the verb `korvane ctl` knows it by. The window
// posts "click <menu name>", which runs the same entry.
struct MenuCommand {
  const char* verb;
  const char* menu;
  std::function<Answer(Gateway&, std::string)> run;
};

const std::vector<MenuCommand>& MenuCommands() {
  static const std::vector<MenuCommand> commands = {
      {"listen", "mnuListen", [](Gateway& g, std::string) -> Answer {
         mnuListen_Click(g);
         if (!g.CommandSock(0).Listening()) co_return Refused("cannot listen on port " + g.txtport.Text());
         co_return "Listening on Port " + g.txtport.Text();
       }},
      {"close", "mnuClose", [](Gateway& g, std::string) -> Answer {
         co_await mnuClose_Click(g);
         co_return "Port " + g.txtport.Text() + " closed";
       }},
      {"reinit", "mnuReinit", [](Gateway& g, std::string) -> Answer {
         co_await mnuReinit_Click(g);
         if (!g.CommandSock(0).Listening()) co_return Refused("cannot listen on port " + g.txtport.Text());
         co_return "Listening on Port " + g.txtport.Text();
       }},
      {"recentclient", "mnuRecentClient", [](Gateway& g, std::string) -> Answer {
         mnuRecentClient_Click(g);
         co_return "ok";
       }},
      {"editrecent", "mnuRecent", [](Gateway& g, std::string) -> Answer {
         mnuRecent_Click(g);
         co_return "ok";
       }},
      {"viewrecent", "mnuViewRecent", [](Gateway& g, std::string) -> Answer {
         mnuViewRecent_Click(g);
         co_return "ok";
       }},
      {"exit", "mnuExit", [](Gateway& g, std::string) -> Answer {
         mnuExit_Click(g);
         co_return "exiting";
       }},
      {"timer", "mnuDisableTimer", [](Gateway& g, std::string) -> Answer {
         mnuDisableTimer_Click(g);
         co_return "expiry timer " + OnOff(g.Timer1.Tag == "ON");
       }},
      {"beep", "mnuDisableBeep", [](Gateway& g, std::string) -> Answer {
         mnuDisableBeep_Click(g);
         co_return "beep " + OnOff(g.BeepOn != 0);
       }},
      {"peer", "mnuDisablePeer", [](Gateway& g, std::string) -> Answer {
         mnuDisablePeer_Click(g);
         co_return "peer name lookup " + OnOff(g.PeerLookupOn != 0);
       }},
      {"editlog", "mnuEditLog", [](Gateway& g, std::string) -> Answer {
         mnuEditLog_Click(g);
         co_return "ok";
       }},
      {"save", "mnuSaveConfig", [](Gateway& g, std::string) -> Answer {
         mnuSaveConfig_Click(g);
         co_return "configuration saved";
       }},
      {"shellwait", "mnuShellWait", [](Gateway& g, std::string rest) -> Answer {
         // The words after the verb answer the menu's prompt.
         if (Trim(rest).empty()) co_return Misused(co_await mnuShellWait_Click(g, rest));
         std::string answer = co_await mnuShellWait_Click(g, rest);
         co_return answer.rfind("cannot start ", 0) == 0 ? Refused(answer) : answer;
       }},
  };
  return commands;
}

std::string Plain(const std::string& caption) {
  std::string out;
  for (char c : caption)
    if (c != '&') out += c;
  return out;
}

// A window offers only what its menus show: a hidden or disabled item (or
// one under a disabled menu) cannot be clicked, here neither.
std::string Unavailable(Gateway& g, const MenuCommand& c) {
  MenuItem& item = *FindMenu(g, c.menu);
  if (item.Visible() && item.Enabled()) return "";
  std::string verb = c.verb;
  if (verb == "listen") return Refused("already listening on port " + g.txtport.Text());
  if (verb == "close") return Refused("port " + g.txtport.Text() + " is not open");
  return Refused("not available now: " + Plain(item.Caption()));
}

Answer RunMenu(Gateway& g, const MenuCommand& c, std::string rest) {
  std::string refused = Unavailable(g, c);
  if (!refused.empty()) co_return refused;
  co_return co_await c.run(g, std::move(rest));
}

TextBox* FindBox(Gateway& g, const std::string& name) {
  for (TextBox* box : {&g.txtport, &g.maxusers, &g.txtTime, &g.lnkItem, &g.lnkTopic, &g.ExportDirectory})
    if (box->name() == name) return box;
  return nullptr;
}

// "set NAME TEXT": the text is taken as typed, blanks included, as a box
// keeps it; a locked box cannot be edited.
std::string SetBox(Gateway& g, const std::string& command) {
  size_t name_at = command.find(' ');
  if (name_at == std::string::npos) return Misused("usage: set BOX TEXT");
  std::string rest = command.substr(name_at + 1);
  size_t text_at = rest.find(' ');
  std::string name = rest.substr(0, text_at);
  std::string text = text_at == std::string::npos ? "" : rest.substr(text_at + 1);
  TextBox* box = FindBox(g, name);
  if (!box) return Misused("no such box: " + name);
  if (!box->Enabled()) return Refused(name + " is locked while the port is open");
  box->SetText(text);
  return name + "=" + box->Text();
}

std::string Settings(Gateway& g) {
  std::string out;
  for (TextBox* box : {&g.txtport, &g.maxusers, &g.txtTime, &g.lnkItem, &g.lnkTopic, &g.ExportDirectory})
    out += box->name() + "=" + box->Text() + (box->Enabled() ? "" : " (locked)") + "\n";
  if (g.CommandSock(0).Listening()) out += "bound=" + g.CommandSock(0).ListenEndpoint() + "\n";
  return out;
}

std::string Menus(Gateway& g) {
  std::string out;
  for (const MenuNode& node : MenuTree()) {
    const MenuItem& item = g.*node.item;
    out += std::string(*node.parent ? "  " : "") + node.name + "  " + item.Caption();
    if (!item.Shortcut().empty()) out += "  " + item.Shortcut();
    if (!item.Visible()) out += "  (hidden)";
    if (!item.Enabled()) out += "  (disabled)";
    out += "\n";
  }
  return out;
}

// "window WIDTH HEIGHT STATE": the view reports its size in twips.
std::string Placement(Gateway& g, std::string rest) {
  int width = static_cast<int>(Val(NextToken(rest, " ")));
  int height = static_cast<int>(Val(NextToken(rest, " ")));
  WindowState state;
  if (!ParseWindowState(NextToken(rest, " "), state))
    return Misused("usage: window WIDTH HEIGHT Normal|Minimized|Maximized");
  SetWindowPlacement(g, width, height, state);
  return "ok";
}

std::string Clipboard(Gateway& g, const std::string& command) {
  if (!g.view) return "";
  size_t at = command.find(' ');
  if (at != std::string::npos) g.view->SetClipboard(command.substr(at + 1));
  return g.view->Clipboard();
}

Answer Click(Gateway& g, std::string rest) {
  std::string name = NextToken(rest, " ");
  if (name == "lblUser") {
    lblUser_Click(g, static_cast<int>(Val(rest)));
    co_return "ok";
  }
  for (const MenuCommand& c : MenuCommands())
    if (name == c.menu) co_return co_await RunMenu(g, c, rest);
  co_return Misused("unknown control: " + name);
}

Answer Dispatch(Gateway& g, std::string command) {
  std::string rest = command;
  std::string verb = NextToken(rest, " ");
  for (const MenuCommand& c : MenuCommands())
    if (verb == c.verb) co_return co_await RunMenu(g, c, rest);
  if (verb == "activate") {
    // A second instance asked for this window: bring it to the front.
    g.windowState = WindowState::Normal;
    co_return g.AppTitle;
  }
  if (verb == "status" && Trim(rest) == "--json") co_return MetricsJson(g);
  if (verb == "status") co_return SlotStatusText(g, static_cast<int>(Val(rest)));
  if (verb == "set") co_return SetBox(g, command);
  if (verb == "settings") co_return Settings(g);
  if (verb == "menus") co_return Menus(g);
  if (verb == "clipboard") co_return Clipboard(g, command);
  if (verb == "click") co_return co_await Click(g, rest);
  if (verb == "window") co_return Placement(g, rest);
  if (verb == "unload") {
    // The window's close box: only minimises, unless Exit asked for it.
    Form_Unload(g);
    co_return "ok";
  }
  co_return Misused("unknown command: " + verb);
}

}  // namespace

asio::awaitable<std::string> RunOperatorRequest(Gateway& g, std::string command) {
  std::string answer = co_await Dispatch(g, std::move(command));
  PublishWindow(g);
  co_return answer;
}

asio::awaitable<std::string> RunOperatorCommand(Gateway& g, std::string command) {
  co_return Unmarked(co_await RunOperatorRequest(g, std::move(command)));
}

}  // namespace korvane
