// Until the router and the document road are built: every complete request
// gets the not-found line and its session ends.
#include "core/primitives.h"
#include "core/sessions.h"
#include "web/router.h"
#include "web/upload_store.h"
#include "web/url_utils.h"

namespace korvane {

asio::awaitable<void> WWW_Process_Request_sendfile(Gateway& g, int index, std::string) {
  co_await SendReply(g, index, "requested document not found: ");
  co_await EndSession(g, index, "WWW_Process_Request_sendfile");
}

asio::awaitable<void> WWW_PutFIle(Gateway& g, int index, std::string) {
  co_await EndSession(g, index, "WWW_PutFIle");
}


}  // namespace korvane
