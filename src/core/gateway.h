// The gateway's whole state: what the described window holds (its controls,
// per-slot control arrays, module settings and the session table), plus the
// platform services it runs on. One object, used from the one thread that
// runs its io_context; every subsystem's operations take it as `g`.
#pragma once
#include <asio.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/controls.h"
#include "core/hooks.h"
#include "core/log_writer.h"
#include "core/metrics.h"
#include "core/session_record.h"
#include "core/session_ref.h"
#include "core/timer_control.h"
#include "core/view.h"
#include "platform/files.h"
#include "platform/socket_control.h"

namespace korvane {

class LinkControl;
class OpenFiles;

// Where the gateway runs: set from the command line and environment.
struct Options {
  std::string home;          // program folder
  std::string drives;        // drives root
  std::string link_dir;      // link sockets
  std::string bind_address;  // interface to listen on ("" = all)
  int bind_port = -1;        // listen here instead of the port box (-1: use the box)
  std::string command_line;  // the words after the options ("LISTEN 8080")
  bool headless = true;
};

enum class WindowState { Normal, Minimized, Maximized };

constexpr int kPeerTableSize = 21;

struct Gateway {
  Gateway(asio::io_context& io, Options options, View* view, Hooks hooks);
  ~Gateway();

  asio::io_context& io;
  Options opts;
  Files files;
  LogWriter logWriter{files};  // appends to LogPath, off the loop thread while it runs
  View* view;
  Hooks hooks;  // wired by app: see hooks.h
  ChangeFeed feed;

  // The window.
  std::string Caption;
  std::string AppTitle;
  WindowState windowState = WindowState::Normal;
  int Width = 9600, Height = 7200;  // outer size in twips, as the resize rule reads it

  // Settings boxes.
  TextBox txtport{&feed, "txtport"};
  TextBox maxusers{&feed, "maxusers"};
  TextBox txtTime{&feed, "txtTime"};
  TextBox lnkItem{&feed, "lnkItem"};
  TextBox lnkTopic{&feed, "lnkTopic"};
  TextBox ExportDirectory{&feed, "ExportDirectory"};

  // Labels and lists.
  Label lblPeerAddress{&feed, "lblPeerAddress"};
  Label lblPeerName{&feed, "lblPeerName"};
  std::vector<std::unique_ptr<Label>> lblUser;  // 0 .. MaxUsers
  ListBox List1{&feed, "List1"};
  ListBox List2{&feed, "List2"};
  std::vector<std::unique_ptr<ListBox>> DirList;

  // Menus, in menu-bar order (src/ui/menu_tree.cpp gives the tree).
  MenuItem mnuFile{&feed, "mnuFile", "&File"};
  MenuItem mnuListen{&feed, "mnuListen", "&Listen on Port 21", "Ctrl+L"};
  MenuItem mnuClose{&feed, "mnuClose", "&Close Port 21", "Ctrl+C"};
  MenuItem mnuReinit{&feed, "mnuReinit", "&Reinitialize", "Ctrl+R"};
  MenuItem mnuRecentClient{&feed, "mnuRecentClient", "View Most Recent Client &Protocol"};
  MenuItem mnuRecent{&feed, "mnuRecent", "&Edit Most Recently Sent", "Ctrl+E"};
  MenuItem mnuViewRecent{&feed, "mnuViewRecent", "&View Most Recently Sent", "Ctrl+V"};
  MenuItem mnuExit{&feed, "mnuExit", "E&xit"};
  MenuItem mnuOptions{&feed, "mnuOptions", "&Options"};
  MenuItem mnuDisableTimer{&feed, "mnuDisableTimer", "Disable &Timer"};
  MenuItem mnuDisableBeep{&feed, "mnuDisableBeep", "Disable &Beep"};
  MenuItem mnuDisablePeer{&feed, "mnuDisablePeer", "Enable &Peer Name"};
  MenuItem mnuEditLog{&feed, "mnuEditLog", "Edit &Log File"};
  MenuItem mnuSaveConfig{&feed, "mnuSaveConfig", "&Save Configuration"};
  MenuItem mnuTest{&feed, "mnuTest", "&test"};
  MenuItem mnuShellWait{&feed, "mnuShellWait", "&ShellWait"};

  TimerControl Timer1;

