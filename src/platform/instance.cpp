#include "platform/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <functional>

namespace korvane {

namespace local = asio::local;

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool InstanceLock::Acquire(const std::string& home) {
  std::string path = home + "/.korvane.lock";
  fd_ = ::open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  if (fd_ < 0) return true;  // no lock possible: run rather than refuse
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  return true;
}

std::string ControlSocketPath(const std::string& home) {
  std::string path = home + "/.korvane.sock";
  if (path.size() < 100) return path;
  // Too long for a socket address: use the abstract namespace, named by home.
  return std::string(1, '\0') + "korvane-" + std::to_string(std::hash<std::string>{}(home));
}

ControlServer::ControlServer(asio::io_context& io, Handler handler)
    : io_(io), handler_(std::move(handler)), acceptor_(io) {}

ControlServer::~ControlServer() {
  std::error_code ec;
  acceptor_.close(ec);
  if (!path_.empty() && path_[0] != '\0') ::unlink(path_.c_str());
}

bool ControlServer::Start(const std::string& home) {
  path_ = ControlSocketPath(home);
  if (path_[0] != '\0') ::unlink(path_.c_str());  // left by a run that crashed; we hold the lock
  std::error_code ec;
  local::stream_protocol::endpoint ep(path_);
  acceptor_.open(ep.protocol(), ec);
  if (!ec) acceptor_.bind(ep, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return false;
  asio::co_spawn(io_, AcceptLoop(), asio::detached);
  return true;
}

asio::awaitable<void> ControlServer::AcceptLoop() {
  for (;;) {
    std::error_code ec;
    auto socket = co_await acceptor_.async_accept(asio::redirect_error(asio::use_awaitable, ec));
    if (!acceptor_.is_open()) co_return;
    if (!ec) asio::co_spawn(io_, Serve(std::move(socket)), asio::detached);
  }
}

asio::awaitable<void> ControlServer::Serve(local::stream_protocol::socket socket) {
  std::string line;
  std::error_code ec;
  co_await asio::async_read_until(socket, asio::dynamic_buffer(line, 64 * 1024), '\n',
                                  asio::redirect_error(asio::use_awaitable, ec));
  if (ec) co_return;
  line.resize(line.find('\n'));
  std::string answer = co_await handler_(line);
  if (answer.empty() || answer.back() != '\n') answer += '\n';
  co_await asio::async_write(socket, asio::buffer(answer), asio::redirect_error(asio::use_awaitable, ec));
  socket.shutdown(local::stream_protocol::socket::shutdown_both, ec);
}

bool SendControlCommand(const std::string& home, const std::string& command, std::string& answer,
                        AnswerKind* kind) {
  asio::io_context io;
  local::stream_protocol::socket socket(io);
  std::error_code ec;
  socket.connect(local::stream_protocol::endpoint(ControlSocketPath(home)), ec);
  if (ec) return false;
  asio::write(socket, asio::buffer(command + "\n"), ec);
  if (ec) return false;
  answer.clear();
  char buf[4096];
  for (;;) {
    size_t n = socket.read_some(asio::buffer(buf), ec);
    answer.append(buf, n);
    if (ec) break;
  }
  AnswerKind said = AnswerKind::kDone;
  if (!answer.empty() && (answer[0] == kAnswerRefused || answer[0] == kAnswerUsage)) {
    said = answer[0] == kAnswerRefused ? AnswerKind::kRefused : AnswerKind::kUsage;
    answer.erase(0, 1);
  }
  if (kind) *kind = said;
  return true;
}

}  // namespace korvane
