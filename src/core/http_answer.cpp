#include "core/http_answer.h"

#include <cmath>
#include <ctime>

#include "platform/clock.h"
#include "platform/link_control.h"
#include "platform/text.h"

namespace korvane {

std::string HttpAnswer(const HttpStatus& status, const std::string& text, double unix_now) {
  const std::string body = text + "\r\n";
  std::string head = "HTTP/1.0 " + Num(status.code) + " " + status.reason + "\r\n";
  head += "Date: " + HttpDateAt(unix_now) + " GMT\r\n";
  head += std::string("Server: ") + kServerName + "\r\n";
  if (status.retry_after > 0) head += "Retry-After: " + Num(std::lround(std::ceil(status.retry_after))) + "\r\n";
  head += "Content-Type: text/plain; charset=utf-8\r\n";
  head += "Content-Length: " + Num(static_cast<long long>(body.size())) + "\r\n";
  head += "Connection: close\r\n\r\n";
  return head + body;
}

HttpStatus LinkFailureStatus(int link_error) {
  return link_error == kLinkTimeout ? kGatewayTimeout : kBadGateway;
}

HttpStatus ProgramFailureStatus(int link_error) {
  HttpStatus status = LinkFailureStatus(link_error);
  status.outcome = Outcome::kProgramError;
  return status;
}

asio::awaitable<void> SendAnswer(Gateway& g, int k, HttpStatus status, std::string text, Reply how) {
  g.metrics.Count(status.outcome);
  if (!g.ModernClients || g.FtpMode()) {
    co_await SendReply(g, k, how, std::move(text));
    co_return;
  }
  std::string wire = HttpAnswer(status, text, static_cast<double>(std::time(nullptr)));
  co_await SendReplyAs(g, k, how, std::move(text), std::move(wire));
}

}  // namespace korvane
