// The link manager: connects an execute link (lnkDDE(0), or a spare while it
// is busy), starting the served program when it may be started, and opens
// notify links.
#include "dde/link_manager.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "core/config.h"
#include "core/primitives.h"
#include "dde/link_bridge.h"
#include "dde/program_lifetimes.h"
#include "platform/clock.h"
#include "platform/link_control.h"
#include "platform/process.h"

namespace korvane {
namespace {

constexpr char kFormMessage[] = "link topic must be of the form 'program|topic'";
constexpr double kStartWaitSeconds = 2;

// Within a lease of an execute link: points it at topic and opens the
// conversation.
asio::awaitable<void> PointExecuteLink(LinkControl& link, const std::string& topic, LinkError& err) {
  link.LinkTopic = topic;
  err.Note(co_await link.SetLinkMode(2), link);
}

// The EXE entry as the start is logged: one without a drive (no ":") is
// shown in the program folder, unless it is an absolute host path.
std::string ExePath(const std::string& app_path, const std::string& exe) {
  if (exe.find(':') != std::string::npos || (!exe.empty() && exe[0] == '/')) return exe;
  return app_path + "\\" + exe;
}

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
  return text;
}

// Started programs run in the program folder, so that a relative file name
// they hand back (an answer file) names the same file for both sides. The
// program word of the EXE entry is looked up as a shell would (see
// FindServedProgram); when it is nowhere, one line names what was tried.
StartResult StartProgram(Gateway& g, const std::string& exe) {
  std::vector<std::string> argv = SplitCommandLine(exe + " DDE");
  ProgramLookup lookup = FindServedProgram(g.files, argv.size() > 1 ? argv[0] : "");
  if (lookup.found.empty()) {
    LogEvent(g, &g.List1, "  " + (argv.size() > 1 ? argv[0] : exe) + " not found; tried " + Joined(lookup.tried));
    StartResult missing;
    missing.error = ENOENT;
    missing.text = std::strerror(ENOENT);
    return missing;
  }
  argv[0] = lookup.found;
  return StartProcess(argv, g.files.home());
}

// Gives a started program time to put up its link, while every other
// session goes on. Ends early when the clock passes midnight.
asio::awaitable<void> WaitForProgramStart(Gateway& g) {
  const double start = Timer();
  for (;;) {
    double now = Timer();
    if (now >= start + kStartWaitSeconds || now < start) co_return;
    co_await Pause(g, 0.1f);
  }
}

// Starts the program of an EXE entry; the wait follows even when the start
// failed. Returns false (and logs) when it could not be started.
asio::awaitable<bool> StartAndWait(Gateway& g, const std::string& exe, const std::string& linkTopic) {
  std::string exePath = ExePath(g.AppPath, exe);
  for (int i = 0; i < 3; ++i)
    if (g.view) g.view->Beep();
  LogEvent(g, &g.List1, "  Start " + exePath);
  StartResult started = StartProgram(g, exe);
  if (started.pid > 0) NoteStartedProgram(g, started.pid, linkTopic, exePath);
  co_await WaitForProgramStart(g);
  if (started.pid > 0) co_return true;
  LogEvent(g, &g.List1, started.text + " trying to start " + exePath);
  co_return false;
}

// Requests that arrive together for a program that is not running would
// each start a copy of it: the copies then race for the program's link
// socket, and one may take it from another that keeps running unreached.
// A session that finds the same program being started waits for that start
// (and its wait) instead, and then connects like the session that started
// it. True when the program was started, by this session or the other.
asio::awaitable<bool> StartOnce(Gateway& g, const std::string& exe, const std::string& linkTopic) {
  std::map<std::string, std::shared_ptr<ProgramStart>>& starting = Bridge(g).starting;
  const std::string key = ExePath(g.AppPath, exe);
  if (auto it = starting.find(key); it != starting.end()) {
    std::shared_ptr<ProgramStart> start = it->second;
    asio::error_code ignored;
    co_await start->done.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    co_return start->started;
  }
  auto start = std::make_shared<ProgramStart>(g.io);
  starting[key] = start;
  start->started = co_await StartAndWait(g, exe, linkTopic);
  starting.erase(key);
  start->done.cancel();
  co_return start->started;
}

}  // namespace

