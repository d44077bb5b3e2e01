#include "app/startup.h"

#include <cmath>

#include "app/config.h"
#include "core/primitives.h"
#include "core/sessions.h"
#include "platform/clock.h"
#include "ui/form_design.h"

namespace korvane {
namespace {

void NormaliseBox(TextBox& box) {
  box.SetText(std::to_string(static_cast<long long>(Val(box.Text()))));
}

void MoveLogAside(Gateway& g) {
  g.LogPath = "C:\\temp\\log\\korvane.log";
  if (!g.files.Exists(g.LogPath)) return;
  std::string backup = BackupName(g, g.LogPath);
  if (g.files.Copy(g.LogPath, backup)) g.files.Remove(g.LogPath);
}

void WireEvents(Gateway& g) {
  g.txtport.OnChange = [&g] { txtport_Change(g); };
  g.ExportDirectory.OnChange = [&g] { g.NetExportDir = g.ExportDirectory.Text(); };
  g.Timer1.OnTick = [&g] { Timer1_Timer(g); };
}

}  // namespace

void txtport_Change(Gateway& g) {
  g.mnuListen.SetCaption("&Listen on Port " + g.txtport.Text());
  g.mnuClose.SetCaption("&Close Port " + g.txtport.Text());
}

void Form_Load(Gateway& g) {
  DesignForm1(g);  // the controls stand where the window was designed
  WireEvents(g);
  g.Caption = kVersionCaption;
  g.AppTitle = kVersionCaption;

  g.IniPath = g.AppPath + "\\korvane.ini";
  LoadDriveMappings(g);
  g.files.MakeDirs("C:\\temp");
  g.files.MakeDir("C:\\temp\\log", 0750);  // the log's folder: owner and group only
  g.RecentFile = "C:\\temp\\recent.htm";
  g.RecentClientFile = "C:\\temp\\ddeclient.txt";
  g.BeepOn = kTrue;

  MoveLogAside(g);
  g.CRLF = "\r\n";

  g.FTPExportDir = "c:\\export";
  g.FTPImportDir = "c:\\import";
  g.NetExportDir = "c:\\export";
  g.LocalExportDir = "c:\\export";
  g.files.MakeDirs("c:\\export");
  g.files.MakeDirs("c:\\import");

  ConfigAccess(g, 0);
  g.ExeTopicList = {"", ""};

  NormaliseBox(g.txtport);
  NormaliseBox(g.maxusers);
  g.SlotLimit = static_cast<int>(Val(g.maxusers.Text())) + 1;

  CreateSlotLabels(g);

  g.mnuListen.SetCaption("&Listen on Port " + g.txtport.Text());
  g.mnuListen.SetVisible(true);
  g.mnuClose.SetVisible(false);
  g.mnuDisableTimer.SetEnabled(false);

  g.CommandSock(0).LocalPort = static_cast<int>(Val(g.txtport.Text()));
  g.lblPeerAddress.SetCaption(g.CommandSock(0).LocalAddress());
  g.DataSock(0).LocalPort = 0;

  g.DirListOf(0).Clear();
  g.TopSlot = 0;

  std::string command = g.opts.command_line;
  std::string autostart = ConfigLookup(g, "Variables|Autostart");
  if (command.empty() && RoundHalfEven(Val(autostart)) != 0) command = "LISTEN " + g.txtport.Text();

  size_t at = command.find("LISTEN");
  if (at == std::string::npos) {
    g.windowState = WindowState::Maximized;
    return;
  }
  long long port = RoundHalfEven(Val(command.substr(at + 6)));
  if (port == 0) port = RoundHalfEven(Val(g.txtport.Text()));
  g.txtport.SetText(std::to_string(port));
  mnuListen_Click(g);
  g.windowState = WindowState::Minimized;
}

void mnuExit_Click(Gateway& g) {
  g.ConfigQuery = "UNLOAD";
  Form_Unload(g);
}

bool Form_Unload(Gateway& g) {
  if (g.ConfigQuery != "UNLOAD") {
    g.windowState = WindowState::Minimized;
    return false;
  }
  for (int k = 0; k <= g.TopSlot; ++k) {
    if (static_cast<size_t>(k) < g.commandsock.size()) g.commandsock[k]->Close();
    if (static_cast<size_t>(k) < g.datasock.size()) g.datasock[k]->Close();
  }
  for (int k = 0; k <= g.SlotLimit; ++k) {
    if (SessionRecord* r = g.Record(k); r && !r->tempfile.empty()) g.files.RemoveMade(r->tempfile);
  }
  // A moment for the closing sockets to flush, then the process ends.
  auto done = std::make_shared<asio::steady_timer>(g.io, std::chrono::milliseconds(300));
  done->async_wait([&g, done](std::error_code) { g.io.stop(); });
  return true;
}

}  // namespace korvane
