#include "ui/timer_control.h"

#include <gtest/gtest.h>

#include <chrono>

namespace korvane {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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
