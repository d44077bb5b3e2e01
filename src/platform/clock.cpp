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

// The calendar day of a count of days since 1 January 1970, in the
// proleptic Gregorian calendar that gmtime uses (days before 1970 are
// negative). Done by arithmetic: the texts below are written many times a
// second, and gmtime takes the time zone's lock even for UTC.
struct CivilDay {
  long long year;
  int month;    // 1-12
  int day;      // 1-31
  int weekday;  // 0 = Sunday
};

CivilDay CivilFromDays(long long days) {
  const long long z = days + 719468;  // days since 1 March of year 0
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long day_of_era = z - era * 146097;
  const long long year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const long long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const long long shifted_month = (5 * day_of_year + 2) / 153;  // March is 0
  CivilDay c;
  c.day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  c.month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  c.year = year_of_era + era * 400 + (c.month <= 2);
  c.weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1 January 1970 was a Thursday
  return c;
}

// Splits a day count into a calendar day and the seconds of that day.
void SplitDayCount(double day_count, CivilDay& day, long& seconds) {
  double days = std::floor(day_count);
  double frac = day_count - days;
  seconds = static_cast<long>(std::llround(frac * 86400.0));
  if (seconds >= 86400) {
    days += 1;
    seconds -= 86400;
  }
  // Day counts are local; the calendar date is plain arithmetic on them.
  day = CivilFromDays(static_cast<long long>(days - kUnixEpochDayCount));
}

void AppendNumber(std::string& out, long long n, int width = 1) {
  char digits[24];
  int len = 0;
  unsigned long long u = n < 0 ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
  do {
    digits[len++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (n < 0) out.push_back('-');
  for (int i = len; i < width; ++i) out.push_back('0');
  while (len > 0) out.push_back(digits[--len]);
}

// "12/4/2026"
void AppendDate(std::string& out, const CivilDay& day) {
  AppendNumber(out, day.month);
  out.push_back('/');
  AppendNumber(out, day.day);
  out.push_back('/');
  AppendNumber(out, day.year);
}

// "5:03:21 AM"
void AppendTime(std::string& out, long seconds) {
  const long h = seconds / 3600;
  AppendNumber(out, h % 12 == 0 ? 12 : h % 12);
  out.push_back(':');
  AppendNumber(out, seconds / 60 % 60, 2);
  out.push_back(':');
  AppendNumber(out, seconds % 60, 2);
  out.append(h < 12 ? " AM" : " PM");
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
  CivilDay day;
  long seconds = 0;
  SplitDayCount(day_count, day, seconds);
  std::string text;
  AppendDate(text, day);
  return text;
}

std::string TimeText(double day_count) {
  CivilDay day;
  long seconds = 0;
  SplitDayCount(day_count, day, seconds);
  std::string text;
  AppendTime(text, seconds);
  return text;
}

std::string GeneralDate(double day_count) {
  CivilDay day;
  long seconds = 0;
  SplitDayCount(day_count, day, seconds);
  std::string text;
  if (std::floor(day_count) == 0) {  // no date: the time alone
    AppendTime(text, seconds);
    return text;
  }
  AppendDate(text, day);
  if (seconds == 0) return text;  // midnight: the date alone
  text.push_back(' ');
  AppendTime(text, seconds);
  return text;
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
    std::string text;
    AppendNumber(text, static_cast<long long>(value));
    return text;
  }
  // Fifteen significant digits, as the system writes doubles; then the
  // trailing zeros of the fraction are dropped.
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", value);
  return buf;
}

// A float times a power of ten up to 10^6 is exact in a double (24
// significant bits and at most 14 more), so rounding it to a whole number,
// halves to even as printf rounds, gives printf's digits. Other values go
// to printf.
std::string SingleTwoDecimals(float value) {
  const double v = value;
  if (std::signbit(v) || !(v < 1e9)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
  }
  const long long n = std::llrint(v * 100);
  std::string text;
  AppendNumber(text, n / 100);
  text.push_back('.');
  AppendNumber(text, n % 100, 2);
  return text;
}

std::string SingleGeneral(float value) {
  const double v = value;
  if (v >= 1 && v < 1e6) {
    int decimals = 6;  // seven significant digits
    for (double p = 10; p <= v; p *= 10) --decimals;
    static const double kScale[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6};
    // A value that rounds up to one more digit (99999.996 to 10000000
    // hundredths) loses the extra zero with the trailing ones.
    long long n = std::llrint(v * kScale[decimals]);
    while (decimals > 0 && n % 10 == 0) n /= 10, --decimals;  // no trailing zeros
    const auto scale = static_cast<long long>(kScale[decimals]);
    std::string text;
    AppendNumber(text, n / scale);
    if (decimals > 0) {
      text.push_back('.');
      AppendNumber(text, n % scale, decimals);
    }
    return text;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.7g", v);
  return buf;
}

long long RoundHalfEven(double value) {
  return static_cast<long long>(std::rint(value));
}

std::string HttpDateAt(double unix_seconds) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const long long when = static_cast<long long>(unix_seconds);  // toward zero, as time_t takes it
  const long long days = when / 86400 - (when % 86400 < 0);  // before 1970 too, day and time of day
  const long long seconds = when - days * 86400;
  const CivilDay day = CivilFromDays(days);
  std::string text;
  text.reserve(32);
  text.append(kDays[day.weekday]).append(", ");
  AppendNumber(text, day.day);
  text.push_back(' ');
  text.append(kMonths[day.month - 1]).push_back(' ');
  AppendNumber(text, day.year);
  text.push_back(' ');
  AppendNumber(text, seconds / 3600, 2);
  text.push_back(':');
  AppendNumber(text, seconds / 60 % 60, 2);
  text.push_back(':');
  AppendNumber(text, seconds % 60, 2);
  return text;
}

}  // namespace korvane
