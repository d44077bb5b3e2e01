#include "platform/socket_control.h"

#include "platform/line_framer.h"
#include "platform/peer_names.h"
#include "platform/wakeup.h"

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

namespace korvane {

using asio::ip::tcp;
using namespace std::chrono_literals;

// One connection. The control points at its current Conn; coroutines of an
// older connection keep theirs and stop touching the control (owner is
// cleared) once the control has moved on or been destroyed.
struct SocketControl::Conn {
  explicit Conn(tcp::socket s) : socket(std::move(s)) {}
  tcp::socket socket;
  SocketControl* owner = nullptr;
  LineFramer framer;               // bytes read, not yet framed
  std::deque<std::string> lines;   // framed lines waiting for their handler
  size_t queued_bytes = 0;
  bool handling = false;           // a line handler is running
  std::string outbox;              // bytes accepted by Send, not yet written
  bool flushing = false;
  bool blocked = false;            // a send was refused since the last drain
  bool eof = false;                // the peer closed its side
  bool kept = false;               // open after the peer's end (KeepAfterPeerEnd)
  bool failed = false;
  bool closing = false;            // Close() was called
  bool released = false;
  bool connecting = false;         // an outgoing connect has not completed yet
  bool hold_next = false;          // the next send is held back (HoldBack)
  std::string held;                // a held-back send, waiting for the next
  bool corked = false;             // TCP_CORK is on (Cork)
  bool read_first = false;         // read before waiting: data may be there
  bool awaiting_room = false;      // a file send found the socket full (RaiseWhenWritable)
  Wakeup signal;                   // wakes the line loop, the reader and WaitWritable
  std::string peer_address;        // asked once: a connection's peer never changes
  std::optional<tcp::endpoint> local;  // asked once too, for the same reason

  // The connection's own address and port; nullptr when the socket cannot say.
  const tcp::endpoint* Local() {
    std::error_code ec;
    if (!local) {
      tcp::endpoint ep = socket.local_endpoint(ec);
      if (!ec) local = ep;
    }
    return local ? &*local : nullptr;
  }
  std::weak_ptr<asio::steady_timer> close_waiter;  // see WaitUnlessPeerCloses

  void WakeCloseWaiter() {
    if (auto t = close_waiter.lock()) t->cancel();
  }

  void Wake() { signal.WakeAll(); }
  bool Idle() const { return !handling && lines.empty(); }
};

namespace {

constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;

// Reads and writes are made with MSG_DONTWAIT instead of switching each
// connection to non-blocking mode, which would cost a system call per
// connection; the socket's readiness is waited for through Asio.
std::error_code LastSocketError() {
  if (errno == EAGAIN || errno == EWOULDBLOCK) return asio::error::would_block;
  return std::error_code(errno, asio::error::get_system_category());
}

size_t ReadNow(tcp::socket& s, void* buf, size_t size, std::error_code& ec) {
  for (;;) {
    ssize_t n = ::recv(s.native_handle(), buf, size, MSG_DONTWAIT);
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0) {
      ec = asio::error::eof;
      return 0;
    }
    if (errno == EINTR) continue;
    ec = LastSocketError();
    return 0;
  }
}

size_t WriteNow(tcp::socket& s, std::string_view first, std::string_view second,
                std::error_code& ec, int more = 0) {
  iovec parts[2] = {{const_cast<char*>(first.data()), first.size()},
                    {const_cast<char*>(second.data()), second.size()}};
  msghdr msg{};
  msg.msg_iov = parts;
  msg.msg_iovlen = second.empty() ? 1 : 2;
  for (;;) {
    ssize_t n = ::sendmsg(s.native_handle(), &msg, MSG_DONTWAIT | MSG_NOSIGNAL | more);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    ec = LastSocketError();
    return 0;
  }
}

// An address as text. IPv4 (every connection on most set-ups) is written
// here: the library's way goes through printf once per byte.
std::string AddressText(const asio::ip::address& address) {
  if (!address.is_v4()) return address.to_string();
  const auto bytes = address.to_v4().to_bytes();
  std::string text;
  for (unsigned char b : bytes) {
    if (!text.empty()) text.push_back('.');
    if (b >= 100) text.push_back(static_cast<char>('0' + b / 100));
    if (b >= 10) text.push_back(static_cast<char>('0' + b / 10 % 10));
    text.push_back(static_cast<char>('0' + b % 10));
  }
  return text;
}

}  // namespace

