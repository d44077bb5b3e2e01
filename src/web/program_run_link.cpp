// The served-program road of the program runner: a topic listed in the
// ExeTopicList gets its data through the lnkFILE link instead of an input
// file, and the program writes "C:\temp\LINK" & slot & ".HTM".
#include <memory>

#include "core/http_answer.h"
#include "core/primitives.h"
#include "core/url_utils.h"
#include "platform/link_control.h"
#include "web/documents.h"
#include "web/program_run.h"
#include "web/program_run_steps.h"

namespace korvane {
namespace {

// A program that works out a page may take long: the link waits up to
// 3000 s for each answer.
constexpr int kFileLinkTimeoutTenths = 30000;

LinkControl& FileLink(Gateway& g) {
  if (!g.lnkFILE) g.lnkFILE = std::make_unique<LinkControl>(g.io, g.opts.link_dir, kFileLinkTimeoutTenths);
  return *g.lnkFILE;
}

// Opens a manual conversation on topic, starting the program once when no
// one answers. 0 or the link's error code.
asio::awaitable<int> Connect(Gateway& g, LinkControl& link, std::string topic, std::string exe) {
  link.ClearError();
  link.LinkTopic = topic;
  int error = co_await link.SetLinkMode(2);
  if (error == 0) co_return 0;
  co_await StartProgram(g, exe);
  link.ClearError();
  link.LinkTopic = topic;
  error = co_await link.SetLinkMode(2);
  co_return error;
}

}  // namespace

bool FindExeTopic(Gateway& g, const std::string& topic, std::string& exe) {
  for (size_t k = 1; k < g.ExeTopicList.size(); ++k) {
    const std::string& entry = g.ExeTopicList[k];
    if (QueryValue(entry, "TOPIC") == topic) {
      exe = QueryValue(entry, "EXE");
      return true;
    }
  }
  return false;
}

asio::awaitable<void> RunLinkTopic(Gateway& g, int i, std::string topic, std::string exe, std::string text) {
  const SessionRef session = g.Ref(i);
  LinkControl& link = FileLink(g);
  int error = co_await Connect(g, link, topic, exe);
  if (error != 0) {
    if (!g.Holds(session)) co_return;  // the session ended meanwhile
    const std::string text = link.ErrorText;
    co_await SendAnswer(g, i, ProgramFailureStatus(error), text + " trying to make connection with " + topic);
    co_await EndUnlessKeptAlive(g, i, session, "WWW_EXE_Request_error" + text);
    co_return;
  }
  const std::string output = "C:\\temp\\LINK" + std::to_string(i) + ".HTM";
  const std::string command = "FILE=" + output + "&" + text;
  error = co_await link.LinkExecute(command);
  if (error != 0) {
    if (!g.Holds(session)) co_return;
    const std::string text = link.ErrorText;
    co_await SendAnswer(g, i, ProgramFailureStatus(error), text + " trying to process " + command);
    co_await EndUnlessKeptAlive(g, i, session, "WWW_EXE_Request_error2:" + text);
    co_return;
  }
  if (!g.Holds(session)) co_return;
  co_await www_send_file(g, i, output, "", false, false, false);
  co_await EndUnlessKeptAlive(g, i, session, "WWW_EXE_Request_done2");
}

}  // namespace korvane
