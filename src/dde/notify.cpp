#include "dde/notify.h"

#include <cctype>

#include "core/sessions.h"
#include "dde/link_bridge.h"
#include "dde/program_lifetimes.h"
#include "platform/link_control.h"
#include "web/documents.h"

namespace korvane {
namespace {

// rest with "/" turned into "\", the way the gateway writes paths.
std::string Backslashed(std::string rest) {
  for (char& c : rest)
    if (c == '/') c = '\\';
  return rest;
}

bool StartsWithFolder(const std::string& path, const std::string& folder) {
  return !folder.empty() && path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

}  // namespace

NotifyValue ParseNotifyValue(const std::string& caption) {
  std::string value = caption + ",,";
  size_t first = value.find(',');
  size_t second = value.find(',', first + 1);
  return {value.substr(0, first), value.substr(first + 1, second - first - 1)};
}

std::string AnswerFileName(Files& files, const std::string& file) {
  if (file.empty() || file[0] != '/') return file;
  const std::string& drives = files.drives_root();
  if (StartsWithFolder(file, drives)) {
    std::string rest = file.substr(drives.size() + 1);  // "c/temp/a.htm"
    if (rest.size() >= 2 && rest[1] == '/' && std::isalpha(static_cast<unsigned char>(rest[0])))
      return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0])))) + ":\\" +
             Backslashed(rest.substr(2));
  }
  const std::string& home = files.home();
  if (StartsWithFolder(file, home)) return Backslashed(file.substr(home.size() + 1));
  return file;
}

asio::awaitable<void> lnkDDE_LinkNotify(Gateway& g, int Index) {
  // Only the session whose request went out on this link may take the
  // answer: a late answer must not reach a later session of the slot.
  const SessionRef session = g.Ref(Index);
  if (!IsAwaiting(g, session) || static_cast<size_t>(Index) >= g.lnkDDE.size() || !g.lnkDDE[Index]) co_return;
  LinkControl& link = *g.lnkDDE[Index];
  co_await link.LinkRequest();  // a failure leaves the caption as it was
  if (!IsAwaiting(g, session)) co_return;
  NoteProgramAnswer(g, link.LinkTopic);

  RenewExpiry(g, Index, Renewal::kArm);
  NotifyValue value = ParseNotifyValue(link.Caption);
  if (value.id.empty()) {
    StopAwaiting(g, Index);
    co_await EndSession(g, Index, "linkNotify");
    co_return;
  }
  if (value.id != link.Tag || !g.CommandConnected(Index)) co_return;

  // One answer per request, even when the program sets the item twice.
  StopAwaiting(g, Index);
  const SessionRecord* r = g.Record(Index);
  if (r && r->n.roadStarted != std::chrono::steady_clock::time_point{})
    g.metrics.linkRoundTrip.Add(std::chrono::steady_clock::now() - r->n.roadStarted);
  bool noRecentCopy = r && r->n.returnhaspassword != 0;
  co_await www_send_file(g, Index, AnswerFileName(g.files, value.file), "", false, noRecentCopy, false);
  if (!g.Holds(session)) co_return;
  co_await EndSession(g, Index, "linkNotify www_send_file");
}

}  // namespace korvane
