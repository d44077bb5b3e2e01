#include "channel/block_sender.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/primitives.h"
#include "platform/file_handle.h"
#include "platform/text.h"

namespace korvane {
namespace {

// The description that goes with a socket error code in the log.
std::string ErrorText(int code) {
  if (code == kNotConnected) return "Socket is not connected";
  if (code == kWouldBlock) return "Operation would block";
  return std::strerror(code);
}

// The send loop's own view of "the connection is gone": the peer left, or
// the slot was ended (and perhaps given to another client) while we waited.
struct Watch {
  Gateway& g;
  int index;
  SocketControl& c;
  SessionRef session;
  bool Gone() const { return c.Gone() || (index > 0 && !g.Holds(session)); }
};

// Waits until the command socket's ready-to-write handler has set the tag.
// Without a handler wired the tag never comes; the socket being writable
// again is then as good.
asio::awaitable<void> WaitForOkTag(Gateway& g, const Watch& w) {
  while (w.c.Tag != "OK" && !w.Gone()) {
    co_await w.c.WaitWritable();
    if (w.c.Tag != "OK" && w.c.Writable() && !w.c.OnWritable) break;
    if (w.c.Tag != "OK") co_await Pause(g, 0.01f);
  }
}

// Reads n bytes of file at offset into the shared block buffer. Bytes the
// file no longer has (it shrank) are sent as zeros, never as another
// document's.
void ReadBlockAt(const FileHandle& file, char* into, size_t n, int64_t offset) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = ::pread(file.fd(), into + done, n - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
  if (done < n) std::memset(into + done, 0, n - done);
}

// Sends the run of blocks at offset with the kernel copying them from the
// page cache. The block the socket took only part of (or, when it took
// nothing, the first block) is completed by a send of its own, queued like
// any send, so that every block is taken whole, as by Send. Returns the
// bytes taken; 0 when none were, LastError saying why: kWouldBlock when
// the held head had to be queued (wait until the socket is writable), 0
// when the file ends before offset or the kernel cannot send from it (the
// caller copies the run), else the connection failed.
int64_t SendRunByKernel(SocketControl& c, const FileHandle& file, char* buffer, int64_t offset,
                        int64_t run) {
  const int64_t n = c.SendFileRun(file.fd(), offset, run);
  if (n == 0 && (c.LastError != kWouldBlock || !c.Writable())) return 0;
  const int64_t whole = n / kSendBlock * kSendBlock;
  if (n > 0 && (n == whole || n == run)) return n;
  const int64_t block = std::min<int64_t>(kSendBlock, run - whole);
  ReadBlockAt(file, buffer, static_cast<size_t>(block), offset + whole);
  const int64_t done = n - whole;
  if (c.Send(std::string_view(buffer + done, static_cast<size_t>(block - done))) != 0) return 0;
  return whole + block;
}

}  // namespace

asio::awaitable<bool> send_BinaryFile(Gateway& g, int index, SocketControl& c, std::string fname) {
  // Whatever the sender held back (an HTTP head) goes with the first block,
  // or on the way out when there is none.
  struct LetGo {
    SocketControl& c;
    ~LetGo() { c.HoldBack(false); }
  } let_go{c};
  // Opened first and measured through the descriptor: one look at the
  // name rather than two. O_NONBLOCK keeps a FIFO by that name from
  // holding the loop; it is refused below like anything that is not a
  // plain file, and changes nothing for one.
  FileHandle file(g.files.Open(fname, O_RDONLY | O_NONBLOCK));
  int64_t size = 0;
  if (!file.ok() || !file.PlainFileSize(size)) co_return false;
  Watch w{g, index, c, g.Ref(index)};

  int64_t remaining = size;
  int64_t pos = 1;
  c.Tag.clear();
  c.LastError = 0;
  // One block buffer for every send: each pass reads its block into it
  // just before sending, and a send copies what the socket does not take.
  // A fresh 4 KiB buffer per document made the allocator tidy its free
  // lists on every request.
  static std::string buffer(kSendBlock, '\0');
  bool error = false;
  // A document of more than one block leaves in runs: corked, every packet
  // but the last is full-sized, as a server writing it in one piece sends it.
  if (remaining > kSendBlock) c.Cork(true);

  while (!error && remaining > 0 && !w.Gone()) {
    while (c.Connected() && !c.Writable() && !w.Gone()) co_await c.WaitWritable();
    if (w.Gone()) break;
    if (remaining > kSendBlock) {
      // More than a block: the kernel sends the run, without copies here.
      const int64_t run = std::min<int64_t>(remaining, int64_t{kSendBlock} * kBlocksPerKernelPass);
      const int64_t taken = SendRunByKernel(c, file, buffer.data(), pos - 1, run);
      pos += taken;
      remaining -= taken;
      if (taken > 0 || c.LastError == kWouldBlock) {
        co_await YieldOnce(g);
        continue;
      }
      if (c.LastError != 0) {
        error = true;
        continue;
      }
      // Nothing taken, no error: the file shrank (the pass below sends
      // zeros for it) or the kernel cannot send from it (the pass copies).
    }
    // A short read (the file shrank) still sends a whole block.
    const int64_t block = std::min<int64_t>(remaining, kSendBlock);
    ReadBlockAt(file, buffer.data(), static_cast<size_t>(block), pos - 1);
    if (w.Gone()) break;
    int sent = c.Send(std::string_view(buffer.data(), static_cast<size_t>(block)));
    c.HoldBack(false);  // whatever waited (an HTTP head) leaves with this block
    if (sent == 0) {
      pos += block;
      remaining -= block;
    }
    co_await YieldOnce(g);
    if (sent == kWouldBlock) {
      LogEvent(g, &g.List1, '#' + Num(index) + " WOULDBLOCK at " + Num(pos));
      c.Tag.clear();
      co_await WaitForOkTag(g, w);
      if (w.Gone()) break;
      c.LastError = 0;  // the same block goes again on the next pass
    } else if (sent != 0) {
      error = true;
    }
  }
  file.Close();
  // The last short packet goes now. A session that has ended leaves the
  // socket alone: its slot may be another client's by now, and closing
  // sent what was held.
  if (!w.Gone()) c.Cork(false);

  if (remaining != 0) {
    LogEvent(g, &g.List1, '#' + Num(index) + " aborted by client; bytes sent: " + Num(pos - 1));
  } else {
    // The tenth of a second lets the answer drain before the session ends
    // and closes; a client that has read it all and closed already needs
    // no more, and its slot is free for the next at once.
    co_await c.WaitUnlessPeerCloses(std::chrono::milliseconds(100));
  }
  if (error) {
    LogEvent(g, &g.List1, '#' + Num(index) + " error during send: " + Num(c.LastError) + " " + ErrorText(c.LastError));
    co_return false;
  }
  co_return true;
}

}  // namespace korvane
