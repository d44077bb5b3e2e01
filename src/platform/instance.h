// One gateway per home folder. The running instance holds a lock file in
// its home and listens on a local socket there; a second instance finds the
// lock taken, and uses the socket to bring the first one to the front or to
// pass it operator commands.
#pragma once
#include <asio.hpp>

#include <functional>
#include <string>

namespace korvane {

class InstanceLock {
 public:
  ~InstanceLock();
  // True when this process now holds the home folder's lock.
  bool Acquire(const std::string& home);

 private:
  int fd_ = -1;
};

// Path of the running instance's local socket for a home folder.
std::string ControlSocketPath(const std::string& home);

// Serves one command line per connection; each answer is written back and
// the connection closed.
class ControlServer {
 public:
  using Handler = std::function<asio::awaitable<std::string>(std::string command)>;
  ControlServer(asio::io_context& io, Handler handler);
  ~ControlServer();
  bool Start(const std::string& home);

 private:
  asio::awaitable<void> AcceptLoop();
  asio::awaitable<void> Serve(asio::local::stream_protocol::socket socket);
  asio::io_context& io_;
  Handler handler_;
  asio::local::stream_protocol::acceptor acceptor_;
  std::string path_;
};

// An answer's first byte may say that the gateway did not do what was
// asked: it refused or failed, or the command itself was malformed. The
// client takes the mark off (see SendControlCommand).
inline constexpr char kAnswerRefused = '\x15';
inline constexpr char kAnswerUsage = '\x16';
enum class AnswerKind { kDone, kRefused, kUsage };

// Sends one command to the running instance; false when none answers.
// kind, when given, receives what the answer's mark said.
bool SendControlCommand(const std::string& home, const std::string& command, std::string& answer,
                        AnswerKind* kind = nullptr);

}  // namespace korvane
