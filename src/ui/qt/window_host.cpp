#include "ui/qt/window_host.h"

#include <QApplication>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "platform/event_pass.h"
#include "ui/operator_commands.h"
#include "ui/qt/change_queue.h"
#include "ui/qt/form1.h"
#include "ui/qt/qt_view.h"
#include "ui/window_model.h"

namespace korvane {
namespace {

bool Set(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// Connects to addr within a second; a display server answers at once.
bool Connects(int family, const sockaddr* addr, socklen_t size) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = ::connect(fd, addr, size) == 0;
  if (!ok && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t len = sizeof error;
    ok = ::poll(&p, 1, 1000) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
  }
  ::close(fd);
  return ok;
}

// A local socket by path; abstract names start with '@'.
bool LocalSocketConnects(const std::string& path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  if (path[0] == '@') addr.sun_path[0] = '\0';
  auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + (path[0] == '@' ? 0 : 1));
  return Connects(AF_UNIX, reinterpret_cast<sockaddr*>(&addr), size);
}

bool TcpConnects(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool ok = false;
  for (addrinfo* a = found; a && !ok; a = a->ai_next) ok = Connects(a->ai_family, a->ai_addr, a->ai_addrlen);
  ::freeaddrinfo(found);
  return ok;
}

// DISPLAY is [host]:number[.screen]; no host (or "unix") is the local
// server's socket, any other host its TCP port 6000 + number.
bool XDisplayReachable(const std::string& display) {
  size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = display.substr(0, colon);
  int number = std::atoi(display.c_str() + colon + 1);
  if (!host.empty() && host[0] == '/') return LocalSocketConnects(host);  // a launcher's socket path
  if (host.empty() || host == "unix") {
    std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
    return LocalSocketConnects("@" + socket) || LocalSocketConnects(socket);
  }
  return TcpConnects(host, 6000 + number);
}

// WAYLAND_DISPLAY is a socket path, or a name in XDG_RUNTIME_DIR.
bool WaylandDisplayReachable(const std::string& display) {
  if (display[0] == '/') return LocalSocketConnects(display);
  std::string runtime = Env("XDG_RUNTIME_DIR");
  return !runtime.empty() && LocalSocketConnects(runtime + "/" + display);
}

// Qt aborts the process when its platform cannot reach the display, so the
// display is tried first. A platform chosen with QT_QPA_PLATFORM is taken
// as it is.
bool DisplayUsable() {
  if (Set("QT_QPA_PLATFORM")) return true;
  std::string x = Env("DISPLAY"), wayland = Env("WAYLAND_DISPLAY");
  if (!x.empty() && XDisplayReachable(x)) return true;
  if (!wayland.empty() && WaylandDisplayReachable(wayland)) return true;
  std::string named;
  if (!x.empty()) named = "DISPLAY=" + x;
  if (!wayland.empty()) named += (named.empty() ? "" : ", ") + ("WAYLAND_DISPLAY=" + wayland);
  std::fprintf(stderr, "korvane: no display at %s: running headless\n", named.c_str());
  return false;
}

// Controls the window does not show; their changes are not queued.
bool Shown(const Change& c) { return c.control != "DirList" && c.control != "Timer1"; }

class QtWindowHost : public WindowHost {
 public:
  QtWindowHost(int& argc, char** argv) : app_(argc, argv) { app_.setQuitOnLastWindowClosed(false); }

  ~QtWindowHost() override { StopGateway(); }

  View* view() override { return &view_; }

  void Attach(asio::io_context& io, Gateway& g) override {
    io_ = &io;
    form_ = std::make_unique<Form1>([&io, &g](std::string command) {
      asio::co_spawn(io, RunOperatorCommand(g, std::move(command)), asio::detached);
    });
    view_.SetWindow(form_.get());
    Form1* form = form_.get();
    queue_ = std::make_unique<ChangeQueue>([this, form] {
      QMetaObject::invokeMethod(form, [this, form] { form->ApplyBatch(queue_->Take()); }, Qt::QueuedConnection);
    });
    // The loop does not run yet: reading the model here races with nothing.
    form_->ApplyBatch(Snapshot(g));
    g.feed.Subscribe([this](const Change& c) {
      if (Shown(c)) queue_->Push(c);
    });
  }

  int Run() override {
    StartGateway();
    int code = app_.exec();
    StopGateway();
    return code;
  }

  void StartGateway() override {
    // The window's commands are work to come: the loop waits for them even
    // when nothing else is pending.
    work_.emplace(io_->get_executor());
    gateway_ = std::thread([this] {
      RunCountingPasses(*io_);
      // The gateway has stopped (Exit): the window goes with it. Not quit(),
      // which asks the window to close first, and the window's close box
      // refuses (only minimises), so the loop would never end.
      QMetaObject::invokeMethod(&app_, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
  }

  void StopGateway() override {
    if (!gateway_.joinable()) return;
    work_.reset();
    io_->stop();
    gateway_.join();
  }

 private:
  QApplication app_;
  QtView view_;
  asio::io_context* io_ = nullptr;
  std::unique_ptr<Form1> form_;
  std::unique_ptr<ChangeQueue> queue_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::thread gateway_;
};

}  // namespace

std::unique_ptr<WindowHost> WindowHost::Open(int& argc, char** argv) {
  if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY") && !Set("QT_QPA_PLATFORM")) return nullptr;
  if (!DisplayUsable()) return nullptr;
  return std::make_unique<QtWindowHost>(argc, argv);
}

}  // namespace korvane
