#include "app/window_module.h"

#include <dlfcn.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/local_address.h"
#include "platform/process.h"

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
  sockaddr_un addr;
  socklen_t size;
  return LocalAddress(path, addr, size) && Connects(AF_UNIX, reinterpret_cast<sockaddr*>(&addr), size);
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

std::string ExecutableDir() {
  std::string exe = SelfExecutablePath();
  size_t slash = exe.rfind('/');
  return slash == std::string::npos ? "." : exe.substr(0, slash);
}

bool Exists(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

}  // namespace

std::string WindowModulePath(const std::string& executable_dir) {
  std::string beside = executable_dir + "/" KORVANE_WINDOW_MODULE;
  if (Exists(beside)) return beside;
  return executable_dir + "/" KORVANE_WINDOW_MODULE_DIR "/" KORVANE_WINDOW_MODULE;
}

std::unique_ptr<WindowHost> OpenWindow(int& argc, char** argv) {
  if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY") && !Set("QT_QPA_PLATFORM")) return nullptr;
  if (!DisplayUsable()) return nullptr;
  std::string path = WindowModulePath(ExecutableDir());
  // Never closed: the window's code runs until the process ends.
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  void* open = module ? ::dlsym(module, kWindowOpenSymbol) : nullptr;
  if (!open) {
    const char* why = ::dlerror();
    std::fprintf(stderr, "korvane: cannot load the window (%s): running headless\n", why ? why : path.c_str());
    return nullptr;
  }
  return std::unique_ptr<WindowHost>(reinterpret_cast<decltype(&korvane_window_open)>(open)(&argc, argv));
}

}  // namespace korvane
