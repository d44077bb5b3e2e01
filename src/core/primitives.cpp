#include "core/primitives.h"

#include "core/log_secrets.h"
#include "platform/clock.h"
#include "platform/event_pass.h"

namespace korvane {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

std::string TokenAt(std::string& s, size_t at, size_t delim_size) {
  if (at == std::string::npos) {
    std::string result = Trim(s);
    s.clear();
    return result;
  }
  std::string result = Trim(s.substr(0, at));
  s = Trim(s.substr(at + delim_size));
  return result;
}

std::string NextToken(std::string& s, const std::string& delim) { return TokenAt(s, s.find(delim), delim.size()); }

void ReplaceAll(std::string& s, const std::string& search, const std::string& replacement) {
  if (search.empty()) return;
  if (replacement.find(search) != std::string::npos) {
    // Through a marker, so that the replacement is not replaced again.
    const std::string marker(1, '\x1f');
    ReplaceAll(s, search, marker);
    ReplaceAll(s, marker, replacement);
    return;
  }
  // Each search starts again from the beginning of s; a new occurrence can
  // only begin within search.size() - 1 characters before the last one, so
  // searching on from there finds the same occurrences.
  for (size_t p = s.find(search); p != std::string::npos;) {
    s.replace(p, search.size(), replacement);
    p = s.find(search, p >= search.size() - 1 ? p - (search.size() - 1) : 0);
  }
}

namespace {

// The date and time that begin a log line change once a second: they are
// formed once a second, not for each of the dozen lines of a request.
const std::string& LogStamp() {
  thread_local double at = -1;
  thread_local std::string text;
  const double now = Now();
  if (now != at) {
    at = now;
    text = DateText(now) + " " + TimeText(now);
  }
  return text;
}

// Date, time and the peer caption begin every line: joined once for as
// long as neither changes, not for each line.
const std::string& LinePrefix(const std::string& peer) {
  thread_local std::string prefix, stamp_seen, peer_seen;
  const std::string& stamp = LogStamp();
  if (stamp != stamp_seen || peer != peer_seen || prefix.empty()) {
    stamp_seen = stamp;
    peer_seen = peer;
    prefix = stamp + " " + peer + " ";
  }
  return prefix;
}

std::string_view TrimmedView(std::string_view s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

}  // namespace

void LogEvent(Gateway& g, ListBox* list, const std::string& message) {
  // Nothing from "pass=" on, trimmed: what NextToken at "pass=" would give.
  std::string_view m = TrimmedView(std::string_view(message).substr(0, message.find("pass=")));
  std::string hidden;
  if (!g.LogSecrets && HasSecret(m)) {
    hidden = HideSecrets(m);
    m = hidden;
  }
  const std::string& prefix = LinePrefix(g.lblPeerAddress.Caption());
  std::string line;
  line.reserve(prefix.size() + m.size());
  line.append(prefix).append(m);
  g.logWriter.Append(g.LogPath, line, "\r\n");
  if (list) {
    if (list->ListCount() > 100) list->Clear();
    int n = list->ListCount();
    list->AddItem(std::move(line));
    list->SetTopIndex(n);
  }
}

asio::awaitable<void> YieldOnce(Gateway& g) {
  auto now = std::chrono::steady_clock::now();
  // A wait for events that ended just now counts as a pass too.
  if (now - std::max(g.lastEventPass, LastWaitEnded()) < kEventPassSpacing) co_return;
  co_await asio::post(g.io, asio::use_awaitable);
  g.lastEventPass = std::chrono::steady_clock::now();
}

asio::awaitable<void> Pause(Gateway& g, float seconds) {
  if (seconds <= 0) {
    co_await YieldOnce(g);
    co_return;
  }
  asio::steady_timer t(g.io, std::chrono::microseconds(static_cast<long long>(seconds * 1e6)));
  std::error_code ec;
  co_await t.async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

asio::awaitable<void> SendReply(Gateway& g, int k, std::string text) {
  return SendReply(g, k, Reply::kLogged, std::move(text));
}

asio::awaitable<void> SendReply(Gateway& g, int k, Reply how, std::string text) {
  std::string wire = text + (g.FtpMode() ? "." : "") + g.CRLF;
  return SendReplyAs(g, k, how, std::move(text), std::move(wire));
}

asio::awaitable<void> SendReplyAs(Gateway& g, int k, Reply how, std::string text, std::string wire) {
  if (how == Reply::kLogged) {
    LogEvent(g, &g.List1, '#' + std::to_string(k) + " " + text);
    g.List1.SetTopIndex(g.List1.ListCount() - 1);
  }
  const int slot = how == Reply::kLogged ? k : -k;  // as the block line shows it
  const SessionRef session = g.Ref(k);
  SocketControl& sock = g.CommandSock(k);
  if (!g.FtpMode()) {
    while (sock.Connected() && !sock.Writable()) co_await sock.WaitWritable();
    if (!g.Holds(session)) co_return;  // the slot went to another client meanwhile
    sock.Tag.clear();
  }
  for (int retries = 0;; ++retries) {
    int err = sock.Send(wire);
    if (err == 0) break;
    if (err != kWouldBlock) co_return;
    co_await Pause(g, 1);
    if (!g.Holds(session)) co_return;
    if (g.BeepOn && g.view) g.view->Beep();
    LogEvent(g, &g.List1, '#' + std::to_string(slot) + " block: " + sock.Tag + " " + text.substr(0, 50));
    if (sock.Tag == "OK" || retries >= 4) break;
  }
  if (!g.FtpMode()) co_await YieldOnce(g);
}

}  // namespace korvane
