// PORT and PASV: where the next data connection comes from.
#include <cmath>
#include <limits>

#include "channel/data_events.h"
#include "channel/ftp_verbs.h"
#include "core/config.h"
#include "core/config_check.h"
#include "core/primitives.h"
#include "core/sessions.h"
#include "platform/clock.h"

namespace korvane {
namespace {

// Replaces the first `count` occurrences of from by to.
std::string ReplaceFirst(std::string s, char from, char to, int count) {
  for (char& c : s) {
    if (count == 0) break;
    if (c == from) {
      c = to;
      --count;
    }
  }
  return s;
}

// "h1.h2.h3.h4,p1,p2" → the port p1 × 256 + p2, as a number that may be
// far out of range (the caller refuses what is too high).
double PortOf(const std::string& hostport) {
  size_t first = hostport.find(',');
  if (first == std::string::npos) return 0;
  std::string rest = hostport.substr(first + 1);
  size_t second = rest.find(',');
  double high = Val(rest.substr(0, second));
  double low = second == std::string::npos ? 0 : Val(rest.substr(second + 1));
  return high * 256 + low;
}

int32_t ClampToInt32(double v) {
  if (!std::isfinite(v)) return 0;
  v = std::rint(v);
  if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);  // the caller has refused everything above 65535
}

// What PORT takes: below 32768 as the dialect always did; every port
// today's clients pick (their ephemeral ports lie above 32767) under
// ModernClients.
bool PortTooHigh(bool modern, double port) { return modern ? !(port >= 1 && port <= 65535) : !(port < 32768); }

asio::awaitable<void> RefusePortNumber(Gateway& g, int index, bool modern) {
  if (SessionRecord* r = g.Record(index)) r->success = 421;
  if (modern) {
    co_await SendReply(g, index, "501 Port number is out of range");
    co_return;
  }
  co_await SendReply(g, index, "421 Port number is too high");
  co_await EndSession(g, index, "process_FTP_request1");
}

// PassivePorts=low-high, when set and valid.
bool PassiveRange(Gateway& g, int& low, int& high) {
  return PassivePortRange(Trim(ConfigLookup(g, "Variables|PassivePorts")), low, high);
}

// Listens on a free port of low..high. The search starts one port further
// each time, so that a port just given up is not the next one handed out.
std::error_code ListenInRange(SocketControl& data, const std::string& address, int low, int high) {
  static unsigned turn = 0;
  const unsigned count = static_cast<unsigned>(high - low + 1);
  const unsigned start = turn++ % count;
  std::error_code ec = asio::error::address_in_use;
  for (unsigned i = 0; i < count && ec; ++i) ec = data.Listen(address, low + static_cast<int>((start + i) % count));
  return ec;
}

// The address the 227 reply names: PassiveAddress when set (a gateway
// behind NAT), else the one the client reached us on.
std::string AnnouncedAddress(Gateway& g, const std::string& local) {
  std::string announced = Trim(ConfigLookup(g, "Variables|PassiveAddress"));
  return DottedAddress(announced) ? announced : local;
}

}  // namespace

asio::awaitable<void> FtpPort(Gateway& g, int index, const std::string& line) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  std::string hostport = ReplaceFirst(ArgumentFrom(line, 5), ',', '.', 3);
  double port = PortOf(hostport);
  r->n.passive = kFalse;
  // Ports from 32768 up are refused, not wrapped: the client's port field
  // was 16-bit signed where this dialect comes from (see PortTooHigh).
  const bool modern = g.ModernClients;
  if (PortTooHigh(modern, port)) {
    co_await RefusePortNumber(g, index, modern);
    co_return;
  }
  // Data goes only to the client itself: a PORT naming another host would
  // make the gateway connect there and send it a file.
  std::string host = hostport.substr(0, hostport.find(','));
  const std::string client = g.CommandSock(index).PeerAddress();
  if (!SameHost(host, client)) {
    LogEvent(g, &g.List1, '#' + std::to_string(index) + " PORT refused: " + host + " is not the client " + client);
    if (modern)
      co_await SendReply(g, index, "504 PORT refused: data connections go only to " + client);
    else
      co_await NotUnderstood(g, index, line);
    co_return;
  }
  r->n.dataport = ClampToInt32(port);
  r->peeraddress = host;
  r->success = kTrue;
  co_await SendReply(g, index, "200 OK");
}

asio::awaitable<void> FtpPasv(Gateway& g, int index) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  SocketControl& data = g.DataSock(index);
  SocketControl& command = g.CommandSock(index);
  if (data.Connected() || data.Listening()) data.Close();
  // The data listener takes the address the client already reached us on,
  // so the 227 reply names an address that accepts; the port is the
  // system's choice (often 32768 and up, which pasvport holds).
  // PassivePorts narrows the choice to the ports a firewall lets through.
  std::string address = command.LocalAddress();
  data.LocalPort = 0;
  ForgetDataUp(data);
  int low = 0, high = 0;
  const bool ranged = PassiveRange(g, low, high);
  std::error_code ec = ranged ? ListenInRange(data, address, low, high) : data.Listen(address, 0);
  if (ec) LogEvent(g, &g.List1, '#' + std::to_string(index) + " datasock listen error " + ec.message());
  r->n.pasvport = data.LocalPortNow();
  r->n.passive = kTrue;  // with no listener the next transfer fails at once
  if (ec && ranged) {
    co_await SendReply(g, index, "425 No free passive port in PassivePorts " + std::to_string(low) + "-" +
                                     std::to_string(high));
    co_return;
  }
  std::string p1 = std::to_string(r->n.pasvport / 256);
  std::string p2 = std::to_string(r->n.pasvport % 256);
  co_await SendReply(g, index, "227 Entering Passive Mode (" + ReplaceFirst(AnnouncedAddress(g, address), '.', ',', 3) +
                                   "," + p1 + "," + p2 + ")");
}

}  // namespace korvane
