// From a request line to the document it names in the export folders.
#include <algorithm>
#include <cctype>

#include "core/primitives.h"
#include "platform/text.h"
#include "web/router_steps.h"

namespace korvane {
namespace {

bool Has(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// The request's path: from pathStart to the first blank, upper case, with
// backslashes, ".HTML" cut to ".HTM" and ".HTM" added to a bare name.
std::string RequestPath(const std::string& request, size_t pathStart) {
  std::string r = request + " ";
  size_t from = std::min(pathStart - 1, r.size());
  size_t blank = r.find(' ', from);
  std::string path = Upper(Trim(r.substr(from, blank - from)));
  std::replace(path.begin(), path.end(), '/', '\\');
  if (size_t htm = path.find(".HTM"); htm != std::string::npos) {
    path.resize(htm + 4);
  } else if (!Has(path, ".") && !Has(path, "\\DIR\\")) {
    path += ".HTM";
  }
  if (path.empty() || path[0] != '\\') path = "\\" + path;
  return path;
}

}  // namespace

// The document is served under its name in lower case, so it is looked
// for in that case too: the files layer finds a name in any case, and on
// Linux, where names are mostly lower case, the upper-case form of the
// request would miss on every request before the lower-case one is tried.
std::string DocumentPath(Gateway& g, const std::string& request, size_t pathStart) {
  std::string path = RequestPath(request, pathStart);
  if (Has(path, "..")) return "";  // refused: answered as not found
  if (Has(path, "\\DIR\\")) return Lower(g.LocalExportDir + path);  // a listing, or a file below its folder
  for (const std::string* dir : {&g.LocalExportDir, &g.NetExportDir}) {
    std::string served = Lower(*dir + path);
    if (g.files.IsFile(served)) return served;
  }
  return "";
}

}  // namespace korvane
