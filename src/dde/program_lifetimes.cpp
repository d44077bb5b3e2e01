#include "dde/program_lifetimes.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "core/config.h"
#include "core/primitives.h"
#include "dde/link_bridge.h"
#include "dde/link_manager.h"
#include "platform/clock.h"
#include "platform/link_control.h"
#include "platform/process.h"

namespace korvane {
namespace {

constexpr double kTermGraceSeconds = 5;

double SteadyNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string ProgramKey(const std::string& linkTopic) {
  std::string program = Trim(linkTopic.substr(0, linkTopic.find('|')));
  std::transform(program.begin(), program.end(), program.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return program;
}

std::map<int, LinkBridge::StartedProgram>& Running(Gateway& g) { return Bridge(g).started; }

// The process and its group: helpers a program started go with it.
void Signal(pid_t pid, int sig) {
  if (::kill(-pid, sig) != 0) ::kill(pid, sig);
}

// Slots whose request to this program waits for its answer.
std::vector<int> WaitingSlots(Gateway& g, const std::string& program) {
  std::vector<int> slots;
  for (size_t k = 1; k < g.lnkDDE.size(); ++k) {
    const int slot = static_cast<int>(k);
    if (g.lnkDDE[k] && IsAwaiting(g, g.Ref(slot)) &&
        ProgramKey(g.lnkDDE[k]->LinkTopic) == program)
      slots.push_back(slot);
  }
  return slots;
}

asio::awaitable<void> Sleep(Gateway& g, double seconds) {
  asio::steady_timer t(g.io, std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
  std::error_code ignored;
  co_await t.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

// SIGTERM, then SIGKILL to those still running after the grace time.
asio::awaitable<void> EndPrograms(Gateway& g, std::vector<pid_t> pids) {
  for (pid_t pid : pids) Signal(pid, SIGTERM);
  const double deadline = SteadyNow() + kTermGraceSeconds;
  const auto anyRunning = [&] {
    return std::any_of(pids.begin(), pids.end(), [&](pid_t pid) { return Running(g).count(pid) > 0; });
  };
  while (anyRunning() && SteadyNow() < deadline) co_await Sleep(g, 0.05);
  for (pid_t pid : pids)
    if (Running(g).count(pid)) Signal(pid, SIGKILL);
}

asio::awaitable<void> Reap(Gateway& g, pid_t pid) {
  co_await WaitForExit(g.io, pid);
  Running(g).erase(pid);
}

// Every second: while requests of the program wait, how long since it last
// answered (or since they began to wait)? Past the limit the program is
// ended and started again through its link, as a first request would.
asio::awaitable<void> WatchForHang(Gateway& g, pid_t pid, double limit) {
  double quietSince = SteadyNow();
  for (;;) {
    co_await Sleep(g, 1);
    auto it = Running(g).find(pid);
    if (it == Running(g).end()) co_return;
    const LinkBridge::StartedProgram started = it->second;
    std::vector<int> waiting = WaitingSlots(g, ProgramKey(started.program));
    if (waiting.empty()) {
      quietSince = SteadyNow();
      continue;
    }
    double since = std::max(quietSince, Bridge(g).lastAnswers[ProgramKey(started.program)]);
    if (SteadyNow() - since < limit) continue;
    LogEvent(g, &g.List1, "  Restart " + started.exePath + ": no answer for " +
                              std::to_string(static_cast<long long>(limit)) + " seconds");
    // The new program never sees the requests the old one held: they end
    // by expiry, and do not count against the new one.
    std::string topic = Trim(g.lnkDDE[waiting.front()]->LinkTopic);
    for (int slot : waiting) StopAwaiting(g, slot);
    std::vector<pid_t> hung(1, pid);
    co_await EndPrograms(g, std::move(hung));
    while (Running(g).count(pid)) co_await Sleep(g, 0.05);
    std::string refusal = co_await StartLinkProgram(g, topic);
    if (!refusal.empty()) LogEvent(g, &g.List1, refusal);
    co_return;  // a new program has a watch of its own
  }
}

}  // namespace

void NoteStartedProgram(Gateway& g, pid_t pid, const std::string& linkTopic, const std::string& exePath) {
  std::string program = Trim(linkTopic.substr(0, linkTopic.find('|')));
  Running(g)[pid] = {program, exePath};
  asio::co_spawn(g.io, Reap(g, pid), asio::detached);
  double limit = Val(ConfigLookup(g, program + "|RestartAfter"));
  if (limit > 0) asio::co_spawn(g.io, WatchForHang(g, pid, limit), asio::detached);
}

void NoteProgramAnswer(Gateway& g, const std::string& linkTopic) {
  Bridge(g).lastAnswers[ProgramKey(linkTopic)] = SteadyNow();
}

asio::awaitable<void> EndStartedPrograms(Gateway& g) {
  std::vector<pid_t> ending;
  for (const auto& [pid, started] : Running(g))
    if (Val(ConfigLookup(g, started.program + "|KeepRunning")) == 0) ending.push_back(pid);
  if (!ending.empty()) co_await EndPrograms(g, ending);
}

}  // namespace korvane
