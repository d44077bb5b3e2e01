// The counters' arithmetic and who may read the metrics page.
#include "core/metrics.h"

#include <gtest/gtest.h>

#include <chrono>

namespace korvane {
namespace {

using std::chrono::milliseconds;

TEST(Durations, NearestRankQuantilesOfTheKeptSamples) {
  Durations d;
  EXPECT_FALSE(d.Quantile(0.5).has_value());
  for (int ms = 100; ms >= 1; --ms) d.Add(milliseconds(ms));  // 1 .. 100 ms, out of order
  EXPECT_EQ(d.Count(), 100u);
  EXPECT_NEAR(d.SumSeconds(), 5.05, 1e-9);
  const struct {
    double q, seconds;
  } cases[] = {{0.5, 0.050}, {0.9, 0.090}, {0.99, 0.099}, {1.0, 0.100}, {0.001, 0.001}};
  for (const auto& c : cases) EXPECT_NEAR(*d.Quantile(c.q), c.seconds, 1e-6) << c.q;

  // Old samples drop out: after kKept samples of 2 s, 1 .. 100 ms are gone.
  for (size_t k = 0; k < Durations::kKept; ++k) d.Add(std::chrono::seconds(2));
  EXPECT_NEAR(*d.Quantile(0.001), 2.0, 1e-6);
  EXPECT_EQ(d.Count(), 100u + Durations::kKept);
}

TEST(MetricsPage, LoopbackAlwaysOthersOnlyWhenListedExactly) {
  const struct {
    const char *peer, *from;
    bool allowed;
  } cases[] = {
      {"127.0.0.1", "", true},        {"127.4.5.6", "", true},
      {"::1", "", true},              {"::ffff:127.0.0.1", "", true},
      {"10.0.0.5", "", false},        {"10.0.0.5", "10.0.0.5", true},
      {"10.0.0.5", " 10.0.0.9 , 10.0.0.5 ", true},
      {"10.0.0.5", "10.0.0.50", false}, {"10.0.0.50", "10.0.0.5", false},
      {"2001:db8::1", "2001:db8::1", true}, {"1270.0.0.1", "", false},
      {"", ",,", false},
  };
  for (const auto& c : cases) EXPECT_EQ(MetricsPeerAllowed(c.peer, c.from), c.allowed) << c.peer << " / " << c.from;
}

}  // namespace
}  // namespace korvane
