// Bringing a data connection up, and the bounded waits of the transfers.
#include <algorithm>
#include <map>
#include <utility>

#include "channel/data_events.h"
#include "channel/ftp_transfers.h"
#include "core/config.h"
#include "core/primitives.h"
#include "platform/clock.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;

// A limit from [Variables] in seconds (fractions allowed), else the default.
std::chrono::milliseconds LimitSetting(Gateway& g, const char* key, double default_seconds) {
  double seconds = Val(ConfigLookup(g, std::string("Variables|") + key));
  if (!(seconds > 0) || seconds > 86400) seconds = default_seconds;
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// The timer of each slot's waiting transfer: the data socket's events end
// the wait at once instead of at the next look.
std::map<std::pair<const Gateway*, int>, asio::steady_timer*> waiting;

struct WaitingTimer {
  WaitingTimer(Gateway& g, int index, asio::steady_timer& t) : key(&g, index) { waiting[key] = &t; }
  ~WaitingTimer() { waiting.erase(key); }
  std::pair<const Gateway*, int> key;
};

}  // namespace

void WakeDataWait(Gateway& g, int index) {
  auto it = waiting.find({&g, index});
  if (it != waiting.end()) it->second->cancel();
}

std::chrono::milliseconds FtpConnectLimit(Gateway& g) { return LimitSetting(g, "FTPConnectLimit", 60); }
std::chrono::milliseconds FtpIdleLimit(Gateway& g) { return LimitSetting(g, "FTPIdleLimit", 120); }

asio::awaitable<WaitEnd> WaitForData(Gateway& g, int index, SessionRef session,
                                     std::function<bool()> done, std::chrono::milliseconds limit,
                                     std::function<int64_t()> progress) {
  // The data socket's events wake this wait (WakeDataWait); a look at a
  // growing period besides keeps it independent of which event ends it.
  asio::steady_timer timer(g.io);
  WaitingTimer registered(g, index, timer);
  auto deadline = std::chrono::steady_clock::now() + limit;
  auto period = 1ms;
  int64_t seen = progress ? progress() : 0;
  for (;;) {
    if (!g.Holds(session)) co_return WaitEnd::kSessionEnded;
    if (done()) co_return WaitEnd::kDone;
    auto now = std::chrono::steady_clock::now();
    if (progress) {
      int64_t at = progress();
      if (at != seen) {
        seen = at;
        deadline = now + limit;
      }
    }
    if (now >= deadline) co_return WaitEnd::kTimedOut;
    timer.expires_after(std::min<std::chrono::steady_clock::duration>(period, deadline - now));
    std::error_code ec;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    period = std::min<std::chrono::milliseconds>(period * 2, 50ms);
  }
}

void LogTimeOut(Gateway& g, int index, const std::string& what, std::chrono::milliseconds limit) {
  LogEvent(g, &g.List1,
           '#' + std::to_string(index) + " " + what + " timed out after " + NumText(limit.count() / 1000.0) + " s");
}

std::string CommandEndpointText(Gateway& g, int index) {
  SocketControl& command = g.CommandSock(index);
  return command.LocalAddress() + "," + std::to_string(command.LocalPortNow());
}

asio::awaitable<bool> OpenDataConnection(Gateway& g, int index, std::string tag) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return false;
  const SessionRef session = g.Ref(index);
  SocketControl& data = g.DataSock(index);
  std::function<bool()> settled;
  if (r->n.passive) {
    // PASV left the socket listening; DataAccepted takes the client's
    // connection on it (perhaps long before this command), which ends the
    // listening.
    settled = [&data] { return !data.Listening(); };
  } else {
    // The local port (pasvport) is left to the system: binding the client's
    // next connection to the port of an earlier PASV listener would collide
    // with it.
    if (data.Listening()) data.Close();
    ForgetDataUp(data);
    data.Connect(r->peeraddress, r->n.dataport);
    settled = [&data] { return DataUp(data) || data.Gone(); };
  }
  std::chrono::milliseconds limit = FtpConnectLimit(g);
  WaitEnd end = co_await WaitForData(g, index, session, settled, limit);
  if (end == WaitEnd::kSessionEnded) co_return false;
  bool up = end == WaitEnd::kDone && DataUp(data);
  ForgetDataUp(data);  // one connection, one transfer
  if (up) co_return true;
  if (end == WaitEnd::kTimedOut)
    LogTimeOut(g, index, tag + " data connection", limit);
  else
    LogEvent(g, &g.List1, '#' + std::to_string(index) + " " + tag + " data connection failed");
  AbortDataConnection(g, index);
  co_return false;
}

void AbortDataConnection(Gateway& g, int index) {
  SocketControl& data = g.DataSock(index);
  data.Abort();
  data.Close();  // after Abort this only stops a listener
}

asio::awaitable<bool> CloseAfterSending(Gateway& g, int index, SessionRef session, const std::string& what) {
  SocketControl& data = g.DataSock(index);
  std::chrono::milliseconds limit = FtpIdleLimit(g);
  WaitEnd end = co_await WaitForData(
      g, index, session, [&data] { return data.Writable() || data.Gone(); }, limit);
  if (end == WaitEnd::kSessionEnded) co_return false;
  if (end == WaitEnd::kTimedOut) {
    LogTimeOut(g, index, what + " send", limit);
    AbortDataConnection(g, index);
    co_return false;
  }
  data.Close();
  co_return true;
}

}  // namespace korvane
