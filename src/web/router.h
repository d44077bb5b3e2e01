// The web request router: a complete HTTP request goes to a document, a
// link relay or a program run.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

// Called when a request is complete; the request is in the record's request.
asio::awaitable<void> WWW_Process_Request_sendfile(Gateway& g, int index, std::string line);

}  // namespace korvane
