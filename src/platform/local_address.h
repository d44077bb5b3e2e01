// The address of a Unix-domain socket named the way display servers and
// service managers name theirs in the environment.
#pragma once
#include <sys/socket.h>
#include <sys/un.h>

#include <string>

namespace korvane {

// name is a path, or an abstract name written with a leading '@'. False
// when it is empty or too long for an address.
bool LocalAddress(const std::string& name, sockaddr_un& addr, socklen_t& size);

}  // namespace korvane
