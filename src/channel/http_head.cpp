// Head lines and bodies of HTTP requests. Every step works on the session
// record of its slot; a step that fails (a file that will not open, a number
// out of range) is skipped and the request goes on, as the reader promises.
#include "channel/http_head.h"

#include <fcntl.h>

#include <cctype>
#include <cmath>
#include <limits>

#include "core/http_answer.h"
#include "core/open_files.h"
#include "core/primitives.h"
#include "core/sessions.h"
#include "core/url_utils.h"
#include "platform/clock.h"
#include "platform/ini_file.h"
#include "platform/text.h"

namespace korvane {
namespace {

constexpr const char* kDispositionPrefix = "Content-Disposition: form-data; name=\"";
// The placeholder line after a file part's Content-Disposition line. Its
// blanks are overwritten with "filept=… nbytes=…" once the part's data is
// complete, so a reader of the file can find the data without parsing.
const std::string kInfoLine = "Content-Info:" + std::string(38, ' ') + "\r\n";
// The info text starts at the line's 15th character.
constexpr int32_t kInfoOffset = 14;
// Multipart line counts (see MultipartBodyLine).
constexpr int32_t kPlainValueLine = 3;
constexpr int32_t kFilePartStart = 3;
constexpr int32_t kFileBlankLine = 6;
constexpr int32_t kAfterPlainValue = 10;

std::string WithoutTerminator(std::string line) {
  if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) {
    line.resize(line.size() - 2);
  } else if (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.pop_back();
  }
  return line;
}

// Fits a count into the record's 32-bit fields; false when it does not
// (the step that needed it is then skipped, as an overflow would be).
bool Fits32(long long v) {
  return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
}

// remaining -= length of line; an overflowing count is left as it was.
void CountDown(SessionRecord& r, const std::string& line) {
  long long left = static_cast<long long>(r.n.remaining) - static_cast<long long>(line.size());
  if (Fits32(left)) r.n.remaining = static_cast<int32_t>(left);
}

int32_t Position(const OpenFiles& files, const SessionRecord& r) {
  long long pos = files.Position(r.n.filenum);
  return Fits32(pos) ? static_cast<int32_t>(pos) : 0;
}

void WriteUpload(OpenFiles& files, const SessionRecord& r, const std::string& text) {
  if (r.n.filenum > 0) files.Write(r.n.filenum, text);
}

// Closes the upload file. The number is forgotten at once: it may be
// handed to another session, whose file EndSession must not close. False
// when a write to it failed: the file does not hold what was sent.
bool CloseUpload(OpenFiles& files, SessionRecord& r) {
  bool ok = r.n.filenum > 0 && files.Close(r.n.filenum);
  r.n.filenum = 0;
  return ok;
}

// A name with a ".." step is refused: an upload stays in its folder.
bool ClimbsUp(const std::string& name) {
  for (const std::string& part : SplitWinPath(name))
    if (part == "..") return true;
  return false;
}

// What today's clients send ("/s/common/x.txt http/1.1", curl -T) read as
// the bare name the upload road takes ("s/common/x.txt").
std::string UploadTarget(std::string target) {
  const size_t version = target.rfind(" http/");
  if (version != std::string::npos) target = Trim(target.substr(0, version));
  if (StartsWith(target, "/")) target.erase(0, 1);
  return target;
}

int32_t BodyLimit(Gateway& g) { return g.MaxFileLength > 0 ? g.MaxFileLength : kMaxBody; }

// The request line the refusal names: the text before the first line end.
std::string RequestLine(const SessionRecord& r) { return Trim(r.request.substr(0, r.request.find_first_of("\r\n"))); }

// The answer to an upload that is not stored, and the session's end.
asio::awaitable<void> RefuseUpload(Gateway& g, int index, HttpStatus status) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  const SessionRef session = g.Ref(index);
  co_await SendAnswer(g, index, status, "515 Can't " + RequestLine(*r));
  if (g.Holds(session)) co_await EndSession(g, index, "put");
}

