// Dates of the response head.
#include <sys/time.h>

#include <ctime>

#include "web/documents.h"

namespace korvane {
namespace {

std::string Format(const std::tm& t) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %d %s %d %02d:%02d:%02d", kDays[t.tm_wday % 7], t.tm_mday,
                kMonths[t.tm_mon % 12], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}

}  // namespace

std::string HttpDate(const Files& files, const std::string& path) {
  if (path.empty()) return HttpDateAt(static_cast<double>(std::time(nullptr)));
  // Files are not locked here, so the one way to fail is a file that is not
  // there.
  double unix_seconds = 0;
  if (!files.Modified(path, unix_seconds)) return "";
  return HttpDateAt(unix_seconds);
}

std::string HttpDateAt(double unix_seconds) {
  std::time_t when = static_cast<std::time_t>(unix_seconds);
  std::tm t{};
  if (!gmtime_r(&when, &t)) return "";
  return Format(t);
}

}  // namespace korvane
