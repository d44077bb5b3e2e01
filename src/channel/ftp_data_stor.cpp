// STOR: the client's bytes go to the session's temporary file (DataRead
// writes them as they come), and once the client has closed the data
// connection the file is moved into the import folder, replacing a file
// of the same name. A store that does not end cleanly leaves nothing
// behind: no open file, no temporary file, no partial file in the folder.
#include <fcntl.h>

#include "channel/ftp_transfers.h"
#include "core/open_files.h"
#include "core/primitives.h"
#include "core/url_utils.h"

namespace korvane {
namespace {

// Closes the store's file (if still open) and forgets its number, so that
// the session's end cannot close a number another session holds by then.
// True when the file was still open, i.e. every write succeeded.
bool CloseStoreFile(OpenFiles& files, SessionRecord& r) {
  bool was_open = r.n.filenum > 0 && files.IsOpen(r.n.filenum);
  bool written = was_open && files.Close(r.n.filenum);
  r.n.filenum = 0;
  return written;
}

// Waits while the client sends. The store counts as complete only
// when the client closed the data connection in order (a reset, a failed
// write or a limit closes the file early) while its control connection is
// still there: a client that vanished mid-STOR gets no partial file.
asio::awaitable<bool> ReceiveFile(Gateway& g, int index, SessionRef session, int16_t filenum) {
  if (!co_await OpenDataConnection(g, index, "STOR")) co_return false;
  SocketControl& data = g.DataSock(index);
  std::chrono::milliseconds limit = FtpIdleLimit(g);
  WaitEnd end = co_await WaitForData(
      g, index, session, [&data] { return !data.Connected(); }, limit,
      [&g, filenum] { return g.openFiles->Position(filenum); });
  if (end == WaitEnd::kSessionEnded) co_return false;
  if (end == WaitEnd::kTimedOut) {
    LogTimeOut(g, index, "STOR receive", limit);
    co_return false;
  }
  if (g.CommandSock(index).Gone()) {
    LogEvent(g, &g.List1, '#' + std::to_string(index) + " STOR dropped: the client has gone");
    co_return false;
  }
  co_return true;
}

// Moves the temporary file into the folder. Returns the stored size, or
// -1 when the file, the move or the size failed.
// The file is moved into place whole (Files::Place), never copied over
// the target, so a full disk leaves the old file or none, never a part.
int64_t Deliver(Gateway& g, SessionRecord& r, const std::string& target) {
  if (!CloseStoreFile(*g.openFiles, r)) return -1;
  if (!g.files.Place(r.tempfile, target)) return -1;
  return g.files.Length(target);
}

// A name with a ".." step would store outside the import folder.
bool ClimbsUp(const std::string& name) {
  for (const std::string& part : SplitWinPath(name))
    if (part == "..") return true;
  return false;
}

}  // namespace

asio::awaitable<void> StoreFile(Gateway& g, int index, std::string name) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  const SessionRef session = g.Ref(index);
  const std::string target = g.FTPImportDir + r->ftpdir + "\\" + name;
  if (ClimbsUp(name)) {
    LogEvent(g, &g.List1, '#' + std::to_string(index) + " STOR refused: " + name);
    co_await SendReply(g, index, "550 Access/path error " + name);
    co_return;
  }
  MakeTempFileName(g, index);
  if (!r->tempfile.empty() && g.files.Exists(r->tempfile)) g.files.Remove(r->tempfile);

  int16_t filenum = g.openFiles->FreeFile();
  bool opened = !r->tempfile.empty() &&
                g.openFiles->OpenForWriting(filenum, g.files.Open(r->tempfile, O_WRONLY | O_CREAT | O_TRUNC, 0644));
  int64_t size = -1;
  if (opened) {
    r->n.filenum = filenum;
    co_await SendReply(g, index, "150 OK, receiving " + name + " (" + CommandEndpointText(g, index) + ")");
    bool received = co_await ReceiveFile(g, index, session, filenum);
    // The session's end closes the file and deletes the temporary file.
    if (!g.Holds(session) || !(r = g.Record(index))) co_return;
    if (received) size = Deliver(g, *r, target);
  }
  if (size < 0) {
    CloseStoreFile(*g.openFiles, *r);
    if (!r->tempfile.empty()) g.files.Remove(r->tempfile);
    co_await SendReply(g, index, "550 Access/path error " + name);
    AbortDataConnection(g, index);
    co_return;
  }
  co_await SendReply(g, index, "226 File store successful (" + std::to_string(size) + " bytes)");
}

}  // namespace korvane
