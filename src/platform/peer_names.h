// Host names of peer addresses, looked up off the gateway thread by one
// long-lived worker, and remembered for a while: a busy client connects
// many times a second, and each look-up costs a resolver round (files,
// perhaps a name server) that the answer of a moment ago already gave.
#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <asio.hpp>

namespace korvane {

// Whether answers may still be delivered to the one who asked: cleared,
// under its mutex, when the asker goes away.
struct LookupToken {
  std::mutex m;
  bool alive = true;
};

// Calls done(name) on io's thread with the host name of the IPv4 address,
// or the address text itself when it has no name or the name is slow to
// come (limit). A remembered name is given at once, before this returns.
void LookupHostName(asio::io_context& io, const std::string& address,
                    std::shared_ptr<LookupToken> token, std::function<void(std::string)> done);

}  // namespace korvane
