#include "core/sessions.h"

#include <cmath>
#include <cstdio>

#include "core/open_files.h"
#include "core/primitives.h"
#include "dde/link_bridge.h"
#include "platform/clock.h"
#include "platform/link_control.h"

namespace korvane {
namespace {

std::string Num(long long v) { return std::to_string(v); }

int MaxUsersValue(Gateway& g) { return static_cast<int>(Val(g.maxusers.Text())); }

// ExpireSeconds: the expiry box read strictly as a number.
bool ExpireSeconds(Gateway& g, double& seconds) { return StrictNumber(g.txtTime.Text(), seconds); }

int ListenPort(Gateway& g) {
  return g.opts.bind_port >= 0 ? g.opts.bind_port : static_cast<int>(Val(g.txtport.Text()));
}

}  // namespace

void Spawn(Gateway& g, asio::awaitable<void> work) {
  asio::co_spawn(g.io, std::move(work), asio::detached);
}

void mnuListen_Click(Gateway& g) {
  g.Sessions.assign(static_cast<size_t>(std::max(g.SlotLimit, 0)) + 1, SessionRecord{});
  for (int k = static_cast<int>(g.lnkDDE.size()); k <= MaxUsersValue(g); ++k) {
    g.lnkDDE.push_back(std::make_unique<LinkControl>(g.io, g.opts.link_dir));
    WireLinkControl(g, k);
  }

  SocketControl& listener = g.CommandSock(0);
  listener.LocalPort = static_cast<int>(Val(g.txtport.Text()));
  listener.OnIncoming = [&g](asio::ip::tcp::socket s, std::string peer) {
    Spawn(g, IncomingConnection(g, std::move(s), std::move(peer)));
  };
  std::error_code ec = listener.Listen(g.opts.bind_address, ListenPort(g));
  if (ec) {
    // A listen that fails must not pass silently.
    std::string text = "listen error: port " + Num(ListenPort(g)) + " " + Num(ec.value()) + " " + ec.message();
    LogEvent(g, &g.List1, text);
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
  }

  g.txtport.SetEnabled(false);
  g.maxusers.SetEnabled(false);
  g.lnkItem.SetEnabled(false);
  g.ExportDirectory.SetEnabled(false);
  g.mnuListen.SetVisible(false);
  g.mnuClose.SetCaption("&Close Port " + g.txtport.Text());
  g.mnuClose.SetVisible(true);

  g.Timer1.SetEnabled(g.FtpMode());
  mnuDisableTimer_Click(g);
  g.mnuDisableTimer.SetEnabled(g.Timer1.Enabled());
  LogEvent(g, &g.List1, "Listening on Port " + g.txtport.Text());
  // Where the listener really is: --bind may choose the interface and port.
  if (listener.Listening()) LogEvent(g, &g.List1, "bound to " + listener.ListenEndpoint());
}

asio::awaitable<void> IncomingConnection(Gateway& g, asio::ip::tcp::socket socket,
                                         std::string peer_address) {
  g.AcceptCount += 1;
  LogEvent(g, nullptr, "Accept " + Num(g.AcceptCount) + " " + Num(socket.native_handle()));
  int k = FindFreeSlot(g);
  if (g.BeepOn && g.view) g.view->Beep();
  SocketControl& sock = g.CommandSock(k);
  sock.Accept(std::move(socket), std::move(peer_address));
  if (k >= g.SlotLimit) {
    LogEvent(g, &g.List1, "can't accept " + Num(k));
    co_await RejectSession(g, k);
    co_return;
  }
  LogEvent(g, &g.List1, "accept " + Num(k) + " " + sock.PeerAddress());
  co_await OpenSession(g, k);
}

int FindFreeSlot(Gateway& g) {
  for (int k = 1; k <= g.TopSlot; ++k)
    if (!g.CommandConnected(k)) return k;
  g.TopSlot += 1;
  int k = g.TopSlot;
  g.CommandSock(k);
  g.DataSock(k);
  g.DirListOf(k);
  LogEvent(g, &g.List1, '#' + Num(g.TopSlot) + " socket loaded");
  return k;
}

asio::awaitable<void> RejectSession(Gateway& g, int k) {
  co_await SendReply(g, k, "421 Maximum number of users engaged. Try later.");
  co_await EndSession(g, k, "cancel_session");
}

asio::awaitable<void> OpenSession(Gateway& g, int k) {
  g.NextGeneration(k);
  Label& label = g.UserLabel(k);
  label.SetCaption(Num(static_cast<long long>(Val(label.Caption())) + 1));
  label.SetBackColor(kRed);

  SocketControl& sock = g.CommandSock(k);
  std::string address = sock.PeerAddress();
  g.lblPeerAddress.SetCaption(Num(k) + ":" + address);
  g.lblPeerName.SetCaption(address);
  if (k < kPeerTableSize) {
    g.PeerNames[k] = g.lblPeerName.Caption();
    g.PeerAddresses[k] = g.lblPeerAddress.Caption();
  }
  // The peer's name arrives a moment later; it is filled in only while the
  // same session holds the slot.
  sock.LookupPeerName([&g, k, gen = g.Generation(k)](std::string name) {
    if (g.Generation(k) != gen) return;
    if (g.lblPeerAddress.Caption().rfind(Num(k) + ":", 0) == 0) g.lblPeerName.SetCaption(name);
    if (k < kPeerTableSize) g.PeerNames[k] = name;
  });

  if (SessionRecord* r = g.Record(k)) {
    r->n = SessionRecord::Block{};
    r->request.clear();
    r->referer.clear();
    r->password.clear();
    r->username.clear();
    r->ftpdir.clear();
    r->peeraddress = address;
    r->success = 0;
    r->entered = Now();
    r->exitted = r->entered;
  }

  if (g.FtpMode()) {
    std::string greeting = "220 " + sock.LocalName() + " " + sock.LocalAddress() + ":" +
                           Num(sock.LocalPortNow()) + " #" + Num(k) + " (Marlbeck mimic)";
    co_await SendReply(g, k, greeting);
  } else {
    if (SessionRecord* r = g.Record(k)) r->n.loggedin = kTrue;
    RenewExpiry(g, -k);
  }
}

asio::awaitable<void> EndSession(Gateway& g, int k, std::string reason) {
  int s = k < 0 ? -k : k;
  LogEvent(g, &g.List1, '#' + Num(s) + " to be detached by " + reason);
  g.UserLabel(s).SetBackColor(kYellow);
  g.NextGeneration(s);
  if (SessionRecord* r = g.Record(s)) {
    g.openFiles->Close(r->n.filenum);
    if (!r->tempfile.empty()) g.files.RemoveMade(r->tempfile);
    r->n = SessionRecord::Block{};
  }
  if (k > 0) co_await checkexpiration(g);
  SocketControl& data = g.DataSock(s);
  if (data.Listening() || data.Connected()) data.Close();
  SocketControl& command = g.CommandSock(s);
  if (command.Connected()) command.Close();
  if (SessionRecord* r = g.Record(s)) r->exitted = Now();
  while (g.TopSlot > 0 && !g.CommandConnected(g.TopSlot)) g.TopSlot -= 1;
  LogEvent(g, &g.List1, '#' + Num(s) + " of " + Num(g.TopSlot) + " detached");
  if (g.TopSlot == 0) g.Timer1.SetEnabled(false);
}

void RenewExpiry(Gateway& g, int k) {
  int s = k < 0 ? -k : k;
  SessionRecord* r = g.Record(s);
  if (!r) return;
  if (k >= 0 && r->n.expires == 0) return;
  double seconds = 0;
  bool have = ExpireSeconds(g, seconds);
  if (have) r->n.expires = Now() + seconds / 86400.0;
  LogEvent(g, &g.List1, '#' + Num(k) + " expires " + GeneralDate(r->n.expires));
  if (have) {
    double ms = std::nearbyint((seconds + 5) * 1000);
    // The window timer took periods up to 65,535 ms; here any period that
    // fits an int is kept, so long expiry times work as configured.
    if (ms > 0 && ms < 2e9) g.Timer1.SetInterval(static_cast<int>(ms));
  }
  g.Timer1.SetEnabled(g.Timer1.Tag == "ON");
}

asio::awaitable<void> checkexpiration(Gateway& g) {
  double now = Now();
  int last = MaxUsersValue(g);
  for (int k = 1; k <= last; ++k) {
    SessionRecord* r = g.Record(k);
    if (!r) continue;
    if (r->n.expires <= 0) {
      if (k < static_cast<int>(g.lblUser.size()) && g.lblUser[k]->BackColor() == kRed)
        LogEvent(g, &g.List1, "No expiration? " + Num(k));
    } else if (r->n.expires < now) {
      if (g.CommandConnected(k)) co_await SendUnavailable(g, k);
      co_await EndSession(g, -k, "checkexpiration");
    }
  }
}

asio::awaitable<void> SendUnavailable(Gateway& g, int k) {
  double seconds = 0;
  if (!ExpireSeconds(g, seconds)) co_return;
  co_await SendReply(g, -k, "Program is unavailable at this time. Please try again in " +
                                NumText(2 * seconds) + " seconds.");
}

void Timer1_Timer(Gateway& g) {
  if (g.TopSlot == 0) g.Timer1.SetEnabled(false);
  Spawn(g, checkexpiration(g));
}

void mnuDisableTimer_Click(Gateway& g) {
  if (g.Timer1.Enabled()) {
    g.Timer1.SetEnabled(false);
    g.mnuDisableTimer.SetCaption("Enable &Timer");
    g.Timer1.Tag = "";
  } else {
    g.Timer1.SetEnabled(true);
    g.mnuDisableTimer.SetCaption("Disable &Timer");
    g.Timer1.Tag = "ON";
  }
}

// CreateSlotLabels and LayoutSlotLabels belong to the window: src/ui/form_layout.cpp.

void CommandClosed(Gateway& g, int k) {
  LogEvent(g, &g.List1, '#' + Num(k) + " commandsock disconnected");
}

}  // namespace korvane
