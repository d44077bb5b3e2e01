// Templates filled from query fields.
#include "core/primitives.h"
#include "core/url_utils.h"
#include "web/router.h"

namespace korvane {

asio::awaitable<void> FillTemplate(Gateway& g, std::string query, std::string templatePath,
                                   std::string outputPath) {
  std::string text = ReadTextFile(g.files, templatePath);
  std::string rest = query;
  NextToken(rest, "&");  // the first item is never a field
  while (!rest.empty()) {
    std::string name = NextToken(rest, "=");
    std::string value = NextToken(rest, "&");
    // Values go in as they arrived, not %-decoded.
    if (!name.empty()) ReplaceAll(text, "$" + name, value);
    co_await YieldOnce(g);
  }
  WriteTextFile(g.files, text, outputPath);
}

}  // namespace korvane
