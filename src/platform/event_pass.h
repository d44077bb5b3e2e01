// The gateway's event loop runs one handler at a time and counts them. One
// handler is one pass of event handling: whatever changes outside the
// gateway while a handler runs may as well have changed just after it, so a
// pass need not ask the file system the same question twice (the
// configuration file's status is asked once per pass, not once per key).
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>

#include <asio/io_context.hpp>

namespace korvane {

// Runs io until it stops, counting passes on this thread. After every pass
// the hook set by OnPassEnd runs, told whether the loop is about to wait
// for events (nothing else is ready to run).
void RunCountingPasses(asio::io_context& io);

// Sets (or, with an empty function, clears) the hook that RunCountingPasses
// calls after every pass. Set it before the loop starts.
void OnPassEnd(std::function<void(bool idle)> hook);

// The pass now running on this thread; 0 outside a counting loop (tests
// that drive a context themselves), where nothing is reused.
uint64_t CurrentPass();

// When the loop on this thread last came back from waiting for events, and
// so had just looked at every socket (stamped once the first handler after
// the wait has run); the clock's epoch outside a loop.
std::chrono::steady_clock::time_point LastWaitEnded();

}  // namespace korvane
