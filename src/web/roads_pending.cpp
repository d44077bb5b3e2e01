// Until the link relay and the program runner are built, both roads give a
// defined answer: the not-found line, and the session ends as the router
// ends a document request. The log says plainly that the road is missing.
#include "core/primitives.h"
#include "core/sessions.h"
#include "web/roads.h"

namespace korvane {
namespace {

asio::awaitable<void> RoadNotAvailable(Gateway& g, int index, const std::string& road) {
  LogEvent(g, &g.List1, "#" + std::to_string(index) + " " + road + " not available");
  co_await SendReply(g, index, "requested document not found: ");
  co_await EndSession(g, index, "WWW_Process_Request_sendfile");
}

}  // namespace

asio::awaitable<void> WWW_DDE_Request(Gateway& g, int index, std::string) {
  co_await RoadNotAvailable(g, index, "WWW_DDE_Request");
}

asio::awaitable<void> WWW_EXE_Request(Gateway& g, int index, std::string, std::string, bool) {
  co_await RoadNotAvailable(g, index, "WWW_EXE_Request");
}

}  // namespace korvane
