#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cmath>

namespace korvane {
namespace {

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

TEST(DateTexts, GeneralAndShortForms) {
  // 4 December 2026 5:03:21 AM is day 46360 plus the time of day.
  double t = 46360 + (5 * 3600 + 3 * 60 + 21) / 86400.0;
  EXPECT_EQ(DateText(t), "12/4/2026");
  EXPECT_EQ(GeneralDate(t), "12/4/2026 5:03:21 AM");
  EXPECT_EQ(GeneralDate(46360), "12/4/2026");
  for (auto [day, text] : {std::pair{t, "5:03:21 AM"}, {46360.5, "12:00:00 PM"}, {46360.0, "12:00:00 AM"},
                           {46360 + 23.5 / 24, "11:30:00 PM"}})
    EXPECT_EQ(TimeText(day), text);
}

TEST(Timer, HundredthsSinceMidnight) {
  double t = Timer();
  EXPECT_GE(t, 0);
  EXPECT_LT(t, 86400);
  EXPECT_NEAR(t * 100, std::round(t * 100), 1e-6);
}

}  // namespace
}  // namespace korvane
