// LIST and NLST: the names of the current directory, one line each,
// directories lower-cased with a trailing "\", files lower-cased. Errors of
// the listing are ignored: whatever was collected is sent.
#include <algorithm>
#include <cctype>

#include "channel/ftp_paths.h"
#include "channel/ftp_transfers.h"
#include "core/primitives.h"
#include "platform/text.h"

namespace korvane {
namespace {

// Collects the listing in DirList(index), sorted by name so that clients
// see a stable order (the file system's scan order is arbitrary).
void CollectListing(Gateway& g, int index, const std::string& dir) {
  ListBox& list = g.DirListOf(index);
  list.Clear();
  std::vector<std::string> lines;
  for (const DirEntry& entry : g.files.List(dir)) {
    if (entry.name.empty() || entry.name[0] == '.') continue;
    std::string line = Lower(entry.name);
    if (IsPlainDirectory(FtpAttributes(entry))) line += "\\";
    lines.push_back(std::move(line));
  }
  std::sort(lines.begin(), lines.end());
  for (std::string& line : lines) list.AddItem(std::move(line));
}

// Sends the collected lines; stops early when the client goes away or
// stops reading (then the data connection is aborted).
asio::awaitable<void> SendListing(Gateway& g, int index, SessionRef session) {
  SocketControl& data = g.DataSock(index);
  const std::vector<std::string> lines = g.DirListOf(index).Lines();
  std::chrono::milliseconds limit = FtpIdleLimit(g);
  for (const std::string& line : lines) {
    co_await YieldOnce(g);
    WaitEnd end = co_await WaitForData(
        g, index, session, [&data] { return data.Writable() || data.Gone(); }, limit);
    if (end == WaitEnd::kSessionEnded) co_return;
    if (end == WaitEnd::kTimedOut) {
      LogTimeOut(g, index, "LIST send", limit);
      AbortDataConnection(g, index);
      co_return;
    }
    if (data.Gone()) break;
    data.Send(line + "\r\n");
  }
  co_await CloseAfterSending(g, index, session, "LIST");
}

}  // namespace

asio::awaitable<void> ListDirectory(Gateway& g, int index) {
  const SessionRef session = g.Ref(index);
  co_await SendReply(g, index, "150 OK, sending dir list");
  if (!co_await OpenDataConnection(g, index, "LIST")) {
    if (g.Holds(session)) co_await SendReply(g, index, "425 Can't open data connection");
    co_return;
  }
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  CollectListing(g, index, g.FTPExportDir + r->ftpdir);
  co_await SendListing(g, index, session);
  if (!g.Holds(session)) co_return;
  if (SessionRecord* now = g.Record(index)) {
    now->success = 226;
    co_await SendReply(g, index, "226 Current directory is " + now->ftpdir);
  }
}

}  // namespace korvane
