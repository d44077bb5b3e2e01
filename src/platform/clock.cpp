#include "platform/clock.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace korvane {
namespace {

constexpr double kUnixEpochDayCount = 25569.0;  // 1 January 1970

std::tm LocalTm(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

// Splits a day count into a calendar day and the seconds of that day.
void SplitDayCount(double day_count, std::tm& tm, long& seconds) {
  double days = std::floor(day_count);
  double frac = day_count - days;
  seconds = static_cast<long>(std::llround(frac * 86400.0));
  if (seconds >= 86400) {
    days += 1;
    seconds -= 86400;
  }
  // Day counts are local; compute the calendar date in UTC arithmetic.
  std::time_t t = static_cast<std::time_t>((days - kUnixEpochDayCount) * 86400.0);
  gmtime_r(&t, &tm);
}

}  // namespace

double Timer() {
  auto now = std::chrono::system_clock::now();
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  std::time_t t = static_cast<std::time_t>(us / 1000000);
  std::tm tm = LocalTm(t);
  long hundredths = (us % 1000000) / 10000;
  return tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec + hundredths / 100.0;
}

double DayCountFromUnix(double unix_seconds) {
  std::time_t t = static_cast<std::time_t>(std::floor(unix_seconds));
  std::tm tm = LocalTm(t);
  double local = unix_seconds + static_cast<double>(tm.tm_gmtoff);
  return kUnixEpochDayCount + local / 86400.0;
}

// Now has whole seconds only, and is asked many times a second: the day
// count of the last second asked is kept. The zone's offset can change only
// at a second's start, so the kept value is the one that would be computed.
double Now() {
  thread_local std::time_t last = -1;
  thread_local double day_count = 0;
  std::time_t secs = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  if (secs != last) {
    last = secs;
    day_count = DayCountFromUnix(static_cast<double>(secs));
  }
  return day_count;
}

std::string DateText(double day_count) {
  std::tm tm{};
  long seconds = 0;
  SplitDayCount(day_count, tm, seconds);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d/%d/%d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
  return buf;
}

std::string TimeText(double day_count) {
  std::tm tm{};
  long seconds = 0;
  SplitDayCount(day_count, tm, seconds);
  int h = static_cast<int>(seconds / 3600), m = static_cast<int>(seconds / 60 % 60),
      s = static_cast<int>(seconds % 60);
  int h12 = h % 12 == 0 ? 12 : h % 12;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d:%02d:%02d %s", h12, m, s, h < 12 ? "AM" : "PM");
  return buf;
}

std::string GeneralDate(double day_count) {
  std::tm tm{};
  long seconds = 0;
  SplitDayCount(day_count, tm, seconds);
  bool has_date = std::floor(day_count) != 0;
  if (!has_date) return TimeText(day_count);
  if (seconds == 0) return DateText(day_count);
  return DateText(day_count) + " " + TimeText(day_count);
}

double Val(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  size_t start = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return 0;
  std::string part(text.substr(start, i - start));
  return std::strtod(part.c_str(), nullptr);
}

bool StrictNumber(std::string_view text, double& out) {
  size_t b = text.find_first_not_of(' ');
  if (b == std::string_view::npos) return false;
  size_t e = text.find_last_not_of(' ');
  std::string_view core = text.substr(b, e - b + 1);
  size_t i = 0, digits = 0;
  if (core[i] == '+' || core[i] == '-') ++i;
  while (i < core.size() && core[i] >= '0' && core[i] <= '9') ++i, ++digits;
  if (i < core.size() && core[i] == '.') {
    ++i;
    while (i < core.size() && core[i] >= '0' && core[i] <= '9') ++i, ++digits;
  }
  if (digits == 0 || i != core.size()) return false;
  out = std::strtod(std::string(core).c_str(), nullptr);
  return true;
}

std::string NumText(double value) {
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(value));
    return buf;
  }
  // Fifteen significant digits, as the system writes doubles; then the
  // trailing zeros of the fraction are dropped.
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", value);
  return buf;
}

long long RoundHalfEven(double value) {
  return static_cast<long long>(std::rint(value));
}

std::string HttpDateAt(double unix_seconds) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t when = static_cast<std::time_t>(unix_seconds);
  std::tm t{};
  if (!gmtime_r(&when, &t)) return "";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %d %s %d %02d:%02d:%02d", kDays[t.tm_wday % 7], t.tm_mday,
                kMonths[t.tm_mon % 12], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}

}  // namespace korvane
