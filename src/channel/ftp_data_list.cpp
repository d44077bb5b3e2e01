// LIST and NLST: the names of the current directory, one line each,
// directories lower-cased with a trailing "\", files lower-cased. Errors of
// the listing are ignored: whatever was collected is sent.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include "channel/ftp_paths.h"
#include "channel/ftp_transfers.h"
#include "core/primitives.h"
#include "platform/text.h"

namespace korvane {
namespace {

// The date column of `ls -l`: "Dec 06 12:34" within half a year before
// now, else "Jan 02  2025" (so also for a date in the future). Month
// names are English whatever the locale.
std::string ListingDate(double mtime, std::time_t now) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const double kHalfYear = 15778476;  // seconds in half a mean Gregorian year
  std::time_t t = static_cast<std::time_t>(mtime);
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  const bool recent = mtime <= static_cast<double>(now) + 3600 && static_cast<double>(now) - mtime < kHalfYear;
  if (recent)
    std::snprintf(text, sizeof text, "%s %02d %02d:%02d", kMonths[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min);
  else
    std::snprintf(text, sizeof text, "%s %02d  %d", kMonths[tm.tm_mon % 12], tm.tm_mday, tm.tm_year + 1900);
  return text;
}

// One entry as `ls -l` writes it, which curl, lftp and the like parse:
// "drwxr-xr-x 1 owner group 0 Dec 06 12:34 Docs".
std::string LongLine(const DirEntry& entry, std::time_t now) {
  std::string mode = entry.is_dir ? (entry.readonly ? "dr-xr-xr-x" : "drwxr-xr-x")
                                  : (entry.readonly ? "-r--r--r--" : "-rw-r--r--");
  int64_t size = entry.is_dir ? 0 : entry.size;
  return mode + " 1 owner group " + std::to_string(size) + " " + ListingDate(entry.mtime, now) + " " + entry.name;
}

// A name as this dialect lists it: lower-cased, a plain directory with a
// trailing "\".
std::string ShortLine(const DirEntry& entry) {
  std::string line = Lower(entry.name);
  if (IsPlainDirectory(FtpAttributes(entry))) line += "\\";
  return line;
}

// Collects the listing in DirList(index), sorted by name so that clients
// see a stable order (the file system's scan order is arbitrary).
void CollectListing(Gateway& g, int index, const std::string& dir, bool long_form) {
  ListBox& list = g.DirListOf(index);
  list.Clear();
  std::vector<DirEntry> entries = g.files.List(dir);
  std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  const std::time_t now = std::time(nullptr);
  std::vector<std::string> lines;
  for (const DirEntry& entry : entries) {
    if (entry.name.empty() || entry.name[0] == '.') continue;
    lines.push_back(long_form ? LongLine(entry, now) : ShortLine(entry));
  }
  if (!long_form) std::sort(lines.begin(), lines.end());  // by the lower-cased names
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

asio::awaitable<void> ListDirectory(Gateway& g, int index, bool long_form) {
  const SessionRef session = g.Ref(index);
  co_await SendReply(g, index, "150 OK, sending dir list");
  if (!co_await OpenDataConnection(g, index, "LIST")) {
    if (g.Holds(session)) co_await SendReply(g, index, "425 Can't open data connection");
    co_return;
  }
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  CollectListing(g, index, g.FTPExportDir + r->ftpdir, long_form);
  co_await SendListing(g, index, session);
  if (!g.Holds(session)) co_return;
  if (SessionRecord* now = g.Record(index)) {
    now->success = 226;
    co_await SendReply(g, index, "226 Current directory is " + now->ftpdir);
  }
}

}  // namespace korvane
