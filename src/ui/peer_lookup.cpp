#include "ui/peer_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "platform/instance.h"

namespace korvane {
namespace {

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  size_t start = s.find_first_not_of(' ');
  return start == std::string::npos ? "" : s.substr(start);
}

}  // namespace

std::string HostNameOf(const std::string& address) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    length = sizeof *v4;
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    length = sizeof *v6;
  } else {
    return address;
  }
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
    return address;
  return host;
}

int RunPeerLookup(const std::string& home, const std::vector<std::string>& args) {
  std::string address = args.empty() ? "clip" : args[0];
  bool from_clipboard = address == "clip";
  if (from_clipboard) {
    if (!SendControlCommand(home, "clipboard", address)) {
      std::fprintf(stderr, "no korvane is running for %s\n", home.c_str());
      return 3;  // as every ctl command when no gateway answers
    }
    address = Trimmed(address);
  }
  std::string name = HostNameOf(address);
  std::printf("%s %s\n", address.c_str(), name.c_str());
  std::string ignored;
  if (from_clipboard) SendControlCommand(home, "clipboard " + name, ignored);
  return 0;
}

}  // namespace korvane
