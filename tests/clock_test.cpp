#include "platform/clock.h"

#include <gtest/gtest.h>

#include <cmath>

namespace korvane {
namespace {

TEST(Val, LongestLeadingDecimalPart) {
  EXPECT_EQ(Val("8080x"), 8080);
  EXPECT_EQ(Val("x"), 0);
  EXPECT_EQ(Val(""), 0);
  EXPECT_EQ(Val("  021"), 21);
  EXPECT_EQ(Val("7.5s"), 7.5);
  EXPECT_EQ(Val("-3"), -3);
  EXPECT_EQ(Val("."), 0);
}

TEST(StrictNumber, WholeTextMustBeANumber) {
  double v = -1;
  EXPECT_TRUE(StrictNumber(" 20 ", v));
  EXPECT_EQ(v, 20);
  EXPECT_TRUE(StrictNumber("7.5", v));
  EXPECT_EQ(v, 7.5);
  EXPECT_FALSE(StrictNumber("20s", v));
  EXPECT_FALSE(StrictNumber("", v));
  EXPECT_FALSE(StrictNumber("  ", v));
  EXPECT_EQ(v, 7.5);
}

TEST(NumText, ShortestDecimalForm) {
  EXPECT_EQ(NumText(40), "40");
  EXPECT_EQ(NumText(15), "15");
  EXPECT_EQ(NumText(45296.5), "45296.5");
  EXPECT_EQ(NumText(45296.25), "45296.25");
  EXPECT_EQ(NumText(0.01), "0.01");
  EXPECT_EQ(NumText(-2), "-2");
}

TEST(DateTexts, GeneralAndShortForms) {
  // 4 December 2026 5:03:21 AM is day 46360 plus the time of day.
  double t = 46360 + (5 * 3600 + 3 * 60 + 21) / 86400.0;
  EXPECT_EQ(DateText(t), "12/4/2026");
  EXPECT_EQ(TimeText(t), "5:03:21 AM");
  EXPECT_EQ(GeneralDate(t), "12/4/2026 5:03:21 AM");
  EXPECT_EQ(GeneralDate(46360), "12/4/2026");
  EXPECT_EQ(TimeText(46360 + 0.5), "12:00:00 PM");
  EXPECT_EQ(TimeText(46360), "12:00:00 AM");
  EXPECT_EQ(TimeText(46360 + 23.5 / 24), "11:30:00 PM");
}

TEST(Timer, HundredthsSinceMidnight) {
  double t = Timer();
  EXPECT_GE(t, 0);
  EXPECT_LT(t, 86400);
  EXPECT_NEAR(t * 100, std::round(t * 100), 1e-6);
}

}  // namespace
}  // namespace korvane
