#include "app/service_notify.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/local_address.h"

namespace korvane {

// The notification is one datagram to the Unix socket named in
// NOTIFY_SOCKET (a path, or an abstract name written with a leading '@'),
// what sd_notify(3) sends; done here, the gateway need not load libsystemd
// and the libraries it brings for these few lines.
bool ServiceNotify(const std::string& state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  sockaddr_un addr;
  socklen_t size;
  if (!name || (name[0] != '/' && name[0] != '@') || !LocalAddress(name, addr, size)) return false;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), size);
  ::close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

int OpenSessions(Gateway& g) { return SlotsInUse(g); }

namespace {

std::string StatusLine(Gateway& g) {
  std::string where = g.CommandSock(0).ListenEndpoint();
  std::string text = where.empty() ? "not listening" : "listening on " + where;
  int n = OpenSessions(g);
  return "STATUS=" + text + ", " + std::to_string(n) + (n == 1 ? " session" : " sessions");
}

void Watch(Gateway& g, std::shared_ptr<asio::steady_timer> timer, std::string last) {
  timer->expires_after(std::chrono::seconds(1));
  timer->async_wait([&g, timer, last](std::error_code ec) {
    if (ec) return;
    std::string now = StatusLine(g);
    if (now != last) ServiceNotify(now);
    Watch(g, timer, now);
  });
}

}  // namespace

void StartServiceStatus(Gateway& g) {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (!socket || !*socket) return;
  std::string status = StatusLine(g);
  ServiceNotify("READY=1\n" + status);
  Watch(g, std::make_shared<asio::steady_timer>(g.io), status);
}

}  // namespace korvane
