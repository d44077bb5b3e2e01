// A wake-up for coroutines that wait until something changes: Wait()
// suspends the caller until the next WakeAll(). A WakeAll with nobody
// waiting is not remembered, so a waiter checks its condition first and
// waits only when it does not hold (everything runs on one thread, so
// nothing can change between the check and the wait).
//
// A timer set to expire never and cancelled to wake does the same, but a
// timer enters the timer queue, and when it is the earliest there each wait
// re-arms the kernel's timer: a system call per wait, for nothing.
//
// Waiters are resumed through their executor, never inside WakeAll. Whoever
// owns a Wakeup wakes it before letting it go: a waiter that holds its
// owner alive would otherwise keep both alive for good.
#pragma once
#include <asio.hpp>

#include <memory>
#include <utility>
#include <vector>

namespace korvane {

class Wakeup {
 public:
  Wakeup() = default;
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  asio::awaitable<void> Wait() {
    co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(
        [this](auto handler) { waiters_.push_back(std::make_unique<Held<decltype(handler)>>(std::move(handler))); },
        asio::use_awaitable);
  }

  // Called after every read and every handled line, mostly with nobody
  // waiting: that case costs nothing.
  void WakeAll() {
    if (waiters_.empty()) return;
    auto waiting = std::move(waiters_);
    waiters_.clear();
    for (auto& w : waiting) w->Resume();
  }

 private:
  struct Waiter {
    virtual ~Waiter() = default;
    virtual void Resume() = 0;
  };
  template <typename Handler>
  struct Held : Waiter {
    explicit Held(Handler h) : handler(std::move(h)) {}
    void Resume() override {
      auto ex = asio::get_associated_executor(handler);
      asio::post(ex, std::move(handler));
    }
    Handler handler;
  };
  std::vector<std::unique_ptr<Waiter>> waiters_;
};

}  // namespace korvane
