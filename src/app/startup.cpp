#include "app/startup.h"

#include <cmath>
#include <cstdlib>

#include "core/config.h"
#include "core/primitives.h"
#include "core/sessions.h"
#include "platform/clock.h"
#include "ui/form_design.h"
#include "ui/form_unload.h"

namespace korvane {
namespace {

void NormaliseBox(TextBox& box) {
  box.SetText(std::to_string(static_cast<long long>(Val(box.Text()))));
}

void MoveLogAside(Files& files, const std::string& log_path) {
  if (!files.Exists(log_path)) return;
  std::string backup = BackupName(files, log_path);
  if (files.Copy(log_path, backup)) files.Remove(log_path);
}

// Programs the gateway starts inherit its environment: they learn its home
// folder, and the folder for their answer files, inside the drives where
// the gateway may send them from (docs/link-protocol.md).
void ExportForServedPrograms(const Files& files) {
  ::setenv("KORVANE_HOME", files.home().c_str(), 1);
  ::setenv("KORVANE_ANSWERS_DIR", files.Host("C:\\temp\\answers").c_str(), 1);
}

void WireEvents(Gateway& g) {
  g.txtport.OnChange = [&g] { txtport_Change(g); };
  g.ExportDirectory.OnChange = [&g] { g.NetExportDir = g.ExportDirectory.Text(); };
  g.Timer1.OnTick = [&g] { Timer1_Timer(g); };
}

}  // namespace

void Form_Load(Gateway& g) {
  DesignForm1(g);  // the controls stand where the window was designed
  WireEvents(g);
  g.Caption = kVersionCaption;
  g.AppTitle = kVersionCaption;

  g.IniPath = g.AppPath + "\\korvane.ini";
  LoadDriveMappings(g);
  ExportForServedPrograms(g.files);
  g.files.MakeDirs("C:\\temp");
  g.files.MakeDir("C:\\temp\\log", 0750);  // the log's folder: owner and group only
  g.RecentFile = "C:\\temp\\recent.htm";
  g.RecentClientFile = "C:\\temp\\ddeclient.txt";
  g.BeepOn = kTrue;

  g.LogPath = "C:\\temp\\log\\korvane.log";
  MoveLogAside(g.files, g.LogPath);
  g.CRLF = "\r\n";

  g.FTPExportDir = "c:\\export";
  g.FTPImportDir = "c:\\import";
  g.NetExportDir = "c:\\export";
  g.LocalExportDir = "c:\\export";
  g.files.MakeDirs("c:\\export");
  g.files.MakeDirs("c:\\import");

  ConfigAccess(g, ConfigMode::kLoad);
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


}  // namespace korvane
