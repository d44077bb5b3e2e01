// The process layer: programs the gateway starts. Command lines are split
// as Windows splits them (blanks separate, double quotes group); the program
// word is mapped through the files layer when it is a path (has ":" or "\"),
// otherwise found on PATH. Programs get stdin from /dev/null. A program
// started without waiting is detached: nothing waits for it, and it is
// reaped when it ends.
#pragma once
#include <asio.hpp>

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/files.h"

namespace korvane {

// Windows command-line splitting: blanks separate words, double quotes group
// (and are removed), a backslash run before a quote escapes it.
std::vector<std::string> SplitCommandLine(const std::string& command_line);

// The host path of the running program ("" when it cannot be told).
std::string SelfExecutablePath();

// The host path of a program word: mapped through files when it has ":" or
// "\", else the first executable of that name on PATH. "" when not found.
std::string ResolveProgram(const Files& files, const std::string& word);

// Where a served program's EXE word is looked for, as a shell would: an
// absolute host path ("/usr/bin/x") as it is; a path with a drive (":") or
// a folder ("\\" or "/") through the files layer, without a drive below
// the home folder; a bare name in the home folder, then on PATH. found is
// the first executable file of tried, "" when none is.
struct ProgramLookup {
  std::string found;
  std::vector<std::string> tried;
};
ProgramLookup FindServedProgram(const Files& files, const std::string& word);

struct StartResult {
  pid_t pid = -1;      // > 0 when started
  int error = 0;       // errno when not
  std::string text;    // the system's text for error
};

// Starts argv (argv[0] already resolved to a host path). stdout_path, when
// given, receives the program's standard output.
StartResult StartProcess(const std::vector<std::string>& argv, const std::string& working_dir = "",
                         const std::string& stdout_path = "");

// Resolves and starts a command line without waiting; the child is reaped
// in the background.
StartResult StartDetached(asio::io_context& io, const Files& files, const std::string& command_line);

// Waits (a coroutine wait) until pid has ended; returns its exit status as
// waitpid reports it, or -1 when it cannot be waited for.
asio::awaitable<int> WaitForExit(asio::io_context& io, pid_t pid);

// Whether pid is still running (not yet ended or reaped).
bool ProcessRunning(pid_t pid);

}  // namespace korvane
