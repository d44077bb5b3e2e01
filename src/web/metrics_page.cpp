// The metrics page: with [Variables] MetricsPath set, a GET of exactly that
// path from loopback (or an address MetricsFrom lists) is answered with the
// counters in the Prometheus text format. For anyone else, and with the key
// unset, the path is a document like any other.
#include <ctime>

#include "core/http_answer.h"
#include "core/metrics.h"
#include "core/primitives.h"
#include "core/sessions.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "web/router_steps.h"

namespace korvane {
namespace {

// The path of a "GET <path> HTTP/x" line, "" for other requests.
std::string GetPath(const std::string& request) {
  if (request.rfind("GET ", 0) != 0) return "";
  const size_t end = request.find_first_of(" \r\n", 4);
  return request.substr(4, end == std::string::npos ? std::string::npos : end - 4);
}

std::string MetricsResponse(const std::string& body) {
  std::string head = "HTTP/1.0 200 OK\r\n";
  head += "Date: " + HttpDateAt(static_cast<double>(std::time(nullptr))) + " GMT\r\n";
  head += std::string("Server: ") + kServerName + "\r\n";
  head += "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n";
  head += "Content-Length: " + Num(static_cast<long long>(body.size())) + "\r\n";
  head += "Connection: close\r\n\r\n";
  return head + body;
}

}  // namespace

bool IsMetricsRequest(Gateway& g, int i, const std::string& request) {
  if (g.MetricsPath.empty() || GetPath(request) != g.MetricsPath) return false;
  return MetricsPeerAllowed(g.CommandSock(i).PeerAddress(), g.MetricsFrom);
}

asio::awaitable<void> SendMetricsPage(Gateway& g, int i) {
  const SessionRef session = g.Ref(i);
  co_await SendReplyAs(g, i, Reply::kLogged, "metrics page", MetricsResponse(MetricsText(g)));
  if (g.Holds(session)) co_await EndSession(g, i, "metrics");
}

}  // namespace korvane
