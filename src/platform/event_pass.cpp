#include "platform/event_pass.h"

namespace korvane {
namespace {

thread_local uint64_t current_pass = 0;

}  // namespace

void RunCountingPasses(asio::io_context& io) {
  current_pass = 1;
  while (io.run_one()) ++current_pass;
  current_pass = 0;
}

uint64_t CurrentPass() { return current_pass; }

}  // namespace korvane
