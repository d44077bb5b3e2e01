// WWW_DDE_Request: hands one web request to its served program as an
// execute command. Nothing goes to the browser on success; the program's
// answer arrives later as a notification of the session's link.
#include "dde/relay.h"

#include <unistd.h>

#include <algorithm>

#include "core/config.h"
#include "core/http_answer.h"
#include "core/primitives.h"
#include "core/sessions.h"
#include "core/url_utils.h"
#include "dde/link_bridge.h"
#include "dde/link_manager.h"
#include "platform/clock.h"
#include "platform/link_control.h"
#include "platform/text.h"
#include "web/roads.h"
#include "web/router.h"

namespace korvane {
namespace {

constexpr char kPasswordTailMark = '\x1a';

int16_t WholeNumber(const std::string& text) {
  long long v = RoundHalfEven(Val(text));
  return static_cast<int16_t>(std::clamp<long long>(v, INT16_MIN, INT16_MAX));
}

std::string ProgramOf(const std::string& topic) { return Trim(topic.substr(0, topic.find('|'))); }

asio::awaitable<void> RefuseTopic(Gateway& g, int n, SessionRef session, const std::string& topic) {
  LogEvent(g, &g.List1, '#' + Num(n) + " invalid topic: " + topic);
  co_await SendAnswer(g, n, kNotFound, "Error! Invalid lnkTopic IN WWW_DDE_REQUEST: " + topic);
  if (g.Holds(session)) co_await EndSession(g, n, "WWW_DDE_Request");
}

asio::awaitable<void> ReportFailure(Gateway& g, int n, SessionRef session, int e) {
  std::string message = LinkErrorText(e);
  LogEvent(g, &g.List1, '#' + Num(n) + " ierror " + Num(e) + " " + message);
  co_await SendAnswer(g, n, LinkFailureStatus(e),
                      "Error: " + message + g.CRLF + "Program is unavailable or busy. Please try again later.");
  if (g.Holds(session)) co_await EndSession(g, n, "WWW_DDE_Request_error" + Num(e));
}

// Opens the session's notify link; when that fails, has the program drop
// what it holds for the session and tries again, and then once more after
// starting the program. Returns the last error code.
asio::awaitable<int> OpenSessionLink(Gateway& g, int n, SessionRef session, const std::string& topic,
                                     const std::string& item) {
  LinkControl* slot_link = n >= 1 ? g.SlotLink(n) : nullptr;
  if (!slot_link) co_return kLinkNoChannel;
  LinkControl& link = *slot_link;
  link.LinkTopic = Trim(topic);
  link.LinkItem = item;
  int e = co_await link.SetLinkMode(3);
  if (e == 0 || !g.Holds(session)) co_return e;
  e = co_await OpenNotifyLink(g, n, Trim(topic), item);
  if (e == 0 || !g.Holds(session)) co_return e;
  std::string text = co_await StartLinkProgram(g, topic);
  LogEvent(g, &g.List1, '#' + Num(n) + " " + text);
  if (!g.Holds(session)) co_return e;
  co_return co_await OpenNotifyLink(g, n, Trim(topic), item);
}

// The session's temporary file may already hold a multipart upload; the
// overflow text then goes to a file of its own, so that neither is lost.
std::string OverflowFile(Gateway& g, int n) {
  MakeTempFileName(g, n);
  SessionRecord* r = g.Record(n);
  std::string file = r ? r->tempfile : "";
  if (!file.empty() && g.files.Length(file) <= 0) return file;
  file = g.files.TempName("C:\\temp", "~dde");
  std::vector<std::string>& kept = Bridge(g).overflowFiles;
  if (kept.size() <= static_cast<size_t>(n)) kept.resize(n + 1);
  kept[n] = g.files.Host(file);
  return file;
}

// The program reads the file itself, so it gets the host's name for it.
std::string OverflowReference(Gateway& g, int n, const std::string& text) {
  std::string file = OverflowFile(g, n);
  WriteTextFile(g.files, text, file);
  return "&_OF_=" + Trim(g.files.Host(file)) + "&";
}

// The overflow file of the slot's previous request has been read by now.
void DropOldOverflowFile(Gateway& g, int n) {
  std::vector<std::string>& kept = Bridge(g).overflowFiles;
  if (static_cast<size_t>(n) >= kept.size() || kept[n].empty()) return;
  Files::ForgetLooks();
  ::unlink(kept[n].c_str());
  kept[n].clear();
}

asio::awaitable<int> SendRequest(Gateway& g, int n, const std::string& topic, std::string text) {
  if (text.size() > kLongestExecuteText && Val(ConfigLookup(g, ProgramOf(topic) + "|OverflowOK")) != 0)
    text = OverflowReference(g, n, text);
  LinkError err;
  co_await ExecuteOnTopic(g, Trim(topic), Num(n) + "," + text, err);
  co_return err.code;
}

}  // namespace

bool TopicAllowed(Gateway& g, const std::string& topic) {
  return g.lnkTopic.Text().find(" " + topic + " ") != std::string::npos;
}

std::string RequestText(const std::string& r, const std::string& stail) {
  return stail.empty() ? r : r + kPasswordTailMark + stail;
}

asio::awaitable<void> WWW_DDE_Request(Gateway& g, int index, std::string query) {
  const int n = index;
  const SessionRef session = g.Ref(n);
  std::string stail;
  std::string topic = extractlink(query, stail);
  if (!TopicAllowed(g, topic)) {
    co_await RefuseTopic(g, n, session, topic);
    co_return;
  }
  CountHit(g, topic.substr(0, 1));
  if (SessionRecord* r = g.Record(n))
    r->n.returnhaspassword = WholeNumber(ConfigLookup(g, ProgramOf(topic) + "|ReturnHasPassword"));
  DropOldOverflowFile(g, n);

  std::string item = Trim(g.lnkItem.Text()) + "(" + Num(n) + ")";
  int e = co_await OpenSessionLink(g, n, session, topic, item);
  if (!g.Holds(session)) co_return;
  if (e == 0) {
    // Marked before sending: the answer may overtake the execute's reply.
    SetAwaiting(g, session);
    e = co_await SendRequest(g, n, topic, RequestText(query, stail));
    if (!g.Holds(session)) co_return;
    if (e != 0 && !IsAwaiting(g, session)) co_return;  // LinkLost has answered
    if (e != 0) StopAwaiting(g, n);
  }
  if (e != 0) co_await ReportFailure(g, n, session, e);
}

asio::awaitable<void> LinkLost(Gateway& g, int index) {
  const SessionRef session = g.Ref(index);
  if (!IsAwaiting(g, session)) co_return;
  StopAwaiting(g, index);
  co_await ReportFailure(g, index, session, kLinkNoChannel);
}

}  // namespace korvane
