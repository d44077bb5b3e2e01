#include "channel/block_sender.h"

#include <cstring>
#include <fstream>

#include "core/primitives.h"

namespace korvane {
namespace {

std::string Num(long long v) { return std::to_string(v); }

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
  uint64_t generation;
  bool Gone() const { return c.Gone() || (index > 0 && g.Generation(index) != generation); }
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

}  // namespace

asio::awaitable<bool> send_BinaryFile(Gateway& g, int index, SocketControl& c, std::string fname) {
  if (!g.files.IsFile(fname)) co_return false;
  std::ifstream file(g.files.Host(fname), std::ios::binary);
  if (!file) co_return false;
  Watch w{g, index, c, g.Generation(index)};

  int64_t block = kSendBlock;
  int64_t remaining = g.files.Length(fname);
  int64_t pos = 1;
  c.Tag.clear();
  c.LastError = 0;
  std::string buffer(kSendBlock, '\0');
  bool error = false;

  while (!error && remaining > 0 && !w.Gone()) {
    while (c.Connected() && !c.Writable() && !w.Gone()) co_await c.WaitWritable();
    if (w.Gone()) break;
    if (remaining < block) block = remaining;
    file.clear();  // a short read (the file shrank) must not stop later reads
    file.seekg(pos - 1);
    file.read(buffer.data(), block);
    if (w.Gone()) break;
    int sent = c.Send(std::string_view(buffer.data(), static_cast<size_t>(block)));
    co_await YieldOnce(g);
    if (sent == kWouldBlock) {
      LogEvent(g, &g.List1, "#" + Num(index) + " WOULDBLOCK at " + Num(pos));
      c.Tag.clear();
      co_await WaitForOkTag(g, w);
      if (w.Gone()) break;
      c.LastError = 0;  // the same block goes again on the next pass
    } else if (sent != 0) {
      error = true;
    } else {
      pos += block;
      remaining -= block;
    }
    co_await YieldOnce(g);
  }
  file.close();

  if (remaining != 0) {
    LogEvent(g, &g.List1, "#" + Num(index) + " aborted by client; bytes sent: " + Num(pos - 1));
  } else {
    co_await Pause(g, 0.1f);
  }
  if (error) {
    LogEvent(g, &g.List1, "#" + Num(index) + " error during send: " + Num(c.LastError) + " " + ErrorText(c.LastError));
    co_return false;
  }
  co_return true;
}

}  // namespace korvane