// Gives the session its temporary file, opened for writing under a free
// number. A file still open from an earlier head line of the same session
// is closed first so that no file is left open without a number.
void OpenUpload(Gateway& g, int index) {
  SessionRecord* r = g.Record(index);
  if (!r) return;
  CloseUpload(*g.openFiles, *r);
  MakeTempFileName(g, index);
  int16_t num = g.openFiles->FreeFile();
  if (r->tempfile.empty()) return;
  int fd = g.files.Open(r->tempfile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (g.openFiles->OpenForWriting(num, fd)) r->n.filenum = num;
}

// The value of a Content-Length line: the number from its 16th character.
// Returns false when it does not fit the count (the step is skipped).
bool DeclaredLength(const std::string& line, int32_t& out) {
  double v = std::rint(Val(line.size() > 15 ? std::string_view(line).substr(15) : std::string_view()));
  if (v > std::numeric_limits<int32_t>::max()) v = std::numeric_limits<int32_t>::max();
  if (!(v >= std::numeric_limits<int32_t>::min())) return false;
  out = static_cast<int32_t>(v);
  return true;
}

// A Content-Disposition line of a multipart body: the field name joins the
// request string; a file field also gets its info line in the file.
void DispositionLine(Gateway& g, SessionRecord& r, const std::string& line) {
  std::string rest = line.substr(std::string(kDispositionPrefix).size());
  std::string name = NextToken(rest, "\"");
  r.request = Trim(r.request) + "&" + name + "=";
  NextToken(rest, "filename=\"");
  std::string filename = NextToken(rest, "\"");
  if (filename.empty()) {
    r.n.infopos = 0;
    r.n.partline = 0;
    return;
  }
  r.n.infopos = Position(*g.openFiles, r) + kInfoOffset;
  WriteUpload(*g.openFiles, r, kInfoLine);
  ReplaceAll(filename, "&", "%26");
  r.request = Trim(r.request) + filename;
  r.n.partline = kFilePartStart;
}

// The boundary line that ends a file part: its data runs from filept up to
// the CR LF before this line (pos0 is where this line was written).
void FilePartEnds(Gateway& g, SessionRecord& r, int32_t pos0) {
  int32_t kept = Position(*g.openFiles, r);
  long long nbytes = static_cast<long long>(pos0) - r.n.filept - 2;
  if (Fits32(nbytes)) r.n.nbytes = static_cast<int32_t>(nbytes);
  if (r.n.filenum > 0 && g.openFiles->Seek(r.n.filenum, r.n.infopos)) {
    WriteUpload(*g.openFiles, r, "filept=" + Num(r.n.filept) + " nbytes=" + Num(r.n.nbytes));
    g.openFiles->Seek(r.n.filenum, kept);
  }
  r.request += "&FILEPT=" + Num(r.n.filept) + "&NBYTES=" + Num(r.n.nbytes);
}

// Counts the line within its part and acts on the counts that matter.
void CountPartLine(Gateway& g, SessionRecord& r, const std::string& line, int32_t pos0) {
  r.n.partline += 1;
  if (r.n.partline == kPlainValueLine) {
    std::string value_line = line;
    ReplaceAll(value_line, "&", "%26");
    r.request += NextToken(value_line, "\r\n");
    r.n.partline = kAfterPlainValue;
  } else if (r.n.partline == kFileBlankLine) {
    r.n.filept = Position(*g.openFiles, r);
  } else if (r.n.partline > kFileBlankLine && StartsWith(line, r.boundary) && r.n.infopos != 0) {
    FilePartEnds(g, r, pos0);
  }
}

}  // namespace

asio::awaitable<void> PutSetUp(Gateway& g, int index, const std::string& line) {
  g.metrics.Count(Road::kPut);
  OpenUpload(g, index);
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  r->request = Lower(Trim(WithoutTerminator(line.substr(4))));
  if (g.ModernClients) r->request = UploadTarget(r->request);
  r->n.partline = 0;  // the head's blank line is still to come
  if (StartsWith(r->request, "s/common/") && !ClimbsUp(r->request)) co_return;
  const SessionRef session = g.Ref(index);
  co_await SendAnswer(g, index, kForbidden, "515 Can't " + line);
  // The reply may have waited; a session that ended meanwhile is not ended twice.
  if (g.Holds(session)) co_await EndSession(g, index, "put");
}

