#include "ui/file_viewers.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/process.h"
#include "platform/text.h"

namespace korvane {
namespace {

constexpr const char* kBrowserPath = "C:\\progra~1\\netscape\\naviga~1\\program\\netscape.exe";

// The first of the candidates found on PATH.
std::vector<std::string> FirstFound(const Files& files, std::initializer_list<const char*> candidates) {
  for (const char* name : candidates) {
    std::string path = ResolveProgram(files, name);
    if (!path.empty()) return {path};
  }
  return {};
}

// The peer lookup is `korvane ctl gethost`, run against this gateway: the
// running program when it is korvane, else the korvane found on PATH.
std::vector<std::string> PeerLookupProgram(Gateway& g) {
  std::string exe = SelfExecutablePath();
  bool is_korvane = exe.size() >= 8 && exe.compare(exe.size() - 8, 8, "/korvane") == 0;
  if (!is_korvane) exe = ResolveProgram(g.files, "korvane");
  if (exe.empty()) return {};
  return {exe, "--home", g.opts.home, "ctl", "gethost"};
}

// An operator's choice of program, from the environment.
bool FromEnvironment(const Files& files, const char* variable, std::vector<std::string>& argv) {
  const char* value = std::getenv(variable);
  if (!value || !*value) return false;
  argv = SplitCommandLine(value);
  if (!argv.empty()) argv[0] = ResolveProgram(files, argv[0]);
  if (!argv.empty() && argv[0].empty()) argv.clear();
  return true;
}

std::vector<std::string> Counterpart(Gateway& g, const std::string& word) {
  std::vector<std::string> argv;
  std::string program = Lower(word);
  if (program == "notepad") {
    if (!FromEnvironment(g.files, "KORVANE_EDITOR", argv))
      argv = FirstFound(g.files, {"xdg-open", "gedit", "mousepad", "kwrite", "xed"});
  } else if (program == Lower(kBrowserPath)) {
    if (!FromEnvironment(g.files, "KORVANE_BROWSER", argv))
      argv = FirstFound(g.files, {"xdg-open", "x-www-browser", "sensible-browser", "firefox", "chromium"});
  } else if (program == "gethost") {
    if (!FromEnvironment(g.files, "KORVANE_GETHOST", argv)) argv = PeerLookupProgram(g);
  }
  return argv;
}

bool IsWindowsPath(const std::string& word) {
  return word.find(':') != std::string::npos || word.find('\\') != std::string::npos;
}

}  // namespace

std::vector<std::string> HostCommand(Gateway& g, const std::string& command_line) {
  std::vector<std::string> words = SplitCommandLine(command_line);
  if (words.empty()) return {};
  std::vector<std::string> argv = Counterpart(g, words[0]);
  if (argv.empty()) return {};
  for (size_t i = 1; i < words.size(); ++i)
    argv.push_back(IsWindowsPath(words[i]) ? g.files.Host(words[i]) : words[i]);
  return argv;
}

bool RunFixedCommand(Gateway& g, const std::string& command_line) {
  std::vector<std::string> argv = HostCommand(g, command_line);
  if (argv.empty()) return false;
  StartResult started = StartProcess(argv);
  if (started.pid <= 0) return false;
  // Not waited for; the wait only reaps the program when it ends.
  asio::co_spawn(g.io, WaitForExit(g.io, started.pid), asio::detached);
  return true;
}

void mnuEditLog_Click(Gateway& g) { RunFixedCommand(g, "Notepad " + g.LogPath); }
void mnuRecent_Click(Gateway& g) { RunFixedCommand(g, "Notepad " + g.RecentFile); }
void mnuRecentClient_Click(Gateway& g) { RunFixedCommand(g, "Notepad " + g.RecentClientFile); }
void mnuViewRecent_Click(Gateway& g) { RunFixedCommand(g, std::string(kBrowserPath) + " " + g.RecentFile); }

}  // namespace korvane
