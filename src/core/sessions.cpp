#include "core/sessions.h"

#include <cmath>
#include <cstdio>

#include "core/http_answer.h"
#include "core/open_files.h"
#include "core/primitives.h"
#include "platform/clock.h"
#include "platform/link_control.h"
#include "platform/text.h"

namespace korvane {
namespace {

int MaxUsersValue(Gateway& g) { return static_cast<int>(Val(g.maxusers.Text())); }

// ExpireSeconds: the expiry box read strictly as a number.
bool ExpireSeconds(Gateway& g, double& seconds) { return StrictNumber(g.txtTime.Text(), seconds); }

int ListenPort(Gateway& g) {
  return g.opts.bind_port >= 0 ? g.opts.bind_port : static_cast<int>(Val(g.txtport.Text()));
}

// Sessions of this address other than slot k.
int SessionsFrom(Gateway& g, const std::string& address, int k) {
  int n = 0;
  for (int j = 1; j <= g.TopSlot; ++j)
    if (j != k && g.CommandConnected(j) && g.CommandSock(j).PeerAddress() == address) ++n;
  return n;
}

std::chrono::steady_clock::duration Seconds(double s) {
  if (!(s > 0) || s > 86400 * 7) s = 86400 * 7;
  return std::chrono::milliseconds(static_cast<long long>(s * 1000));
}

// Wakes the slot's FTP guard, which then finds its session gone and ends.
// A guard left waiting would keep its frame until its time-out, up to
// FtpLoginSeconds later: one per connection, some 460 bytes each, which a
// busy FTP port piles up by the tens of megabytes.
void StopFtpGuard(Gateway& g, int k) {
  if (asio::steady_timer* guard = g.FtpActivityOf(k).guard) guard->cancel();
}

// Ends an FTP session that does not log in within FtpLoginSeconds or sends
// no command for FtpIdleSeconds; time spent handling a command (a
// transfer) does not count. Without it a few silent connections would
// hold every slot for good.
asio::awaitable<void> GuardFtpSession(Gateway& g, int k, SessionRef session) {
  using clock = std::chrono::steady_clock;
  asio::steady_timer timer(g.io);
  g.FtpActivityOf(k).guard = &timer;
  auto unregister = [&g, k, &timer] {
    if (g.FtpActivityOf(k).guard == &timer) g.FtpActivityOf(k).guard = nullptr;
  };
  const clock::time_point login_due = clock::now() + Seconds(g.FtpLoginSeconds);
  for (;;) {
    SessionRecord* r = g.Record(k);
    if (!g.Holds(session) || !r) {
      unregister();
      co_return;
    }
    Gateway::FtpActivity& now_a = g.FtpActivityOf(k);
    clock::time_point now = clock::now();
    clock::time_point due = r->n.loggedin == kTrue ? now_a.last + Seconds(g.FtpIdleSeconds) : login_due;
    if (now_a.busy > 0) due = std::max(due, now + Seconds(g.FtpIdleSeconds));
    if (now >= due) break;
    timer.expires_at(due);
    std::error_code ec;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
  unregister();
  SessionRecord* r = g.Record(k);
  LogEvent(g, &g.List1, '#' + Num(k) + (r && r->n.loggedin == kTrue ? " idle" : " not logged in") + " too long");
  co_await SendReply(g, k, "421 Timeout");
  if (g.Holds(session)) co_await EndSession(g, k, "ftp_timeout");
}

}  // namespace

void Spawn(Gateway& g, asio::awaitable<void> work) {
  asio::co_spawn(g.io, std::move(work), asio::detached);
}

void mnuListen_Click(Gateway& g) {
  g.Sessions.assign(static_cast<size_t>(std::max(g.SlotLimit, 0)) + 1, SessionRecord{});
  g.linkSlots = std::max(g.linkSlots, MaxUsersValue(g));

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
  if (g.MaxPerAddress > 0 && SessionsFrom(g, sock.PeerAddress(), k) >= g.MaxPerAddress) {
    LogEvent(g, &g.List1, '#' + Num(k) + " refused: " + sock.PeerAddress() + " holds " + Num(g.MaxPerAddress) +
                              " sessions");
    co_await RejectSession(g, k);
    co_return;
  }
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
  // A slot is free again at the latest when its session expires.
  double seconds = 0;
  if (!ExpireSeconds(g, seconds) || seconds < 1) seconds = 1;
  co_await SendAnswer(g, k, Full(seconds), "421 Maximum number of users engaged. Try later.");
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
  sock.LookupPeerName([&g, k, session = g.Ref(k)](std::string name) {
    if (!g.Holds(session)) return;
    if (g.lblPeerAddress.Caption().rfind(Num(k) + ":", 0) == 0) g.lblPeerName.SetCaption(name);
    if (k < kPeerTableSize) g.PeerNames[k] = name;
  });

  if (SessionRecord* r = g.Record(k)) {
    // A client that left mid-upload frees its slot before its session ends:
    // the unfinished upload file goes now, not with the record's reset.
    if (r->n.filenum > 0 && g.openFiles->IsOpen(r->n.filenum)) {
      g.openFiles->Close(r->n.filenum);
      if (!r->tempfile.empty()) g.files.RemoveMade(r->tempfile);
    }
    r->n = SessionRecord::Block{};
    r->request.clear();
    r->referer.clear();
    r->host.clear();
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
    Gateway::FtpActivity& a = g.FtpActivityOf(k);
    a.last = std::chrono::steady_clock::now();
    a.busy = 0;
    StopFtpGuard(g, k);  // the slot's last session may have ended without EndSession
    Spawn(g, GuardFtpSession(g, k, g.Ref(k)));
    co_await SendReply(g, k, greeting);
  } else {
    if (SessionRecord* r = g.Record(k)) r->n.loggedin = kTrue;
    RenewExpiry(g, k, Renewal::kArm);
  }
}

asio::awaitable<void> EndSession(Gateway& g, int s, std::string reason, AfterEnd after) {
  if (s < 0) co_return;  // no slot: the per-slot controls would grow without end
  LogEvent(g, &g.List1, '#' + Num(s) + " to be detached by " + reason);
  g.UserLabel(s).SetBackColor(kYellow);
  g.NextGeneration(s);
  StopFtpGuard(g, s);
  if (SessionRecord* r = g.Record(s)) {
    g.openFiles->Close(r->n.filenum);
    if (!r->tempfile.empty()) g.files.RemoveMade(r->tempfile);
    r->n = SessionRecord::Block{};
  }
  if (after == AfterEnd::kSweep) co_await checkexpiration(g);
  SocketControl& data = g.DataSock(s);
  if (data.Listening() || data.Connected()) data.Close();
  SocketControl& command = g.CommandSock(s);
  if (command.Connected()) command.Close();
  if (SessionRecord* r = g.Record(s)) r->exitted = Now();
  while (g.TopSlot > 0 && !g.CommandConnected(g.TopSlot)) g.TopSlot -= 1;
  LogEvent(g, &g.List1, '#' + Num(s) + " of " + Num(g.TopSlot) + " detached");
  if (g.TopSlot == 0) g.Timer1.SetEnabled(false);
}

void RenewExpiry(Gateway& g, int s, Renewal how) {
  SessionRecord* r = g.Record(s);
  if (!r) return;
  if (how == Renewal::kIfArmed && r->n.expires == 0) return;
  const int k = how == Renewal::kArm ? -s : s;  // as the log shows it
  double seconds = 0;
  bool have = ExpireSeconds(g, seconds);
  if (have) r->n.expires = Now() + seconds / 86400.0;
  LogEvent(g, &g.List1, '#' + Num(k) + " expires " + GeneralDate(r->n.expires));
  if (have) {
    double ms = std::rint((seconds + 5) * 1000);
    // The window timer took periods up to 65,535 ms; here any period that
    // fits an int is kept, so long expiry times work as configured.
    if (ms > 0 && ms < 2e9) g.Timer1.SetInterval(static_cast<int>(ms));
  }
  g.Timer1.SetEnabled(g.Timer1.Tag == "ON");
}

namespace {

// The first slot from k to last the sweep has something to do for: one
// with no expiry armed that shows an open session, or one expired by now.
// Most slots need nothing; passing over them here, outside the coroutine,
// keeps the sweep that runs after every session cheap.
int NextForSweep(Gateway& g, int k, int last, double now) {
  for (; k <= last; ++k) {
    const SessionRecord* r = g.Record(k);
    if (!r) continue;
    if (r->n.expires <= 0) {
      if (k < static_cast<int>(g.lblUser.size()) && g.lblUser[k]->BackColor() == kRed) return k;
    } else if (r->n.expires < now) {
      return k;
    }
  }
  return last + 1;
}

}  // namespace

asio::awaitable<void> checkexpiration(Gateway& g) {
  double now = Now();
  int last = MaxUsersValue(g);
  // NextForSweep has just found slot k to need one of the two; nothing ran
  // in between that could change which.
  for (int k = NextForSweep(g, 1, last, now); k <= last; k = NextForSweep(g, k + 1, last, now)) {
    if (g.Record(k)->n.expires <= 0) {
      LogEvent(g, &g.List1, "No expiration? " + Num(k));
    } else {
      // The reply may wait; the slot may hold another client afterwards.
      const SessionRef session = g.Ref(k);
      if (g.CommandConnected(k)) co_await SendUnavailable(g, k);
      if (g.Holds(session)) co_await EndSession(g, k, "checkexpiration", AfterEnd::kNoSweep);
    }
  }
}

asio::awaitable<void> SendUnavailable(Gateway& g, int k) {
  double seconds = 0;
  if (!ExpireSeconds(g, seconds)) co_return;
  co_await SendAnswer(g, k, Unavailable(2 * seconds), "Program is unavailable at this time. Please try again in " +
                     NumText(2 * seconds) + " seconds.", Reply::kUnlogged);
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