SocketControl::SocketControl(asio::io_context& io, Mode mode, int index)
    : io_(io), mode_(mode), index_(index), lookups_(std::make_shared<LookupToken>()) {}

SocketControl::~SocketControl() {
  {
    std::lock_guard<std::mutex> lock(lookups_->m);
    lookups_->alive = false;
  }
  if (conn_) {
    conn_->owner = nullptr;
    std::error_code ec;
    conn_->socket.close(ec);
    conn_->Wake();
  }
  if (acceptor_) {
    std::error_code ec;
    acceptor_->close(ec);
  }
}

std::error_code SocketControl::Listen(const std::string& bind_address, int port) {
  std::error_code ec;
  auto acceptor = std::make_shared<tcp::acceptor>(io_);
  asio::ip::address addr = asio::ip::address_v4::any();
  if (!bind_address.empty()) {
    addr = asio::ip::make_address(bind_address, ec);
    if (ec) return ec;
  }
  tcp::endpoint ep(addr, static_cast<unsigned short>(port));
  acceptor->open(ep.protocol(), ec);
  if (ec) return ec;
  acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
  // Accepted connections take TCP_NODELAY over from their listener.
  acceptor->set_option(tcp::no_delay(true), ec);
  ec.clear();
  acceptor->bind(ep, ec);
  if (ec) return ec;
  acceptor->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return ec;
  if (acceptor_) {
    std::error_code ignored;
    acceptor_->close(ignored);
  }
  acceptor_ = acceptor;
  bind_address_ = bind_address;
  // The address a listener is bound to never changes: asked once, not on
  // every request that names it.
  auto local = acceptor->local_endpoint(ec);
  listen_address_ = !ec && !local.address().is_unspecified() ? local.address().to_string() : "";
  asio::co_spawn(io_, AcceptLoop(acceptor), asio::detached);
  return {};
}

bool SocketControl::Listening() const { return acceptor_ && acceptor_->is_open(); }

std::string SocketControl::ListenEndpoint() const {
  if (!Listening()) return "";
  std::error_code ec;
  tcp::endpoint local = acceptor_->local_endpoint(ec);
  if (ec) return "";
  return local.address().to_string() + ":" + std::to_string(local.port());
}

asio::awaitable<void> SocketControl::AcceptLoop(std::shared_ptr<tcp::acceptor> acceptor) {
  for (;;) {
    std::error_code ec;
    tcp::endpoint peer;
    tcp::socket s =
        co_await acceptor->async_accept(peer, asio::redirect_error(asio::use_awaitable, ec));
    if (!acceptor->is_open() || acceptor_ != acceptor) co_return;
    if (ec) {
      // Out of descriptors and the like: wait a moment rather than spin.
      asio::steady_timer t(io_, 100ms);
      co_await t.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      continue;
    }
    if (OnIncoming) OnIncoming(std::move(s), AddressText(peer.address()));
  }
}

void SocketControl::Accept(tcp::socket socket, std::string peer_address) {
  if (conn_) Release(conn_);
  Tag.clear();
  auto conn = std::make_shared<Conn>(std::move(socket));
  conn->peer_address = std::move(peer_address);
  Start(conn, true);
}

