// www_send_file: chooses the file (superseding extension, fallback folder,
// generated listing), its type, and sends head and body.
#include <sys/time.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>

#include "channel/block_sender.h"
#include "core/config.h"
#include "core/http_answer.h"
#include "core/primitives.h"
#include "core/url_utils.h"
#include "platform/text.h"
#include "web/documents.h"
#include "web/roads.h"

namespace korvane {
namespace {

constexpr char kFallbackFolder[] = "C:\\temp\\korvane\\";
constexpr char kDefaultType[] = "a|Text/HTML";

bool Has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// A folder, or a file pattern, below a "\dir\" folder: what a listing is
// made of. Such a path counts as a document even though it has no length.
bool IsListing(const Files& files, const std::string& file, const std::string& ext) {
  return ext.empty() && Has(file, "\\dir\\") &&
         (files.IsDir(file) || Has(file, "*") || Has(file, "?"));
}

// The document's length, and in mtime its last-write time, from one look.
int64_t DocumentLength(const Files& files, const std::string& file, const std::string& ext, double& mtime) {
  mtime = -1;
  if (IsListing(files, file, ext)) return 1;  // the listing's own length is taken later
  FileInfo info;
  if (!files.Stat(file, info) || !info.is_file) return 0;
  mtime = info.mtime;
  return info.size;
}

// [supercededby]: a newer file with the superseding extension beside the
// requested one is sent instead.
void Supersede(Gateway& g, const std::string& base, std::string& file, std::string& ext) {
  std::string v = ConfigLookup(g, "supercededby|" + ext);
  if (v.empty()) return;
  std::string other = base + "." + v;
  if (!g.files.IsFile(other)) return;
  double mine = 0, theirs = 0;
  g.files.Modified(other, theirs);
  if (!g.files.Modified(file, mine) || mine < theirs) {
    file = other;
    ext = v;
  }
}

struct Clock {
  int minute = 0, second = 0, millisecond = 0;
};

Clock UtcNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm t{};
  time_t secs = tv.tv_sec;
  gmtime_r(&secs, &t);
  return {t.tm_min, t.tm_sec, static_cast<int>(tv.tv_usec / 1000)};
}

// " 12 ms 341 bytes/ms", or "" when the rate does not fit 16 bits.
std::string Timing(const Clock& t1, const Clock& t2, int64_t n) {
  long ms = (t2.minute - t1.minute) * 60000L + (t2.second - t1.second) * 1000L +
            (t2.millisecond - t1.millisecond) + 1;
  if (ms == 0) return "";
  double rate = std::rint(static_cast<double>(n) / static_cast<double>(ms));
  if (rate > 32767 || rate < -32768) return "";
  return ' ' + Num(ms) + " ms " + Num(static_cast<long long>(rate)) + " bytes/ms";
}

// mtime: the file's last-write time when just looked at, else -1.
std::string Head(Gateway& g, const std::string& file, int64_t n, const std::string& contentType,
                 bool lastModified, double mtime) {
  const std::string& crlf = g.CRLF;
  std::string head = "HTTP/1.1 200 OK" + crlf;
  head += "Date: " + HttpDate(g.files, "") + " GMT" + crlf;
  head += std::string("Server: ") + kServerName + crlf;
  head += "Connection: Close" + crlf;
  if (lastModified) head += "Last-Modified: " + (mtime >= 0 ? HttpDateAt(mtime) : HttpDate(g.files, file)) + " GMT" + crlf;
  head += "Content-Length: " + Num(n) + crlf;
  head += "Content-Type: " + contentType + crlf;
  return head;
}

asio::awaitable<void> NotFound(Gateway& g, int i, const std::string& file) {
  LogEvent(g, &g.List1, '#' + Num(i) + " file not found: " + file);
  co_await SendAnswer(g, i, kNotFound, "requested document not found: " + file);
  if (SessionRecord* r = g.Record(i)) r->n.keepalive = kFalse;
}

// A send that failed because the client reset the connection. By default
// it is answered as a missing file, as the gateway always did; for today's
// clients it is logged as what it is, and nothing more is sent.
void ClientGone(Gateway& g, int i, const std::string& file) {
  LogEvent(g, &g.List1, '#' + Num(i) + " client gone: " + file);
  if (SessionRecord* r = g.Record(i)) {
    r->success = kFalse;
    r->n.keepalive = kFalse;
  }
}

}  // namespace