asio::awaitable<std::string> StartLinkProgram(Gateway& g, std::string linkTopic) {
  size_t bar = linkTopic.find('|');
  if (bar == std::string::npos) co_return kFormMessage;
  std::string program = linkTopic.substr(0, bar);
  std::string exe = ConfigLookup(g, program + "|EXE");
  if (exe.empty()) co_return linkTopic + " EXE entry not found in " + g.files.Host(g.IniPath);
  if (Val(ConfigLookup(g, program + "|AutoStart")) == 0)
    co_return linkTopic + " cannot be started automatically";

  const std::string topic = Trim(linkTopic);
  LinkError err;
  ExecuteLinks& links = Bridge(g).executeLinks;
  ExecuteLinks::Lease lease = co_await links.Take(topic);
  co_await PointExecuteLink(lease.link(), topic, err);
  if (err.code != 0) {
    // Others may use the execute links while the program comes up; a link
    // is pointed at this topic again afterwards.
    lease.Release();
    if (!co_await StartOnce(g, exe, linkTopic)) co_return "";
    err.Clear();
    lease = co_await links.Take(topic);
    co_await PointExecuteLink(lease.link(), topic, err);
  }
  if (err.code != 0) {
    LogEvent(g, &g.List1, err.text + " trying to connect " + linkTopic);
    co_return "";
  }

  std::string cmd = "initialize " + Trim(g.lnkItem.Text());
  LogEvent(g, &g.List1, topic + ":" + cmd);
  err.Clear();
  LinkControl& link = lease.link();
  err.Note(co_await link.LinkExecute(cmd), link);
  if (err.code == kLinkTimeout) co_await link.SetLinkMode(0);  // as in ExecuteOnTopic
  if (err.code != 0)
    LogEvent(g, &g.List1, err.text + " trying to execute with " + linkTopic + "|" + g.lnkItem.Text());
  co_return "";
}

asio::awaitable<void> ExecuteOnTopic(Gateway& g, std::string topic, std::string command, LinkError& err) {
  ExecuteLinks::Lease lease = co_await Bridge(g).executeLinks.Take(topic);
  LinkControl& link = lease.link();
  co_await PointExecuteLink(link, topic, err);
  link.Caption = std::move(command);
  err.Note(co_await link.LinkExecute(link.Caption), link);
  // A program that did not acknowledge in time is still busy with the
  // command on this conversation: the next command would queue behind it
  // and time out too. The conversation is given up, and its late answer
  // with it; the next command goes out on a fresh one.
  if (err.code == kLinkTimeout) co_await link.SetLinkMode(0);
}

asio::awaitable<int> OpenNotifyLink(Gateway& g, int n, std::string topic, std::string item) {
  const SessionRef session = g.Ref(n);
  LinkError err;
  co_await ExecuteOnTopic(g, topic, "-" + std::to_string(n) + ",", err);
  // A session that ended meanwhile must not have its successor's link
  // re-targeted; the caller sees the change and stops.
  LinkControl* slot_link = g.Holds(session) && n >= 1 ? g.SlotLink(n) : nullptr;
  if (!slot_link) co_return err.code != 0 ? err.code : kLinkNoChannel;
  LinkControl& link = *slot_link;
  link.LinkTopic = topic;
  link.LinkItem = item;
  err.Note(co_await link.SetLinkMode(3), link);
  co_return err.code;
}

asio::awaitable<void> CloseSpareExecuteLinks(Gateway& g) { co_await Bridge(g).executeLinks.CloseSpares(); }

}  // namespace korvane
