// The wake-up the socket control's loops and WaitWritable share: one
// WakeAll resumes every coroutine waiting at that moment, and a wake with
// nobody waiting is not kept for a later wait.
#include "platform/wakeup.h"

#include <gtest/gtest.h>

#include <string>

namespace korvane {
namespace {

TEST(Wakeup, OneWakeResumesEveryWaiterAndIsNotKeptForLaterOnes) {
  asio::io_context io;
  Wakeup wakeup;
  std::string woken;
  auto waiter = [&](char name) -> asio::awaitable<void> {
    co_await wakeup.Wait();
    woken += name;
  };
  wakeup.WakeAll();  // nobody waits yet: nothing to keep
  asio::co_spawn(io, waiter('a'), asio::detached);
  asio::co_spawn(io, waiter('b'), asio::detached);
  io.poll();
  EXPECT_EQ(woken, "");

  wakeup.WakeAll();
  EXPECT_EQ(woken, "");  // resumed through the executor, never inside WakeAll
  io.poll();
  EXPECT_EQ(woken, "ab");
  wakeup.WakeAll();  // both have gone on: nothing left to resume
  io.poll();
  EXPECT_EQ(woken, "ab");
}

}  // namespace
}  // namespace korvane
