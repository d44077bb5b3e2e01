// Which road a request takes, and the link its query text names.
#include <algorithm>
#include <cctype>

#include "core/primitives.h"
#include "core/url_utils.h"
#include "web/router.h"
#include "web/router_steps.h"

namespace korvane {

int check_WWW_Type(Gateway& g, const std::string& r, const std::string& s) {
  const bool has_query = r.find('?') != std::string::npos;
  if (has_query && !QueryValue(r, "TOPIC").empty()) return kRoadProgram;
  if (r.find("/form-fill/") != std::string::npos) return kRoadDocument;
  if (!has_query) return kRoadDocument;
  std::string copy = s, tail;
  std::string link = extractlink(copy, tail);
  if (!link.empty() && g.lnkTopic.Text().find(" " + link + " ") != std::string::npos) return kRoadLink;
  return kRoadDocument;
}

std::string extractlink(std::string& r, std::string& stail) {
  stail = r;
  r = NextToken(stail, std::string(1, kPasswordBlockStart));
  // "...&GET /Excel/Sheet1?x=1 HTTP/1.0" becomes "...&__=Excel/Sheet1&x=1&HTTP/1.0".
  ReplaceAll(r, " ", "&");
  ReplaceAll(r, "?", "&");
  ReplaceAll(r, " HTTP", "&");
  ReplaceAll(r, "&GET&/", "&__=");
  ReplaceAll(r, "&POST&/", "&__=");
  std::string link = QueryValue(r, "__");
  std::transform(link.begin(), link.end(), link.begin(), [](unsigned char c) { return std::tolower(c); });
  std::replace(link.begin(), link.end(), '/', '|');
  return link;
}

}  // namespace korvane
