#include "app/service_notify.h"

#include <cstdlib>

#ifdef KORVANE_WITH_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace korvane {

bool ServiceNotify(const std::string& state) {
#ifdef KORVANE_WITH_SYSTEMD
  return sd_notify(0, state.c_str()) > 0;
#else
  (void)state;
  return false;
#endif
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
