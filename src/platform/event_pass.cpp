#include "platform/event_pass.h"

namespace korvane {
namespace {

thread_local uint64_t current_pass = 0;

}  // namespace

void RunCountingPasses(asio::io_context& io, const std::function<void()>& after_pass) {
  current_pass = 1;
  while (io.run_one()) {
    if (after_pass) after_pass();
    ++current_pass;
  }
  current_pass = 0;
}

uint64_t CurrentPass() { return current_pass; }

}  // namespace korvane
