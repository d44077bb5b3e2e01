// The password field of a query text: a plain password is never passed on.
#include "core/primitives.h"
#include "platform/text.h"
#include "web/password_codec.h"
#include "web/router_steps.h"

namespace korvane {
namespace {

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The text between a leading "[{" and the first "}]" after it.
std::string Unwrap(const std::string& wrapped) {
  size_t close = wrapped.find("}]", 2);
  return close == std::string::npos ? wrapped.substr(2) : wrapped.substr(2, close - 2);
}

}  // namespace

std::string ProtectPassword(Gateway& g, std::string query, const std::string& address) {
  if (query.find("pass=") == std::string::npos) return query;
  std::string after = query;
  NextToken(after, "pass=");
  std::string rest = after;
  std::string value = NextToken(rest, "&");

  std::string inner = value, wrapped = value;
  if (StartsWith(value, "[{")) {
    // An "&" inside the wrapped password cut the value short: take it
    // again from the text after "pass=", up to the closing "}]".
    inner = Unwrap(EndsWith(value, "}]") ? value : after);
    wrapped = "[{" + inner + "}]";
  }

  std::string encoded = EncodePassword(g, inner, address);
  if (DecodePassword(g, encoded, address) == inner) {
    ReplaceAll(query, "pass=" + wrapped, "&pass=*&");
    query += std::string(1, kPasswordBlockStart) + "=" + encoded + kPasswordBlockKey + address +
             kPasswordBlockEnd;
  } else if (inner != wrapped) {
    ReplaceAll(query, "pass=" + wrapped, "pass=" + inner);
  }
  return query;
}

}  // namespace korvane