asio::awaitable<void> ContentLengthLine(Gateway& g, int index, const std::string& line) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  int32_t declared = 0;
  if (DeclaredLength(line, declared)) r->n.remaining = declared;
  if (r->n.state != kPutHead && r->n.state != kMultipartHead) r->n.state = kFormHead;
  if (declared <= BodyLimit(g)) co_return;
  // Refused whole: a body cut at the limit would be stored, or handed on,
  // as if it were complete.
  LogEvent(g, &g.List1, '#' + Num(index) + " body of " + Num(declared) + " bytes refused: MaxFileLength is " +
                            Num(BodyLimit(g)));
  co_await RefuseUpload(g, index, kPayloadTooLarge);
}

void ContentTypeLine(Gateway& g, int index, const std::string& line) {
  SessionRecord* r = g.Record(index);
  if (!r) return;
  r->contenttype = line.size() > 14 ? line.substr(14) : "";
  if (line.find("multipart/form-data") != 14) return;
  r->n.multipart = kTrue;
  r->n.state = kMultipartHead;
  OpenUpload(g, index);
  std::string rest = line;
  NextToken(rest, "boundary=");
  r->boundary = "--" + NextToken(rest, "\r\n");
}

void RefererLine(Gateway& g, int index, const std::string& line) {
  SessionRecord* r = g.Record(index);
  if (!r || !r->referer.empty()) return;
  std::string rest = line;
  r->referer = NextToken(rest, "?");
  LogEvent(g, nullptr, '#' + Num(index) + " " + Num(static_cast<long long>(rest.size())) + " " + rest);
}

asio::awaitable<void> FormBodyLine(Gateway& g, int index, const std::string& line) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  r->request = Trim(r->request) + line;
  CountDown(*r, line);
  if (r->n.remaining <= 0) co_await g.hooks.completeRequest(g, index, line);
}

asio::awaitable<void> PutBodyLine(Gateway& g, int index, const std::string& line) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  // The head's blank line comes first. It is stored and counted as body,
  // which puts a CR LF in front and leaves the body's last two bytes out;
  // today's clients get exactly the body stored.
  const bool blank_line = r->n.partline == 0;
  r->n.partline = 1;
  if (!(blank_line && g.ModernClients)) {
    WriteUpload(*g.openFiles, *r, line);
    CountDown(*r, line);
  }
  if (r->n.remaining > 0) co_return;
  if (!CloseUpload(*g.openFiles, *r)) {
    LogEvent(g, &g.List1, '#' + Num(index) + " upload not stored: write error in " + r->tempfile);
    co_await RefuseUpload(g, index, kInsufficientStorage);
    co_return;
  }
  std::string path = r->request.size() > 1 ? r->request.substr(1) : "";
  co_await g.hooks.storeUpload(g, index, "C:\\temp\\" + Trim(path));
}

// One line of a multipart body. The part layout the counts follow: for a
// plain field the Content-Disposition line is 1, the blank line 2 and the
// value 3; for a file field counting starts at 4, its Content-Type line is
// 5 and the blank line 6, so the data starts on the next line.
asio::awaitable<void> MultipartBodyLine(Gateway& g, int index, const std::string& line) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  int32_t pos0 = Position(*g.openFiles, *r);
  WriteUpload(*g.openFiles, *r, line);
  CountDown(*r, line);

  if (StartsWith(line, kDispositionPrefix)) {
    DispositionLine(g, *r, line);
  } else {
    LogEvent(g, &g.List1, '#' + Num(index) + " " + line);
  }
  CountPartLine(g, *r, line, pos0);

  if (r->n.remaining > 0) co_return;
  r->request += "&TEMPFILE=" + r->tempfile + "&CONTENTTYPE=" + r->contenttype + "&";
  WriteUpload(*g.openFiles, *r, r->request);
  if (!CloseUpload(*g.openFiles, *r)) {
    LogEvent(g, &g.List1, '#' + Num(index) + " upload not stored: write error in " + r->tempfile);
    co_await RefuseUpload(g, index, kInsufficientStorage);
    co_return;
  }
  std::string request = r->request;
  co_await g.hooks.completeRequest(g, index, request);
}

}  // namespace korvane
