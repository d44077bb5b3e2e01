#include "ui/operator_commands.h"

#include "app/config.h"
#include "app/startup.h"
#include "core/primitives.h"
#include "core/sessions.h"
#include "web/program_run.h"

namespace korvane {

asio::awaitable<std::string> RunOperatorCommand(Gateway& g, std::string command) {
  std::string rest = command;
  std::string verb = NextToken(rest, " ");
  if (verb == "activate") {
    // A second instance asked for this window: bring it to the front.
    g.windowState = WindowState::Normal;
    co_return g.AppTitle;
  }
  if (verb == "exit") {
    mnuExit_Click(g);
    co_return "exiting";
  }
  if (verb == "listen") {
    if (!g.mnuListen.Visible()) co_return "already listening on port " + g.txtport.Text();
    mnuListen_Click(g);
    co_return "Listening on Port " + g.txtport.Text();
  }
  if (verb == "save") {
    mnuSaveConfig_Click(g);
    co_return "configuration saved";
  }
  if (verb == "shellwait") {
    // The Shell and Wait menu; the words after the verb answer its prompt.
    co_return co_await mnuShellWait_Click(g, rest);
  }
  co_return "unknown command: " + verb;
}

}  // namespace korvane
