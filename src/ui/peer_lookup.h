// The peer-lookup program behind the operator's peer command ("gethost
// clip"): `korvane ctl gethost clip` reads the peer address from the running
// gateway's clipboard, `korvane ctl gethost ADDRESS` takes it as given. It
// prints the address and its host name and puts the name on the gateway's
// clipboard. It runs in its own process, so a slow name server never holds
// up the gateway.
#pragma once
#include <string>
#include <vector>

namespace korvane {

// The host name of an IPv4 or IPv6 address text; the address itself when
// it has no name.
std::string HostNameOf(const std::string& address);

// Returns the process exit code.
int RunPeerLookup(const std::string& home, const std::vector<std::string>& args);

}  // namespace korvane
