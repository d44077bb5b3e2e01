// The router: builds a request's query text, protects its password field,
// decides its road and hands it on. A document request ends here.
#include "web/router.h"

#include "core/primitives.h"
#include "core/sessions.h"
#include "core/url_utils.h"
#include "platform/clock.h"
#include "platform/link_control.h"
#include "platform/text.h"
#include "web/documents.h"
#include "web/roads.h"
#include "web/router_steps.h"

namespace korvane {
namespace {

// Road 0: a document, a listing or a filled template.
asio::awaitable<void> SendDocument(Gateway& g, int i, std::string request, const std::string& query,
                                   bool head, size_t pathStart) {
  std::string tquery;
  if (!head && request.find('?') != std::string::npos) {
    tquery = request;
    request = NextToken(tquery, "?");
  }
  LogEvent(g, &g.List2, Num(i) + ":FILE " + query);
  std::string path = DocumentPath(g, request, pathStart);
  const SessionRef session = g.Ref(i);
  if (!tquery.empty()) {
    MakeTempFileName(g, i);
    std::string filled = g.Record(i) ? g.Record(i)->tempfile : "";
    co_await FillTemplate(g, tquery, path, filled);
    if (!g.Holds(session)) co_return;  // the session ended meanwhile
    path = filled;
  }
  co_await www_send_file(g, i, path, "", true, true, head);
  if (!g.Holds(session)) co_return;
  SessionRecord* r = g.Record(i);
  if (r && r->n.keepalive != kTrue) co_await EndSession(g, i, "WWW_Process_Request_sendfile");
}

void CountRoad(Gateway& g, SessionRecord& r, int road) {
  r.n.roadStarted = std::chrono::steady_clock::now();
  g.metrics.Count(road == kRoadLink ? Road::kLink : road == kRoadProgram ? Road::kProgram : Road::kDocument);
}

}  // namespace

asio::awaitable<void> WWW_Process_Request_sendfile(Gateway& g, int index, std::string line) {
  const int i = index;
  SessionRecord* r = g.Record(i);
  if (!r) co_return;
  const float start = static_cast<float>(Timer());
  if (LinkControl* link = g.SlotLink(i)) link->Tag = SingleGeneral(start);

  r->n.answering = true;
  line = r->request;
  const std::string request = line;
  const std::string address = Trim(g.CommandSock(0).LocalAddress());
  std::string query = "&MYIP=" + address + "&ID=" + SingleTwoDecimals(start) + "&" + request;
  query = ProtectPassword(g, query, address);

  RenewExpiry(g, i, Renewal::kArm);

  if (IsMetricsRequest(g, i, request)) {
    co_await SendMetricsPage(g, i);
    co_return;
  }
  const bool head = StartsWith(request, "HEAD ");
  const int road = head ? kRoadDocument : check_WWW_Type(g, request, query);
  CountRoad(g, *r, road);
  if (road == kRoadLink || road == kRoadProgram) {
    LogEvent(g, &g.List2, Num(i) + ":QUERY " + query);
    MakeTempFileName(g, i);
    WriteTextFile(g.files, request, g.RecentClientFile);
    // Those roads end the session themselves, now or when the answer came.
    if (road == kRoadLink) {
      co_await g.hooks.relayLink(g, i, query);
    } else {
      co_await WWW_EXE_Request(g, i, "", query, true);
    }
    co_return;
  }
  co_await SendDocument(g, i, request, query, head, head ? 6 : 5);
}

}  // namespace korvane
