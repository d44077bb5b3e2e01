// The gateway's event loop runs one handler at a time and counts them. One
// handler is one pass of event handling: whatever changes outside the
// gateway while a handler runs may as well have changed just after it, so a
// pass need not ask the file system the same question twice (the
// configuration file's status is asked once per pass, not once per key).
#pragma once
#include <cstdint>
#include <functional>

#include <asio/io_context.hpp>

namespace korvane {

// Runs io until it stops, counting passes on this thread; after_pass (when
// given) runs at the end of every pass.
void RunCountingPasses(asio::io_context& io, const std::function<void()>& after_pass = {});

// The pass now running on this thread; 0 outside a counting loop (tests
// that drive a context themselves), where nothing is reused.
uint64_t CurrentPass();

}  // namespace korvane
