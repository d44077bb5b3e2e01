// The clock, numbers and dates, and the timer control.
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <vector>

#include "core/timer_control.h"

namespace korvane {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(Numbers, ValStrictNumberAndNumText) {
  // Val: the longest leading decimal part.
  for (auto [text, value] : {std::pair{"8080x", 8080.0}, {"x", 0.0}, {"", 0.0}, {"  021", 21.0}, {"7.5s", 7.5},
                             {"-3", -3.0}, {".", 0.0}})
    EXPECT_EQ(Val(text), value) << text;
  // StrictNumber: the whole text must be a number; a refusal leaves v.
  double v = -1;
  EXPECT_TRUE(StrictNumber(" 20 ", v));
  EXPECT_EQ(v, 20);
  EXPECT_TRUE(StrictNumber("7.5", v));
  for (const char* text : {"20s", "", "  "}) EXPECT_FALSE(StrictNumber(text, v)) << text;
  EXPECT_EQ(v, 7.5);
  // NumText: the shortest decimal form.
  for (auto [value, text] : {std::pair{40.0, "40"}, {45296.5, "45296.5"}, {45296.25, "45296.25"}, {0.01, "0.01"},
                             {-2.0, "-2"}})
    EXPECT_EQ(NumText(value), text);
}

// The request identifier's two forms against printf: every float from 0.5
// to 2 million in steps that visit each exponent, ties that round to even,
// and values that round up to one more digit.
TEST(Numbers, SingleFormsAgreeWithPrintf) {
  std::vector<float> values = {0.0f, -0.0f, 0.125f, 0.375f, 2.5f, 1.005f, 9.9999999f, 99999.95f, 999999.94f,
                               999999.95f, 86399.99f, 1e9f, -3.25f};
  for (float v = 0.5f; v < 2e6f; v = std::nextafter(v * 1.0001f, 3e6f)) values.push_back(v);
  for (float p = 10; p <= 1e7f; p *= 10) {  // the floats just below each power of ten
    float v = p;
    for (int i = 0; i < 4; ++i) values.push_back(v = std::nextafter(v, 0.0f));
  }
  for (uint32_t bits = 0x3f000000; bits < 0x49f42400; bits += 7919) {
    float v;
    std::memcpy(&v, &bits, sizeof v);
    values.push_back(v);
  }
  char want[64];
  for (float v : values) {
    std::snprintf(want, sizeof want, "%.2f", static_cast<double>(v));
    ASSERT_EQ(SingleTwoDecimals(v), want) << v;
    std::snprintf(want, sizeof want, "%.7g", static_cast<double>(v));
    ASSERT_EQ(SingleGeneral(v), want) << v;
  }
}

TEST(DateTexts, GeneralAndShortForms) {
  // 4 December 2026 5:03:21 AM is day 46360 plus the time of day.
  double t = 46360 + (5 * 3600 + 3 * 60 + 21) / 86400.0;
  EXPECT_EQ(GeneralDate(t), "12/4/2026 5:03:21 AM");
  EXPECT_EQ(GeneralDate(46360), "12/4/2026");
  for (auto [day, text] : {std::pair{t, "5:03:21 AM"}, {46360.5, "12:00:00 PM"}, {46360.0, "12:00:00 AM"},
                           {46360 + 23.5 / 24, "11:30:00 PM"}})
    EXPECT_EQ(TimeText(day), text);
}

// The calendar arithmetic against the C library's gmtime, from 1600 to 2400
// (every 997th day, at a moving time of day), leap days and the first and
// last second of a day among them.
TEST(DateTexts, CalendarAgreesWithGmtime) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::vector<long long> instants = {0, -1, 86399, 86400, 951782400 /* 29 Feb 2000 */, 4107542399 /* 31 Dec 2099 */};
  for (long long day = -135000; day < 157000; day += 997) instants.push_back(day * 86400 + (day * 7919) % 86400);
  for (long long t : instants) {
    std::time_t when = static_cast<std::time_t>(t);
    std::tm tm{};
    ASSERT_TRUE(gmtime_r(&when, &tm));
    char expected[64];
    std::snprintf(expected, sizeof expected, "%s, %d %s %d %02d:%02d:%02d", kDays[tm.tm_wday], tm.tm_mday,
                  kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    ASSERT_EQ(HttpDateAt(static_cast<double>(t)), expected) << t;
    // The same instant as a day count (25569 is 1 January 1970) in the short forms.
    const double day_count = 25569 + static_cast<double>(t) / 86400.0;
    std::snprintf(expected, sizeof expected, "%d/%d/%d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year + 1900);
    ASSERT_EQ(DateText(day_count), expected) << t;
  }
}

double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Setting the interval restarts the countdown: a restart moves the tick on,
// a shorter interval brings it forward, disabling stops it.
TEST(TimerControl, RestartsTheCountdownWhenSet) {
  asio::io_context io;
  TimerControl timer(io, nullptr, "Timer1");
  const Clock::time_point start = Clock::now();
  std::vector<double> ticks;
  timer.OnTick = [&] {
    ticks.push_back(MsSince(start));
    if (ticks.size() == 2) timer.SetEnabled(false);
  };
  timer.SetInterval(100);
  timer.SetEnabled(true);
  asio::steady_timer restart(io, milliseconds(60));
  restart.async_wait([&](std::error_code) { timer.SetInterval(100); });
  io.run_for(milliseconds(400));
  ASSERT_GE(ticks.size(), 1u);
  EXPECT_GE(ticks[0], 155);  // 60 ms, then a whole 100 ms again

  ticks.clear();
  const Clock::time_point second = Clock::now();
  timer.SetInterval(5000);
  timer.SetEnabled(true);
  asio::steady_timer shorten(io, milliseconds(20));
  shorten.async_wait([&](std::error_code) { timer.SetInterval(50); });
  io.restart();
  io.run_for(milliseconds(2000));
  ASSERT_EQ(ticks.size(), 2u);  // then disabled: no third tick
  EXPECT_LT(MsSince(second), 2500);
  const double offset = std::chrono::duration<double, std::milli>(second - start).count();
  EXPECT_LT(ticks[0] - offset, 2000);
  EXPECT_FALSE(timer.Enabled());
}

}  // namespace
}  // namespace korvane