// An accepted connection has TCP_NODELAY from its listener already, and its
// first data has often arrived with it.
void SocketControl::Start(std::shared_ptr<Conn> conn, bool accepted) {
  if (!accepted) {
    std::error_code ec;
    conn->socket.set_option(tcp::no_delay(true), ec);
  }
  conn->read_first = accepted;
  conn->owner = this;
  conn_ = conn;
  asio::co_spawn(io_, ReadLoop(conn), asio::detached);
  if (mode_ == Mode::Line) asio::co_spawn(io_, LineLoop(conn), asio::detached);
}

void SocketControl::Connect(const std::string& host, int port) {
  if (conn_) Release(conn_);
  auto conn = std::make_shared<Conn>(tcp::socket(io_));
  conn->owner = this;
  conn->connecting = true;
  conn_ = conn;
  std::error_code ec;
  auto addr = asio::ip::make_address(host, ec);
  if (ec) {
    conn->failed = true;
    asio::post(io_, [this, conn] {
      if (conn->owner == this && OnDisconnected) OnDisconnected();
    });
    return;
  }
  conn->socket.async_connect(tcp::endpoint(addr, static_cast<unsigned short>(port)),
                             [this, conn](std::error_code e) {
                               conn->connecting = false;
                               if (conn->owner != this) return;
                               if (e) {
                                 conn->failed = true;
                                 LastError = e.value();
                                 if (OnDisconnected) OnDisconnected();
                                 return;
                               }
                               Start(conn, false);
                               if (OnConnected) OnConnected();
                             });
}

bool SocketControl::Connected() const {
  if (!conn_ || conn_->closing || conn_->failed || conn_->connecting || !conn_->socket.is_open()) return false;
  if (conn_->eof && conn_->Idle() && conn_->outbox.empty() && !KeepsAfterPeerEnd(*conn_)) return false;
  return true;
}

// Once kept, a connection stays so until it is closed: the answer's end may
// clear what the owner decided by (the session's state) before it closes.
bool SocketControl::KeepsAfterPeerEnd(Conn& c) const {
  if (!c.kept) c.kept = KeepAfterPeerEnd && KeepAfterPeerEnd();
  return c.kept && !c.failed;
}

bool SocketControl::Writable() const { return Connected() && conn_->outbox.empty(); }

bool SocketControl::Gone() const {
  return !conn_ || conn_->failed || conn_->closing || (conn_->eof && !KeepsAfterPeerEnd(*conn_));
}

int SocketControl::Send(std::string_view data) {
  if (!Sendable()) return LastError;
  Conn& c = *conn_;
  if (mode_ == Mode::Byte) return Gather(data);
  if (!c.outbox.empty()) {
    c.blocked = true;
    LastError = kWouldBlock;
    return LastError;
  }
  if (c.hold_next) {
    c.hold_next = false;
    c.held.assign(data);
    return 0;
  }
  std::string held = std::move(c.held);
  c.held.clear();
  return SendNow(c, held, data);
}

// Writes first and second in one call; what the socket does not take now
// is queued and written as it drains.
int SocketControl::SendNow(Conn& c, std::string_view first, std::string_view second, int more) {
  std::error_code ec;
  size_t n = WriteNow(c.socket, first, second, ec, more);
  if (ec && ec != asio::error::would_block) {
    c.failed = true;
    LastError = ec.value();
    return LastError;
  }
  const size_t total = first.size() + second.size();
  if (n < total) {
    if (n < first.size()) {
      c.outbox.assign(first.substr(n));
      c.outbox.append(second);
    } else {
      c.outbox.assign(second.substr(n - first.size()));
    }
    if (!c.flushing) asio::co_spawn(io_, FlushLoop(conn_), asio::detached);
  }
  return 0;
}

void SocketControl::HoldBack(bool on) {
  if (!conn_) return;
  Conn& c = *conn_;
  c.hold_next = on;
  if (on || c.held.empty()) return;
  // Nothing followed what was held back: let it go now.
  std::string held = std::move(c.held);
  c.held.clear();
  if (!c.closing && !c.failed && c.socket.is_open()) SendNow(c, held, {});
}

