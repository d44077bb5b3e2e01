#include "channel/command_reader.h"

#include "channel/ftp_commands.h"
#include "channel/head_line.h"
#include "channel/http_head.h"
#include "core/primitives.h"
#include "core/sessions.h"
#include "platform/text.h"

namespace korvane {
namespace {

// Removes a trailing CR LF, or a lone trailing LF or CR.
std::string WithoutTerminator(std::string line) {
  if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) {
    line.resize(line.size() - 2);
  } else if (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.pop_back();
  }
  return line;
}

// The blank line that ends a head (anything shorter than 5 characters).
asio::awaitable<void> HeadEnds(Gateway& g, int index, SessionRecord& r, const std::string& line) {
  HeadEnd end = EndOfHead(r.n.state);
  r.n.state = end.state;
  if (end.complete) co_await g.hooks.completeRequest(g, index, line);
}

// A line of at least 5 characters outside a body: a head line.
asio::awaitable<void> HeadLine(Gateway& g, int index, SessionRecord& r, const std::string& line) {
  HeadDecision d = ClassifyHeadLine(index, line);
  if (!d.log.empty()) LogEvent(g, d.listed ? &g.List1 : nullptr, d.log);
  switch (d.step) {
    case HeadStep::kNone: break;
    case HeadStep::kGetRequest:
      r.request = line;
      r.n.state = kGetHead;
      break;
    case HeadStep::kFormRequest:
      r.request = line + "?";
      r.n.state = kFormHead;
      break;
    case HeadStep::kPutRequest:
      co_await PutSetUp(g, index, line);
      if (SessionRecord* now = g.Record(index)) now->n.state = kPutHead;
      break;
    case HeadStep::kContentLength: co_await ContentLengthLine(g, index, line); break;
    case HeadStep::kContentType: ContentTypeLine(g, index, line); break;
    case HeadStep::kUserAgent: r.agent = line; break;
    case HeadStep::kReferer: RefererLine(g, index, line); break;
    case HeadStep::kHost: r.host = Trim(WithoutTerminator(line.substr(5))); break;
  }
}

}  // namespace

void WireCommandSocket(Gateway& g, int k) {
  SocketControl& sock = *g.commandsock[k];
  sock.OnLine = [&g, k](std::string line) { return ReadCommandLine(g, k, std::move(line)); };
  sock.OnWritable = [&g, k] { CommandWritable(g, k); };
  sock.OnClosedByPeer = [&g, k] { CommandClosed(g, k); };
  sock.OnDisconnected = [&g, k] { CommandClosed(g, k); };
  // Today's clients may half-close once their request is sent: a request
  // already complete is answered all the same, and the session's end
  // closes the connection.
  sock.KeepAfterPeerEnd = [&g, k] {
    const SessionRecord* r = g.Record(k);
    return g.ModernClients && !g.FtpMode() && r && r->n.answering;
  };
  // A body's last piece may come without a line end: deliver it once it is
  // all the body still expects. The head's blank line is counted as body
  // (two characters) although it is not, hence the two extra; a PUT for
  // today's clients counts its body exactly.
  sock.BodyPieceAt = [&g, k]() -> long {
    SessionRecord* r = g.Record(k);
    if (!r || g.FtpMode() || !InBody(r->n.state)) return 0;
    const bool exact = g.ModernClients && r->n.state == kPutBody;
    return static_cast<long>(r->n.remaining) + (exact ? 0 : 2);
  };
}

asio::awaitable<void> ReadCommandLine(Gateway& g, int index, std::string line) {
  if (g.FtpMode()) {
    line = WithoutTerminator(std::move(line));
    LogEvent(g, &g.List1, '#' + Num(index) + " " + line);
    g.metrics.Count(Road::kFtp);
    // The session's idle time starts again after each command is done.
    Gateway::FtpActivity& a = g.FtpActivityOf(index);
    const SessionRef session = g.Ref(index);
    a.busy += 1;
    co_await process_FTP_request(g, index, line);
    if (g.Holds(session)) {
      Gateway::FtpActivity& after = g.FtpActivityOf(index);
      after.busy -= 1;
      after.last = std::chrono::steady_clock::now();
    }
    co_return;
  }
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  const SessionRef session = g.Ref(index);

  // First what the line says about the head,
  if (line.size() < 5) {
    co_await HeadEnds(g, index, *r, line);
  } else if (!InBody(r->n.state)) {
    co_await HeadLine(g, index, *r, line);
  }
  // A handler above may have waited; the slot may hold another session now.
  if (!g.Holds(session) || !(r = g.Record(index))) co_return;

  // then, in the state that left, what it adds to a body.
  switch (r->n.state) {
    case kFormBody: co_await FormBodyLine(g, index, line); break;
    case kPutBody: co_await PutBodyLine(g, index, line); break;
    case kMultipartBody: co_await MultipartBodyLine(g, index, line); break;
    default: break;
  }
}

void CommandWritable(Gateway& g, int index) {
  g.CommandSock(index).Tag = "OK";
  LogEvent(g, &g.List1, '#' + Num(index) + " OK");
}

}  // namespace korvane
