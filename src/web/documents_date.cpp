// Dates of the response head.
#include <ctime>

#include "web/documents.h"

namespace korvane {

std::string HttpDate(const Files& files, const std::string& path) {
  if (path.empty()) return HttpDateAt(static_cast<double>(std::time(nullptr)));
  // Files are not locked here, so the one way to fail is a file that is not
  // there.
  double unix_seconds = 0;
  if (!files.Modified(path, unix_seconds)) return "";
  return HttpDateAt(unix_seconds);
}

}  // namespace korvane
