// Timer1: a window timer over an Asio steady timer. Setting the interval
// or enabling it restarts the countdown; each tick calls OnTick.
#pragma once
#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/controls.h"

namespace korvane {

class TimerControl : public Control {
 public:
  TimerControl(asio::io_context& io, ChangeFeed* feed, std::string name);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool e);
  int Interval() const { return interval_ms_; }
  void SetInterval(int ms);
  std::string Tag;
  std::function<void()> OnTick;

 private:
  void Arm();
  void Wait();
  asio::steady_timer timer_;
  bool enabled_ = false;
  int interval_ms_ = 65000;
  std::chrono::steady_clock::time_point due_;  // when the countdown ends
  bool waiting_ = false;                        // an async wait is pending
  unsigned wait_count_ = 0;                     // names the pending wait
};

}  // namespace korvane
