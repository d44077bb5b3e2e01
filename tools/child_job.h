// One run of a command for the adapter: the request on stdin, the answer
// from stdout into a file, waited for on the io_context (never blocking the
// thread) and killed, with its process group, past its time limit.
#pragma once
#include <asio.hpp>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace korvane::tools {

struct JobSpec {
  std::vector<std::string> argv;       // argv[0] is looked up on PATH
  std::vector<std::string> extra_env;  // "NAME=value", added to ours
  std::string input;                   // the child's stdin
  std::string output_path;             // the child's stdout, created or truncated
  std::chrono::milliseconds limit;
};

struct JobOutcome {
  bool started = false;
  bool timed_out = false;
  int exit_status = -1;  // of a normal exit, else -1
  int signal = 0;        // that ended it, else 0
  std::string stderr_tail;  // the last lines it wrote to standard error
};

// The child's standard error is kept (its end is in stderr_tail) and then
// passed on to ours. on_start receives the child's pid (its process group too) while it runs.
asio::awaitable<JobOutcome> RunJob(asio::io_context& io, JobSpec job,
                                   std::function<void(pid_t)> on_start);

// Ends a running job and everything it started.
void KillJob(pid_t pid);

}  // namespace korvane::tools
