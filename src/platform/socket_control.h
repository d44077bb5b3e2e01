// The socket control: one object per slot for the command connection
// (line mode) and one for FTP data (byte mode), over Asio TCP sockets.
//
// What callers rely on:
//   - line mode delivers each complete line with its terminator (CR LF, or a
//     lone LF), in arrival order, one at a time: the next line is delivered
//     only after the previous line's handler has finished, even when that
//     handler waits;
//   - a line longer than kMaxLine is delivered in pieces of that size;
//   - an unterminated piece is delivered as one line once it holds as many
//     bytes as BodyPieceAt() says the body still expects (a browser sends
//     form bodies without a final CR LF);
//   - Send() never blocks: when earlier data is still queued it refuses with
//     LastError 24035 and raises OnWritable once the queue has drained; a
//     byte-mode socket first takes up to 256 KiB into its queue, written
//     once the sending event is done, so small blocks leave in large writes;
//   - Close() never loses queued data: it flushes, shuts the sending side,
//     drains what the peer still sends for a moment, then closes.
#pragma once
#include <sys/types.h>

#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

namespace korvane {

struct LookupToken;

constexpr int kWouldBlock = 24035;
constexpr int kNotConnected = 10057;

class SocketControl {
 public:
  enum class Mode { Line, Byte };

  SocketControl(asio::io_context& io, Mode mode, int index);
  ~SocketControl();
  SocketControl(const SocketControl&) = delete;
  SocketControl& operator=(const SocketControl&) = delete;

  int index() const { return index_; }
  Mode mode() const { return mode_; }

  // Events. Each is optional.
  std::function<asio::awaitable<void>(std::string line)> OnLine;  // line mode
  std::function<void(std::string bytes)> OnData;                   // byte mode
  // listening socket: an accepted connection and its peer's address
  std::function<void(asio::ip::tcp::socket, std::string)> OnIncoming;
  std::function<void()> OnConnected;     // an outgoing connect completed
  std::function<void()> OnWritable;      // ready to write after a blocked send
  std::function<void()> OnClosedByPeer;  // the peer closed its side
  std::function<void()> OnDisconnected;  // the connection failed or was reset
  std::function<long()> BodyPieceAt;     // see above; <= 0: never
  // A peer that closes only its sending side may still read. While this
  // says true, such a connection stays open and writable until Close (it
  // is asked when the end arrives and as the connection would be closed);
  // unset or false: the connection goes once its input is handled.
  std::function<bool()> KeepAfterPeerEnd;

  std::string Tag;
  int LastError = 0;
  int LocalPort = 0;  // port to listen on (0: system-chosen)

  // Listening. bind_address may be empty (all interfaces).
  std::error_code Listen(const std::string& bind_address, int port);
  bool Listening() const;
  // "address:port" the listener is bound to ("0.0.0.0:80" for all
  // interfaces); empty when not listening.
  std::string ListenEndpoint() const;

  // Takes an accepted connection ("accept from handle"); peer_address is
  // the address accept gave, asked of the socket when empty.
  void Accept(asio::ip::tcp::socket socket, std::string peer_address = "");
  // Connects to host:port; raises OnConnected, or OnDisconnected on failure.
  void Connect(const std::string& host, int port);

  bool Connected() const;
  bool Writable() const;  // connected and nothing queued
  bool Gone() const;      // the peer closed or the connection failed

  // Sends data unchanged. Returns 0, kWouldBlock, or another error code
  // (also left in LastError).
  int Send(std::string_view data);
  // Byte mode: sends up to count bytes of the open file fd from *offset,
  // straight from the page cache, and advances *offset. Returns the bytes
  // taken; 0 with LastError kWouldBlock when the socket is full (OnWritable
  // follows once it can take more), or 0 with another LastError when the
  // connection failed or the file ended early.
  int64_t SendFromFile(int fd, int64_t* offset, int64_t count);
  // Line mode, for a document: what is held back (an HTTP head) goes first,
  // then up to count bytes of the open file fd from offset, copied by the
  // kernel from the page cache. Returns the bytes of the file taken; 0 with
  // LastError kWouldBlock when the socket takes nothing now (nothing of the
  // file is queued, unlike Send; Writable() is false when the held send had
  // to be queued), 0 with LastError 0 when the file ends before offset or
  // cannot be sent by the kernel, or 0 with another LastError when the
  // connection failed.
  int64_t SendFileRun(int fd, int64_t offset, int64_t count);

  void Close();  // socket action 7
  void Abort();  // socket action 8

  // HoldBack(true): the next send waits in the connection and leaves with
  // the one after it, in one write, so that an HTTP head and the first
  // block of its document leave as one packet instead of two.
  // HoldBack(false) lets a held send go when nothing followed it; closing
  // lets it go too.
  void HoldBack(bool on);

  // Cork(true): the kernel sends only full-sized packets until Cork(false),
  // which sends what is left at once (closing does too). A large file sent
  // in runs would otherwise end every run with a short packet, and the
  // client would wake for each of them.
  void Cork(bool on);

  // Waits until nothing is queued for sending or the connection is gone.
  asio::awaitable<void> WaitWritable();

  // Waits for limit, or less when the peer closes its side (or the
  // connection ends) first: a pause that lets an answer drain to a client
  // has nothing left to wait for once that client has gone.
  asio::awaitable<void> WaitUnlessPeerCloses(std::chrono::milliseconds limit);

  std::string LocalAddress() const;
  std::string LocalName() const;
  int LocalPortNow() const;
  std::string PeerAddress() const;
  // Looks up the peer's host name off the gateway thread, with a short
  // limit; calls done (on the gateway thread) with the name, or the address
  // text when there is none.
  void LookupPeerName(std::function<void(std::string)> done) const;

  struct Conn;  // one connection's state, shared with its coroutines

 private:
  void Start(std::shared_ptr<Conn> conn, bool accepted);
  int SendNow(Conn& c, std::string_view first, std::string_view second, int more = 0);
  // Whether there is a connection to send on; sets LastError when not.
  bool Sendable();
  ssize_t KernelSend(Conn& c, int fd, off_t* at, int64_t count);
  asio::awaitable<void> ReadLoop(std::shared_ptr<Conn> conn);
  asio::awaitable<void> LineLoop(std::shared_ptr<Conn> conn);
  asio::awaitable<void> FlushLoop(std::shared_ptr<Conn> conn);
  asio::awaitable<void> RaiseWhenWritable(std::shared_ptr<Conn> conn);
  void RaiseWritable(const std::shared_ptr<Conn>& conn);
  int Gather(std::string_view data);
  asio::awaitable<void> AcceptLoop(std::shared_ptr<asio::ip::tcp::acceptor> acceptor);
  void SplitLines(Conn& conn, bool eof);
  void PeerClosed(const std::shared_ptr<Conn>& conn, bool failed);
  void Release(const std::shared_ptr<Conn>& conn);
  bool KeepsAfterPeerEnd(Conn& c) const;

  asio::io_context& io_;
  Mode mode_;
  int index_;
  std::shared_ptr<Conn> conn_;
  std::shared_ptr<asio::ip::tcp::acceptor> acceptor_;
  std::string listen_address_;  // the listener's bound address; empty: any
  std::string bind_address_;
  std::shared_ptr<LookupToken> lookups_;  // answers of name look-ups go only to a live control
};

// The machine's own address text (first non-loopback IPv4 address, else
// 127.0.0.1) and host name.
std::string MachineAddress();
std::string MachineName();

}  // namespace korvane