asio::awaitable<void> www_send_file(Gateway& g, int i, std::string path, std::string type,
                                    bool lastModified, bool noRecentCopy, bool headOnly) {
  LogEvent(g, nullptr, "www_send_file " + path);
  const SessionRef session = g.Ref(i);
  bool notFound = true;
  std::string file = path;
  int64_t n = 0;
  double mtime = -1;
  Clock t1, t2;

  do {
    if (path.empty() || Has(path, "..")) break;
    std::string ext = Lower(path);
    std::string base = NextTokenLast(ext, ".");

    std::string entry;
    if (!type.empty()) {
      entry = "b|" + type;
    } else {
      Supersede(g, base, file, ext);
      entry = ConfigLookup(g, "MimeTypes|" + ext);
      if (entry.empty()) entry = kDefaultType;
      if (entry.size() >= 8 && entry.compare(2, 6, "topic/") == 0) {
        co_await WWW_EXE_Request(g, i, file, entry.substr(8), entry[0] != '-');
        co_return;
      }
      const SessionRecord* r = g.Record(i);
      std::string mac = ConfigLookup(g, "MacTypes|" + ext);
      if (r && Has(r->agent, "Mac") && !mac.empty()) {
        co_await WWW_EXE_Request(g, i, file, mac, true);
        co_return;
      }
    }

    n = DocumentLength(g.files, file, ext, mtime);
    if (n == 0 && (file.empty() || file.back() != '\\')) {
      file = kFallbackFolder + file.substr(static_cast<size_t>(FindLastChar(file, "\\")));
      n = DocumentLength(g.files, file, ext, mtime);
    }
    if (n == 0) break;

    std::string contentType = entry;
    std::string tag = NextToken(contentType, "|");
    if (tag != "b" && !noRecentCopy) g.files.Copy(file, g.RecentFile);

    if (IsListing(g.files, file, ext)) {
      MakeTempFileName(g, i);
      co_await MakeDirectoryListing(g, i, file);
      if (!g.Holds(session)) co_return;
      file = g.Record(i) ? g.Record(i)->tempfile : "";
      n = std::max<int64_t>(g.files.Length(file), 0);
      mtime = -1;
    }

    // n is the file's length as just measured (for a listing, the listing's).
    LogEvent(g, &g.List1, '#' + Num(i) + " sending " + contentType + " " + file + " (" + Num(n) + " bytes)");
    // The head waits for the document's first block, so that a small
    // answer leaves in one packet; send_BinaryFile lets it go.
    if (!headOnly && n > 0) g.CommandSock(i).HoldBack(true);
    co_await SendReply(g, i, Head(g, file, n, contentType, lastModified, mtime));
    // Counted once the document has gone out, even when the client has
    // closed by the time the gateway looks again.
    if (headOnly) g.metrics.Count(Outcome::kOk);
    if (!g.Holds(session)) co_return;
    if (!headOnly) {
      t1 = UtcNow();
      bool ok = co_await send_BinaryFile(g, i, g.CommandSock(i), file);
      if (ok) g.metrics.Count(Outcome::kOk);
      if (!g.Holds(session)) co_return;
      if (!ok && g.ModernClients && g.CommandSock(i).Gone()) {
        ClientGone(g, i, file);
        co_return;
      }
      if (!ok) break;
      t2 = UtcNow();
    }
    notFound = false;
  } while (false);

  if (SessionRecord* r = g.Record(i)) r->success = notFound ? kFalse : kTrue;
  if (notFound) {
    co_await NotFound(g, i, file);
    co_return;
  }
  std::string summary = path + " " + Num(n);
  if (!headOnly) summary += Timing(t1, t2, n);
  LogEvent(g, &g.List1, '#' + Num(i) + " www_send_file done: " + summary);
}

}  // namespace korvane
