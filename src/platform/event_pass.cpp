#include "platform/event_pass.h"

#include <utility>

namespace korvane {
namespace {

thread_local uint64_t current_pass = 0;
thread_local std::chrono::steady_clock::time_point last_wait_ended;
std::function<void(bool)> pass_end;

}  // namespace

void OnPassEnd(std::function<void(bool idle)> hook) { pass_end = std::move(hook); }

void RunCountingPasses(asio::io_context& io) {
  current_pass = 1;
  for (;;) {
    // What is ready runs first; only when nothing is does the hook hear
    // that the loop is about to wait.
    if (io.poll_one() == 0) {
      if (io.stopped()) break;
      if (pass_end) pass_end(true);
      if (io.run_one() == 0) break;
      last_wait_ended = std::chrono::steady_clock::now();
    }
    if (pass_end) pass_end(false);
    ++current_pass;
  }
  if (pass_end) pass_end(true);
  current_pass = 0;
  last_wait_ended = {};
}

uint64_t CurrentPass() { return current_pass; }

std::chrono::steady_clock::time_point LastWaitEnded() { return last_wait_ended; }

}  // namespace korvane