void SocketControl::Cork(bool on) {
  if (!conn_ || conn_->corked == on || !conn_->socket.is_open()) return;
  int value = on ? 1 : 0;
  if (::setsockopt(conn_->socket.native_handle(), IPPROTO_TCP, TCP_CORK, &value, sizeof value) == 0) {
    conn_->corked = on;
  }
}

// A byte socket (a data connection) takes what is sent into its own buffer
// and writes it once the sending event is done, as a socket control with a
// send buffer does: a file sent in 4096-byte blocks goes out in large
// writes. A send that would take the buffer past kGatherLimit is refused
// (would block) until the buffer has drained.
int SocketControl::Gather(std::string_view data) {
  constexpr size_t kGatherLimit = 256 * 1024;
  Conn& c = *conn_;
  if (!c.outbox.empty() && c.outbox.size() + data.size() > kGatherLimit) {
    c.blocked = true;
    LastError = kWouldBlock;
    return LastError;
  }
  c.outbox.append(data);
  if (!c.flushing) {
    c.flushing = true;
    asio::co_spawn(io_, FlushLoop(conn_), asio::detached);
  }
  return 0;
}

asio::awaitable<void> SocketControl::FlushLoop(std::shared_ptr<Conn> conn) {
  conn->flushing = true;
  while (!conn->outbox.empty() && conn->socket.is_open()) {
    std::error_code ec;
    co_await conn->socket.async_wait(tcp::socket::wait_write,
                                     asio::redirect_error(asio::use_awaitable, ec));
    if (ec) break;
    size_t n = WriteNow(conn->socket, conn->outbox, {}, ec);
    if (ec && ec != asio::error::would_block) {
      conn->failed = true;
      break;
    }
    conn->outbox.erase(0, n);
  }
  conn->flushing = false;
  if (!conn->outbox.empty()) conn->outbox.clear();  // connection failed
  conn->Wake();
  if (conn->owner != this) co_return;
  if (conn->eof && conn->Idle() && !KeepsAfterPeerEnd(*conn)) Release(conn);
  RaiseWritable(conn);
}

void SocketControl::RaiseWritable(const std::shared_ptr<Conn>& conn) {
  if (conn->blocked && !conn->failed && !conn->closing) {
    conn->blocked = false;
    if (OnWritable) OnWritable();
  }
}

