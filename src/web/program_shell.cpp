// ShellAndWait, StartProgram and the Shell and Wait menu: starting programs
// through the process layer and waiting for them as coroutine waits.
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/primitives.h"
#include "platform/process.h"
#include "web/program_run.h"

namespace korvane {
namespace {

StartResult NotStarted(int error, const std::string& text) {
  StartResult result;
  result.error = error;
  result.text = text;
  return result;
}

// Splits the command as Windows does and finds its program. The file the
// gateway handed over is named in the command by its gateway path, which
// means nothing to the program: it gets the host path instead.
StartResult StartCommand(const Files& files, const std::string& command, const std::string& handedFile) {
  std::vector<std::string> argv = SplitCommandLine(command);
  if (argv.empty()) return NotStarted(ENOENT, "empty command line");
  std::string program = ResolveProgram(files, argv[0]);
  if (program.empty()) return NotStarted(ENOENT, std::string(std::strerror(ENOENT)) + ": " + argv[0]);
  argv[0] = program;
  if (!handedFile.empty()) {
    for (size_t j = 1; j < argv.size(); ++j)
      if (argv[j] == handedFile) argv[j] = files.Host(handedFile);
  }
  // The program folder is the current folder of the programs it starts, so
  // relative names in a configured command mean the same to both.
  return StartProcess(argv, files.home());
}

}  // namespace

asio::awaitable<bool> ShellAndWait(Gateway& g, std::string command, std::string handedFile,
                                   std::string* why) {
  StartResult started = StartCommand(g.files, command, handedFile);
  if (started.pid <= 0) {
    // Nothing to wait for. The caller goes on as if the program had run and
    // written nothing; the operator learns why from this line.
    LogEvent(g, &g.List1, "ShellAndWait cannot start " + command + ": " + started.text);
    if (why) *why = started.text;
    co_return false;
  }
  LogEvent(g, nullptr, "waitforterm2-a");
  // The process's pidfd says when it ended; meanwhile every other session,
  // and this session's timer and expiry, go on.
  co_await WaitForExit(g.io, started.pid);
  LogEvent(g, nullptr, "waitforterm2-b");
  co_return true;
}

asio::awaitable<void> StartProgram(Gateway& g, std::string command) {
  StartResult started = StartDetached(g.io, g.files, command);
  if (started.pid <= 0) {
    // A program that cannot start will not come up by waiting for it.
    LogEvent(g, &g.List1, "StartProgram cannot start " + command + ": " + started.text);
    co_return;
  }
  // Time for the program to open its link socket. Only the request that
  // started it waits; other sessions are served meanwhile.
  co_await Pause(g, 5);
}

asio::awaitable<std::string> mnuShellWait_Click(Gateway& g, std::string command) {
  if (Trim(command).empty()) co_return kShellWaitPrompt;
  std::string why;
  const bool ran = co_await ShellAndWait(g, command, "", &why);
  if (!ran) co_return "cannot start " + command + ": " + why;
  co_return "ended: " + command;
}

}  // namespace korvane