  // Per-slot sockets and links; created on first use, never removed. A slot
  // whose link was never needed holds a null entry (see SlotLink).
  std::vector<std::unique_ptr<SocketControl>> commandsock;
  std::vector<std::unique_ptr<SocketControl>> datasock;
  std::vector<std::unique_ptr<LinkControl>> lnkDDE;
  int linkSlots = 1;  // the highest slot that may have a link: MaxUsers at the last listen
  std::unique_ptr<LinkControl> lnkFILE;
  std::unique_ptr<GatewayPart> linkBridge;  // the link layer's state beside the links

  // The program folder as a path text: "." is the home folder.
  std::string AppPath = ".";

  // Module settings.
  std::string IniPath;
  std::string LogPath;
  std::string RecentFile;
  std::string RecentClientFile;
  std::string FTPExportDir;
  std::string FTPImportDir;
  std::string NetExportDir;
  std::string LocalExportDir;
  std::string ConfigQuery;
  std::string CRLF = "\r\n";
  int32_t MaxFileLength = 1500000;
  // Limits that keep one client from holding the gateway: an FTP session
  // ends after FtpLoginSeconds without a login and after FtpIdleSeconds
  // without a command; MaxPerAddress (0: no limit) caps the sessions of
  // one address.
  double FtpLoginSeconds = 60;
  double FtpIdleSeconds = 300;
  int MaxPerAddress = 0;
  int16_t BeepOn = kTrue;
  int16_t PeerLookupOn = 0;
  // [Variables] LogSecrets=1: credentials in logged lines stay readable.
  bool LogSecrets = false;
  // [Variables] ModernClients=1: answers and FTP replies that today's
  // browsers, curl and FTP clients read; 0 keeps every byte as it was.
  bool ModernClients = false;
  // [Variables] MetricsPath: where the metrics page answers ("": nowhere);
  // MetricsFrom: addresses besides loopback that may read it.
  std::string MetricsPath;
  std::string MetricsFrom;
  Metrics metrics;
  // [FtpUsers] name = crypt(3) hash, in file order: when there is one, an
  // FTP login needs a listed name and its password; none keeps the open
  // login (any name, any password).
  std::vector<std::pair<std::string, std::string>> FtpUsers;
  int SlotLimit = 11;
  std::array<std::string, 2> ExeTopicList;
  int TopSlot = 0;
  std::chrono::steady_clock::time_point lastEventPass;  // see YieldOnce
  int32_t AcceptCount = 0;

  std::vector<SessionRecord> Sessions;
  std::array<std::string, kPeerTableSize> PeerNames;
  std::array<std::string, kPeerTableSize> PeerAddresses;

  // Per slot: when the FTP session's last command came, whether one is
  // being handled (a transfer is no idle time), and its guard's timer.
  struct FtpActivity {
    std::chrono::steady_clock::time_point last;
    int busy = 0;
    asio::steady_timer* guard = nullptr;
  };
  std::vector<FtpActivity> ftpActivity;
  FtpActivity& FtpActivityOf(int k);

  // Open upload files by number (a record's filenum).
  std::unique_ptr<OpenFiles> openFiles;

  // A coroutine that waited checks, on resuming, that its slot still holds
  // the same session: Generation(k) changes at every open and every end.
  uint64_t Generation(int k) const;
  void NextGeneration(int k);
  // The session slot k holds now, and whether slot |ref.slot| still holds it.
  SessionRef Ref(int k) const { return {k, Generation(k)}; }
  bool Holds(SessionRef ref) const { return Generation(ref.slot) == ref.generation; }

  // Helpers over the control arrays.
  bool FtpMode() const { return txtport.Text() == "21"; }
  // nullptr outside the table. Inline: the expiry sweep asks for every slot
  // after every session.
  SessionRecord* Record(int k) {
    return k < 0 || static_cast<size_t>(k) >= Sessions.size() ? nullptr : &Sessions[static_cast<size_t>(k)];
  }
  SocketControl& CommandSock(int k);  // creates a copy of the slot-0 template if missing
  SocketControl& DataSock(int k);
  ListBox& DirListOf(int k);
  Label& UserLabel(int k);
  bool CommandConnected(int k) const;
  // The link of slot k (0: the execute link, 1 and up: each session's notify
  // link), made and wired on first use; nullptr beyond linkSlots. Made late
  // because an idle gateway with hundreds of slots would otherwise hold a
  // link per slot, about half a kilobyte each, that most sessions never use.
  LinkControl* SlotLink(int k);

 private:
  std::vector<uint64_t> generations_;
  uint64_t generation_counter_ = 0;
};

}  // namespace korvane
