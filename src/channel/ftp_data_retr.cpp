// RETR: a file of the export folder, sent in blocks of 4096 bytes through
// one reusable buffer, byte for byte whatever TYPE says.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "channel/ftp_paths.h"
#include "channel/ftp_transfers.h"
#include "core/primitives.h"

namespace korvane {
namespace {

constexpr size_t kBlockSize = 4096;
// The file is read ahead in large pieces, and other sessions get their turn
// after every few blocks rather than after each one: a block costs one send,
// and a pass of the event loop for each would double that.
constexpr size_t kReadAhead = 256 * 1024;
constexpr int kBlocksPerTurn = 32;

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// A name matches as a directory search for plain files would match it:
// an existing file that is neither a directory nor hidden.
bool FileMatches(Files& files, const std::string& path) {
  int attr = FtpAttributes(files, path);
  return attr != -1 && (attr & (kAttrDirectory | kAttrHidden | kAttrSystem)) == 0;
}

// Sends one block, waiting out a full send queue (DataWritable clears
// datablocked) within the idle limit. False when the connection failed,
// the client stopped reading or the session ended.
asio::awaitable<bool> SendBlock(Gateway& g, int index, SessionRef session, std::string_view block) {
  SocketControl& data = g.DataSock(index);
  for (;;) {
    int err = data.Send(block);
    if (err == 0) co_return true;
    if (err != kWouldBlock) co_return false;
    SessionRecord* r = g.Record(index);
    if (!r) co_return false;
    r->n.datablocked = kTrue;
    std::chrono::milliseconds limit = FtpIdleLimit(g);
    WaitEnd end = co_await WaitForData(
        g, index, session,
        [&g, index, &data] {
          SessionRecord* now = g.Record(index);
          return !now || !now->n.datablocked || data.Gone();
        },
        limit);
    if (end == WaitEnd::kSessionEnded) co_return false;
    if (end == WaitEnd::kTimedOut) LogTimeOut(g, index, "RETR send", limit);
    if (end == WaitEnd::kTimedOut || data.Gone()) co_return false;
  }
}

// Steps 5 to 7: the data connection and the blocks. False on any failure.
asio::awaitable<bool> SendFile(Gateway& g, int index, SessionRef session, std::FILE* file, int64_t size) {
  if (!co_await OpenDataConnection(g, index, "RECV")) co_return false;
  std::vector<char> buffer(kBlockSize);
  int sent = 0;
  for (int64_t remaining = size; remaining >= 1;) {
    size_t block = remaining < static_cast<int64_t>(kBlockSize) ? static_cast<size_t>(remaining) : kBlockSize;
    if (std::fread(buffer.data(), 1, block, file) != block) co_return false;
    if (!co_await SendBlock(g, index, session, std::string_view(buffer.data(), block))) co_return false;
    remaining -= static_cast<int64_t>(block);
    if (++sent % kBlocksPerTurn == 0) co_await YieldOnce(g);  // other sessions go on
    if (!g.Holds(session)) co_return false;
  }
  co_return co_await CloseAfterSending(g, index, session, "RETR");
}

}  // namespace

asio::awaitable<void> RetrieveFile(Gateway& g, int index, std::string name) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  const SessionRef session = g.Ref(index);
  const std::string path = g.FTPExportDir + r->ftpdir + "\\" + name;
  const std::string missing = "550 " + name + " does not exist";
  if (!FileMatches(g.files, path) || path.find("..") != std::string::npos) {
    co_await SendReply(g, index, missing);
    co_return;
  }
  int fd = g.files.Open(path, O_RDONLY);
  FilePtr file(fd >= 0 ? ::fdopen(fd, "rb") : nullptr, &std::fclose);
  if (fd >= 0 && !file) ::close(fd);
  if (file) std::setvbuf(file.get(), nullptr, _IOFBF, kReadAhead);
  int64_t size = file && std::fseek(file.get(), 0, SEEK_END) == 0 ? std::ftell(file.get()) : -1;
  if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
    co_await SendReply(g, index, missing);
    co_return;
  }
  const std::string count = std::to_string(size);
  co_await SendReply(g, index, "150 OK, sending " + name + " (" + CommandEndpointText(g, index) + ") (" + count +
                                   " bytes)");
  bool sent = co_await SendFile(g, index, session, file.get(), size);
  file.reset();
  if (!g.Holds(session)) co_return;  // the session ended meanwhile
  if (!sent) {
    AbortDataConnection(g, index);
    co_await SendReply(g, index, missing);
    co_return;
  }
  co_await SendReply(g, index, "226 File transfer successful (" + count + " bytes)");
}

}  // namespace korvane
