#include "core/timer_control.h"

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

// Restarting the countdown (every session renewal does) moves the due
// time on; a wait already pending for an earlier time is kept and, when it
// ends early, waits on for the rest. Only a due time earlier than the
// pending wait, or disabling, touches the Asio timer.
void TimerControl::Arm() {
  if (!enabled_ || interval_ms_ <= 0) {
    if (waiting_) timer_.cancel();
    waiting_ = false;
    return;
  }
  due_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval_ms_);
  if (waiting_ && timer_.expiry() <= due_) return;
  timer_.expires_at(due_);
  Wait();
}

void TimerControl::Wait() {
  waiting_ = true;
  unsigned mine = ++wait_count_;
  timer_.async_wait([this, mine](std::error_code ec) {
    if (ec || mine != wait_count_) return;  // replaced by a later wait
    waiting_ = false;
    if (!enabled_) return;
    if (std::chrono::steady_clock::now() < due_) {
      timer_.expires_at(due_);
      Wait();
      return;
    }
    Arm();  // a window timer keeps ticking until disabled
    if (OnTick) OnTick();
  });
}

}  // namespace korvane