// sendfile has no MSG_DONTWAIT: the socket is switched to non-blocking mode
// first (once: Asio keeps the mode, so asking costs no system call). Nor
// has it MSG_NOSIGNAL: a client that has reset raises SIGPIPE, which the
// process ignores (main). Returns the bytes sent, or -1 with errno set.
ssize_t SocketControl::KernelSend(Conn& c, int fd, off_t* at, int64_t count) {
  if (!c.socket.native_non_blocking()) {
    std::error_code ec;
    c.socket.native_non_blocking(true, ec);
    if (ec) {
      errno = ec.value();
      return -1;
    }
  }
  for (;;) {
    ssize_t n = ::sendfile(c.socket.native_handle(), fd, at, static_cast<size_t>(count));
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool SocketControl::Sendable() {
  if (conn_ && !conn_->closing && !conn_->failed && conn_->socket.is_open()) return true;
  LastError = kNotConnected;
  return false;
}

// The held-back head is written with MSG_MORE, so that it leaves in one
// packet with the file's first bytes rather than alone.
int64_t SocketControl::SendFileRun(int fd, int64_t offset, int64_t count) {
  if (!Sendable()) return 0;
  Conn& c = *conn_;
  LastError = 0;
  if (!c.outbox.empty()) {
    LastError = kWouldBlock;
    return 0;
  }
  if (!c.held.empty()) {
    std::string held = std::move(c.held);
    c.held.clear();
    c.hold_next = false;
    if (SendNow(c, held, {}, MSG_MORE) != 0) return 0;
    if (!c.outbox.empty()) {
      LastError = kWouldBlock;
      return 0;
    }
  }
  off_t at = static_cast<off_t>(offset);
  ssize_t n = KernelSend(c, fd, &at, count);
  if (n >= 0) return n;  // 0: the file ends before offset
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    LastError = kWouldBlock;
  } else if (errno != EINVAL && errno != ENOSYS) {
    LastError = errno;
    c.failed = true;
  }
  // EINVAL, ENOSYS: a file the kernel cannot send from, answered like a
  // file that ends here, so the caller copies it instead.
  return 0;
}

// A file is sent by the kernel from the page cache, without passing through
// the outbox; a full socket is waited for here.
int64_t SocketControl::SendFromFile(int fd, int64_t* offset, int64_t count) {
  if (!Sendable()) return 0;
  Conn& c = *conn_;
  if (!c.outbox.empty()) {  // gathered sends go first; OnWritable follows them
    c.blocked = true;
    LastError = kWouldBlock;
    return 0;
  }
  off_t at = static_cast<off_t>(*offset);
  ssize_t n = KernelSend(c, fd, &at, count);
  if (n > 0) {
    *offset = at;
    return n;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    c.blocked = true;
    LastError = kWouldBlock;
    if (!c.awaiting_room) asio::co_spawn(io_, RaiseWhenWritable(conn_), asio::detached);
    return 0;
  }
  LastError = n == 0 ? EIO : errno;  // 0: the file is shorter than it was
  if (n < 0) c.failed = true;
  return 0;
}

asio::awaitable<void> SocketControl::RaiseWhenWritable(std::shared_ptr<Conn> conn) {
  conn->awaiting_room = true;
  std::error_code ec;
  co_await conn->socket.async_wait(tcp::socket::wait_write, asio::redirect_error(asio::use_awaitable, ec));
  conn->awaiting_room = false;
  conn->Wake();
  if (conn->owner == this) RaiseWritable(conn);
}

asio::awaitable<void> SocketControl::WaitUnlessPeerCloses(std::chrono::milliseconds limit) {
  auto conn = conn_;
  if (!conn || conn->eof || conn->closing || conn->failed) co_return;
  auto timer = std::make_shared<asio::steady_timer>(io_, limit);
  conn->close_waiter = timer;
  std::error_code ec;
  co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

asio::awaitable<void> SocketControl::WaitWritable() {
  auto conn = conn_;
  while (conn && conn == conn_ && !conn->outbox.empty() && !conn->failed && !conn->closing) {
    co_await conn->signal.Wait();
  }
}

void SocketControl::SplitLines(Conn& c, bool eof) {
  for (;;) {
    auto line = c.framer.Next(BodyPieceAt ? BodyPieceAt() : 0, eof);
    if (!line) return;
    c.queued_bytes += line->size();
    c.lines.push_back(std::move(*line));
    // The body count changes only as lines are handled; frame an
    // unterminated rest after that handler has run.
    if (BodyPieceAt && !c.framer.Empty() && !c.framer.HasLineEnd()) return;
  }
}

asio::awaitable<void> SocketControl::ReadLoop(std::shared_ptr<Conn> conn) {
  // One read buffer for all connections (everything runs on one thread):
  // wait until there is something to read, then read it at once, so an idle
  // connection holds no buffer of its own. It is large so that an upload
  // arrives in few pieces: each piece is one data event (and one log line).
  static std::string buf(256 * 1024, '\0');
  for (;;) {
    if (conn->owner != this || conn->closing) co_return;
    if (conn->queued_bytes > kMaxQueuedBytes) {  // the handler is behind: stop reading
      co_await conn->signal.Wait();
      continue;
    }
    std::error_code ec;
    const bool first = conn->read_first;
    if (first) {
      // Not before the event that took the connection is done with it.
      co_await asio::post(conn->socket.get_executor(), asio::use_awaitable);
    } else {
      co_await conn->socket.async_wait(tcp::socket::wait_read,
                                       asio::redirect_error(asio::use_awaitable, ec));
    }
    if (conn->owner != this || conn->closing) co_return;
    conn->read_first = false;
    size_t n = 0;
    if (!ec) {
      n = ReadNow(conn->socket, buf.data(), buf.size(), ec);
      if (ec == asio::error::would_block) continue;
    }
    if (ec) {
      PeerClosed(conn, ec != asio::error::eof);
      co_return;
    }
    if (mode_ == Mode::Byte) {
      if (OnData) OnData(buf.substr(0, n));
      continue;
    }
    conn->framer.Feed(std::string_view(buf.data(), n));
    SplitLines(*conn, false);
    conn->Wake();
    if (first) {
      // Registering the connection reported the data just read as a
      // readiness still queued; let it pass before waiting, or it would
      // wake the wait for nothing.
      co_await asio::post(conn->socket.get_executor(), asio::use_awaitable);
    }
  }
}

asio::awaitable<void> SocketControl::LineLoop(std::shared_ptr<Conn> conn) {
  for (;;) {
    if (conn->owner != this || conn->closing) co_return;
    if (conn->lines.empty()) {
      if (conn->eof) {
        if (conn->outbox.empty() && !KeepsAfterPeerEnd(*conn)) Release(conn);
        co_return;
      }
      co_await conn->signal.Wait();
      continue;
    }
    std::string line = std::move(conn->lines.front());
    conn->lines.pop_front();
    conn->queued_bytes -= line.size();
    conn->handling = true;
    if (OnLine) co_await OnLine(std::move(line));
    conn->handling = false;
    if (conn->owner != this) co_return;
    SplitLines(*conn, conn->eof);
    conn->Wake();  // the reader may be waiting for the queue to shrink
  }
}

void SocketControl::PeerClosed(const std::shared_ptr<Conn>& conn, bool failed) {
  conn->eof = true;
  conn->failed = conn->failed || failed;
  conn->WakeCloseWaiter();
  if (mode_ == Mode::Line) SplitLines(*conn, true);
  conn->Wake();
  if (failed) {
    if (OnDisconnected) OnDisconnected();
  } else if (OnClosedByPeer) {
    OnClosedByPeer();
  }
  if (mode_ == Mode::Byte || conn->Idle()) {
    if ((conn->outbox.empty() && !KeepsAfterPeerEnd(*conn)) || conn->failed) Release(conn);
  }
}

// Closes a connection whose peer is gone and whose input has been handled.
void SocketControl::Release(const std::shared_ptr<Conn>& conn) {
  if (conn->released) return;
  conn->released = true;
  conn->closing = true;
  std::error_code ec;
  conn->socket.close(ec);
  conn->Wake();
  conn->WakeCloseWaiter();
}

void SocketControl::Close() {
  if (acceptor_) {
    std::error_code ec;
    acceptor_->close(ec);
    acceptor_.reset();
  }
  auto conn = conn_;
  if (!conn || conn->closing) return;
  conn->closing = true;
  conn->lines.clear();
  if (!conn->held.empty()) {
    conn->outbox.insert(0, conn->held);
    conn->held.clear();
  }
  conn->Wake();
  conn->WakeCloseWaiter();
  if (conn->eof && conn->outbox.empty()) {
    // The peer has closed its side and all it sent has been read: nothing
    // is left to drain, and closing now cannot reset the connection.
    std::error_code ec;
    conn->socket.close(ec);
    return;
  }
  // Flush what is queued, shut the sending side, drain what the peer still
  // sends for a moment, then close: closing with unread input would reset
  // the connection and could cut the answer short.
  asio::co_spawn(io_, [conn]() -> asio::awaitable<void> {
    std::error_code ec;
    while (!conn->outbox.empty() && conn->socket.is_open()) {
      co_await conn->socket.async_wait(tcp::socket::wait_write,
                                       asio::redirect_error(asio::use_awaitable, ec));
      if (ec) break;
      size_t n = WriteNow(conn->socket, conn->outbox, {}, ec);
      if (ec && ec != asio::error::would_block) break;
      conn->outbox.erase(0, n);
    }
    conn->socket.shutdown(tcp::socket::shutdown_send, ec);
    asio::steady_timer limit(conn->socket.get_executor(), 2s);
    limit.async_wait([conn](std::error_code e) {
      if (!e) {
        std::error_code ignored;
        conn->socket.close(ignored);
      }
    });
    // Read first: the reader may have taken the readiness of an end that
    // has already arrived, and no new event would come for it.
    char sink[4096];
    while (conn->socket.is_open()) {
      ec = {};
      ReadNow(conn->socket, sink, sizeof sink, ec);
      if (ec == asio::error::would_block) {
        co_await conn->socket.async_wait(tcp::socket::wait_read,
                                         asio::redirect_error(asio::use_awaitable, ec));
      }
      if (ec) break;
    }
    limit.cancel();
    conn->socket.close(ec);
  }, asio::detached);
}

void SocketControl::Abort() {
  if (!conn_) return;
  conn_->closing = true;
  std::error_code ec;
  conn_->socket.set_option(asio::socket_base::linger(true, 0), ec);
  conn_->socket.close(ec);
  conn_->Wake();
}

std::string SocketControl::LocalAddress() const {
  if (const tcp::endpoint* ep = conn_ && conn_->socket.is_open() ? conn_->Local() : nullptr) {
    return AddressText(ep->address());
  }
  if (acceptor_ && acceptor_->is_open() && !listen_address_.empty()) return listen_address_;
  if (!bind_address_.empty() && bind_address_ != "0.0.0.0") return bind_address_;
  return MachineAddress();
}

std::string SocketControl::LocalName() const { return MachineName(); }

int SocketControl::LocalPortNow() const {
  std::error_code ec;
  // A listening socket reports its listener's port, even while an earlier
  // connection of the same control is still closing (FTP's PASV).
  if (acceptor_ && acceptor_->is_open()) {
    auto ep = acceptor_->local_endpoint(ec);
    if (!ec) return ep.port();
  }
  if (const tcp::endpoint* ep = conn_ && conn_->socket.is_open() ? conn_->Local() : nullptr) return ep->port();
  return LocalPort;
}

std::string SocketControl::PeerAddress() const {
  std::error_code ec;
  if (conn_ && conn_->socket.is_open()) {
    if (!conn_->peer_address.empty()) return conn_->peer_address;
    auto ep = conn_->socket.remote_endpoint(ec);
    if (!ec) conn_->peer_address = AddressText(ep.address());
    return conn_->peer_address;
  }
  return "";
}

void SocketControl::LookupPeerName(std::function<void(std::string)> done) const {
  LookupHostName(io_, PeerAddress(), lookups_, std::move(done));
}

namespace {

// The machine's address and name are asked for on every web request and
// FTP greeting; asking the system (a netlink round for the addresses) each
// time is wasted work for values that change rarely. Each is kept for a few
// seconds, so a change is still seen soon.
class Remembered {
 public:
  explicit Remembered(std::string (*ask)()) : ask_(ask) {}
  std::string Get() {
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(m_);
    if (!known_ || now - when_ > 5s) {
      value_ = ask_();
      when_ = now;
      known_ = true;
    }
    return value_;
  }

 private:
  std::string (*ask_)();
  std::mutex m_;
  bool known_ = false;
  std::chrono::steady_clock::time_point when_;
  std::string value_;
};

std::string AskMachineAddress() {
  std::string found = "127.0.0.1";
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    auto* in = reinterpret_cast<sockaddr_in*>(a->ifa_addr);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    if (std::string(text).rfind("127.", 0) == 0) continue;
    found = text;
    break;
  }
  freeifaddrs(list);
  return found;
}

std::string AskMachineName() {
  char name[256] = {0};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

}  // namespace

std::string MachineAddress() {
  static Remembered address(AskMachineAddress);
  return address.Get();
}

std::string MachineName() {
  static Remembered name(AskMachineName);
  return name.Get();
}

}  // namespace korvane
