#include "channel/command_reader.h"

#include "channel/ftp_commands.h"
#include "channel/http_head.h"
#include "core/primitives.h"
#include "core/sessions.h"
#include "web/router.h"

namespace korvane {
namespace {

std::string Num(long long v) { return std::to_string(v); }

bool Starts(const std::string& line, const char* prefix) { return line.rfind(prefix, 0) == 0; }

// Removes a trailing CR LF, or a lone trailing LF or CR.
std::string WithoutTerminator(std::string line) {
  if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) {
    line.resize(line.size() - 2);
  } else if (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.pop_back();
  }
  return line;
}

bool InBody(int16_t state) { return state == kFormBody || state == kPutBody || state == kMultipartBody; }

// The blank line that ends a head (anything shorter than 5 characters).
asio::awaitable<void> HeadEnds(Gateway& g, int index, SessionRecord& r, const std::string& line) {
  switch (r.n.state) {
    case kGetHead: co_await WWW_Process_Request_sendfile(g, index, line); break;
    case kFormHead: r.n.state = kFormBody; break;
    case kPutHead: r.n.state = kPutBody; break;
    case kMultipartHead: r.n.state = kMultipartBody; break;
    default: break;
  }
}

// Stage 1 on a line of at least 5 characters outside a body.
asio::awaitable<void> ClassifyHeadLine(Gateway& g, int index, SessionRecord& r, const std::string& line) {
  const std::string idx = '#' + Num(index) + " ";
  const std::string with_len = idx + Num(static_cast<long long>(line.size())) + " " + line;
  if (Starts(line, "GET ") || Starts(line, "HEAD ")) {
    LogEvent(g, &g.List1, with_len);
    r.request = line;
    r.n.state = kGetHead;
  } else if (Starts(line, "POST ")) {
    LogEvent(g, &g.List1, with_len);
    r.request = line + "?";
    r.n.state = kFormHead;
  } else if (Starts(line, "PUT ")) {
    co_await PutSetUp(g, index, line);
    if (SessionRecord* now = g.Record(index)) now->n.state = kPutHead;
  } else if (line.size() >= 15 && line.compare(9, 6, "ength:") == 0) {
    LogEvent(g, &g.List1, with_len);
    ContentLengthLine(g, index, line);
  } else if (Starts(line, "Content-type:") || Starts(line, "Content-Type:")) {
    LogEvent(g, &g.List1, idx + line);
    ContentTypeLine(g, index, line);
  } else if (Starts(line, "Host:")) {
    LogEvent(g, &g.List1, idx + line);
  } else if (Starts(line, "User-Agent:")) {
    LogEvent(g, &g.List1, idx + line);
    r.agent = line;
  } else if (Starts(line, "Referer:")) {
    LogEvent(g, &g.List1, idx + line);
    RefererLine(g, index, line);
  } else {
    LogEvent(g, nullptr, idx + "unresolved: " + Num(static_cast<long long>(line.size())) + " " + line);
  }
}

}  // namespace

void WireCommandSocket(Gateway& g, int k) {
  SocketControl& sock = *g.commandsock[k];
  sock.OnLine = [&g, k](std::string line) { return ReadCommandLine(g, k, std::move(line)); };
  sock.OnWritable = [&g, k] { CommandWritable(g, k); };
  sock.OnClosedByPeer = [&g, k] { CommandClosed(g, k); };
  sock.OnDisconnected = [&g, k] { CommandClosed(g, k); };
  // A body's last piece may come without a line end: deliver it once it is
  // all the body still expects. The head's blank line is counted as body
  // (two characters) although it is not, hence the two extra.
  sock.BodyPieceAt = [&g, k]() -> long {
    SessionRecord* r = g.Record(k);
    if (!r || g.FtpMode() || !InBody(r->n.state)) return 0;
    return static_cast<long>(r->n.remaining) + 2;
  };
}

asio::awaitable<void> ReadCommandLine(Gateway& g, int index, std::string line) {
  if (g.FtpMode()) {
    line = WithoutTerminator(std::move(line));
    LogEvent(g, &g.List1, '#' + Num(index) + " " + line);
    co_await process_FTP_request(g, index, line);
    co_return;
  }
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  uint64_t gen = g.Generation(index);

  // Stage 1: classification.
  if (line.size() < 5) {
    co_await HeadEnds(g, index, *r, line);
  } else if (!InBody(r->n.state)) {
    co_await ClassifyHeadLine(g, index, *r, line);
  }
  // A handler above may have waited; the slot may hold another session now.
  if (g.Generation(index) != gen || !(r = g.Record(index))) co_return;

  // Stage 2: the body, on the state stage 1 left.
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
