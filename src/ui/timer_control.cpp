#include "ui/timer_control.h"

namespace korvane {

TimerControl::TimerControl(asio::io_context& io, ChangeFeed* feed, std::string name)
    : Control(feed, std::move(name)), timer_(io) {}

void TimerControl::SetEnabled(bool e) {
  enabled_ = e;
  Publish("Enabled", e ? "1" : "0");
  Arm();
}

void TimerControl::SetInterval(int ms) {
  interval_ms_ = ms;
  Publish("Interval", std::to_string(ms));
  Arm();
}

void TimerControl::Arm() {
  timer_.cancel();
  unsigned mine = ++arm_count_;
  if (!enabled_ || interval_ms_ <= 0) return;
  timer_.expires_after(std::chrono::milliseconds(interval_ms_));
  timer_.async_wait([this, mine](std::error_code ec) {
    if (ec || mine != arm_count_ || !enabled_) return;
    Arm();  // a window timer keeps ticking until disabled
    if (OnTick) OnTick();
  });
}

}  // namespace korvane
