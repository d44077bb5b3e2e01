// Calls that run against the order of the layers. Core creates sockets and
// link controls that the layers above give their events to, and the line
// reader (channel) hands a complete request to the router (web). Each such
// call goes through a hook declared here; app fills them in when it makes
// the gateway, so no folder includes one above it.
#pragma once
#include <asio.hpp>

#include <functional>
#include <string>

namespace korvane {

struct Gateway;

struct Hooks {
  // A per-slot control was created: give it its events.
  std::function<void(Gateway&, int slot)> wireCommandSocket;
  std::function<void(Gateway&, int slot)> wireDataSocket;
  std::function<void(Gateway&, int slot)> wireLinkControl;

  // A web request is complete (its head, and its body when it has one).
  std::function<asio::awaitable<void>(Gateway&, int slot, std::string line)> completeRequest;
  // The router found a link to a served program: the relay takes it.
  std::function<asio::awaitable<void>(Gateway&, int slot, std::string query)> relayLink;
  // A PUT body is complete and waits in the session's upload file.
  std::function<asio::awaitable<void>(Gateway&, int slot, std::string destination)> storeUpload;
};

// State a layer above core keeps per gateway (the link bridge): core owns
// it and ends it with the gateway without knowing its type.
struct GatewayPart {
  virtual ~GatewayPart() = default;
};

}  // namespace korvane
