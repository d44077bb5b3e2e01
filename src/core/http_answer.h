// The gateway's own short answers in web mode (not found, refusals, link
// and program errors). By default each is one bare line, as the gateway
// has always answered. Under [Variables] ModernClients=1 the same text goes
// out as the body of a complete HTTP/1.0 response, so that browsers and
// curl show it and can tell success from failure by the status code.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"
#include "core/metrics.h"
#include "core/primitives.h"

namespace korvane {

// The server's name in every response head.
inline constexpr char kServerName[] = "Tarnwick 3.0g";

struct HttpStatus {
  int code;
  const char* reason;
  double retry_after = 0;            // seconds; a Retry-After line when above 0
  Outcome outcome = Outcome::kNone;  // how the answer counts (core/metrics.h)
};

// The answers and their codes (README, "Answers for today's clients").
inline constexpr HttpStatus kNotFound{404, "Not Found", 0, Outcome::kNotFound};
inline constexpr HttpStatus kForbidden{403, "Forbidden", 0, Outcome::kUploadRefused};
inline constexpr HttpStatus kCreated{201, "Created", 0, Outcome::kUploadStored};
inline constexpr HttpStatus kPayloadTooLarge{413, "Payload Too Large", 0, Outcome::kUploadRefused};
inline constexpr HttpStatus kInsufficientStorage{507, "Insufficient Storage", 0, Outcome::kUploadRefused};
inline constexpr HttpStatus kServerError{500, "Internal Server Error", 0, Outcome::kUploadRefused};
inline constexpr HttpStatus kBadGateway{502, "Bad Gateway", 0, Outcome::kLinkError};
inline constexpr HttpStatus kGatewayTimeout{504, "Gateway Timeout", 0, Outcome::kLinkError};
inline HttpStatus Unavailable(double retry_after) {
  return {503, "Service Unavailable", retry_after, Outcome::kUnavailable};
}
// Every slot taken (or the address's share): 503 as well, counted apart.
inline HttpStatus Full(double retry_after) { return {503, "Service Unavailable", retry_after, Outcome::kFull}; }
// A link or served-program failure: 504 for a time-out, else 502.
HttpStatus LinkFailureStatus(int link_error);
// The same for a program topic reached over a link.
HttpStatus ProgramFailureStatus(int link_error);

// The whole response: status line, Date, Server, Retry-After when asked
// for, Content-Type, Content-Length and Connection, then text and a line
// end as the body.
std::string HttpAnswer(const HttpStatus& status, const std::string& text, double unix_now);

// Sends text on slot k: a bare line, or the whole response under
// ModernClients (web mode only: FTP replies are never wrapped). The log
// shows the text alone either way.
asio::awaitable<void> SendAnswer(Gateway& g, int k, HttpStatus status, std::string text,
                                 Reply how = Reply::kLogged);

}  // namespace korvane
