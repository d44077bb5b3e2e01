#include "platform/local_address.h"

#include <cstddef>
#include <cstring>

namespace korvane {

bool LocalAddress(const std::string& name, sockaddr_un& addr, socklen_t& size) {
  if (name.empty() || name.size() >= sizeof addr.sun_path) return false;
  addr = sockaddr_un{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, name.data(), name.size());
  bool abstract = name[0] == '@';
  if (abstract) addr.sun_path[0] = '\0';
  // A path's address counts its terminating NUL; an abstract name's does not.
  size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
  return true;
}

}  // namespace korvane
