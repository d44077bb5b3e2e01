// WWW_EXE_Request: a request answered by running a configured program. The
// data goes into an input file, the program runs while every other session
// is served, and the file it wrote goes back through www_send_file.
#include <strings.h>

#include "core/config.h"
#include "core/http_answer.h"
#include "core/primitives.h"
#include "core/sessions.h"
#include "core/url_utils.h"
#include "web/documents.h"
#include "web/program_run.h"
#include "web/program_run_steps.h"
#include "web/roads.h"

namespace korvane {
namespace {

constexpr char kTempFolder[] = "c:\\temp";
constexpr char kInputPrefix[] = "dde";
constexpr char kKeptCopyFolder[] = "C:\\temp\\korvane";

// The topic and the decoded query. A handed-over document names its topic
// and brings no query. A form or multipart body may itself hold "HTTP", so
// those are cut at the first one (the request line's); a GET at the last.
void DecodeRequest(const SessionRecord& r, const std::string& file, const std::string& text,
                   std::string& topic, std::string& query) {
  if (!file.empty()) {
    topic = text;
    query.clear();
  } else {
    const bool lastHttp = r.n.state != kFormBody && r.n.state != kMultipartBody;
    query = '&' + UrlDecode(text, lastHttp);
    topic = QueryValue(query, "TOPIC");
  }
  topic = NextToken(topic, " ");
}

// Fills the input file; returns the file the program is to read. The
// built-in topics get their data decoded once more: they show the fields
// as the client meant them.
std::string FillInput(Files& files, const std::string& input, const std::string& file, bool copyFlag,
                      const std::string& topic, std::string data) {
  if (file.empty()) {
    if (IsBuiltInTopic(topic)) data = UrlDecode(data, false);
    files.WriteAll(input, data);
    return input;
  }
  if (!copyFlag) return file;
  files.Copy(file, input);
  return input;
}

// DeleteFile: 0 keeps the output, 2 keeps a copy under the posted name
// (where the document fallback finds it again), any other value drops it.
void KeepOrDelete(Files& files, const std::string& query, const std::string& output, int16_t deleteFile) {
  if (deleteFile == 2) {
    const std::string name = KeptCopyName(query);
    if (!name.empty()) {
      files.MakeDirs(kKeptCopyFolder);
      files.Copy(output, std::string(kKeptCopyFolder) + "\\" + name);
    }
  }
  if (deleteFile != 0) files.Remove(output);
}

// The input file is the gateway's own and is removed once the program's
// answer is done with: left behind, one file per request would pile up in
// c:\temp without end. It stays when it is itself the answer (reflect
// with OutFileType=tmp; DeleteFile decides then) and when the operator keeps
// input files to see what programs were given ([Variables] KeepInputFiles=1).
void RemoveInput(Gateway& g, const std::string& made, const std::string& output) {
  if (::strcasecmp(made.c_str(), output.c_str()) == 0) return;
  if (ConfigLookup(g, "Variables|KeepInputFiles") == "1") return;
  g.files.RemoveMade(made);
}

asio::awaitable<void> RunProgramTopic(Gateway& g, int i, SessionRef session, std::string file, std::string topic,
                                      std::string query, std::string mimetype, bool copyFlag,
                                      ProgramTopic t) {
  std::string data = t.field == "ALL" ? query : QueryValue(query, t.field);
  if ((file.empty() && data.empty()) || t.exe.empty()) {
    co_await UnknownTopic(g, i, topic);
    co_return;
  }
  if (const SessionRecord* r = g.Record(i)) data = AddServerFields(g, *r, t, topic, std::move(data));

  const std::string made = g.files.TempName(kTempFolder, kInputPrefix);
  if (made.empty()) {
    co_await UnknownTopic(g, i, topic);
    co_return;
  }
  ApplyLineBreaks(data, t.crlf);
  const std::string input = FillInput(g.files, made, file, copyFlag, topic, std::move(data));

  const std::string command = t.exe + " " + t.commandLine + " " + input;
  LogEvent(g, nullptr, "www_exe_request " + command);
  if (t.exe != kNoProgram) {
    const auto started = std::chrono::steady_clock::now();
    co_await ShellAndWait(g, command, input);
    g.metrics.programRun.Add(std::chrono::steady_clock::now() - started);
  }
  const std::string output = OutputName(input, t.outFileType);

  if (!g.Holds(session)) {
    // Expiry or Close Port ended the session while the program ran: the slot
    // may hold another client by now, who must not get this answer.
    LogEvent(g, &g.List1, '#' + std::to_string(i) + " program ended after its session: " + command);
    if (t.deleteFile != 0) g.files.Remove(output);
    RemoveInput(g, made, output);
    co_return;
  }
  CountHit(g, topic.substr(0, 1));
  co_await www_send_file(g, i, output, mimetype, false, t.returnHasPassword != 0, false);
  KeepOrDelete(g.files, query, output, t.deleteFile);
  RemoveInput(g, made, output);
  co_await EndUnlessKeptAlive(g, i, session, "WWW_EXE_Requestdone");
}

}  // namespace

asio::awaitable<void> WWW_EXE_Request(Gateway& g, int index, std::string file, std::string text,
                                      bool copyFlag) {
  const int i = index;
  RenewExpiry(g, i, Renewal::kArm);
  const SessionRecord* r = g.Record(i);
  if (!r) co_return;
  const SessionRef session = g.Ref(i);

  std::string topic, query;
  DecodeRequest(*r, file, text, topic, query);
  const std::string mimetype = topic == kReflectTopic ? QueryValue(query, "mimetype") : "";

  const ProgramTopic t = ReadProgramTopic(g, topic);
  if (t.field.empty()) {
    std::string exe;
    if (FindExeTopic(g, topic, exe)) {
      co_await RunLinkTopic(g, i, topic, exe, text);
    } else {
      co_await UnknownTopic(g, i, topic);
    }
    co_return;
  }
  co_await RunProgramTopic(g, i, session, file, topic, query, mimetype, copyFlag, t);
}

asio::awaitable<void> UnknownTopic(Gateway& g, int i, std::string topic) {
  const SessionRef session = g.Ref(i);
  co_await SendAnswer(g, i, kNotFound, "Unknown topic, " + topic);
  co_await EndUnlessKeptAlive(g, i, session, "WWW_EXE_Request_unknowntopic");
}

asio::awaitable<void> EndUnlessKeptAlive(Gateway& g, int i, SessionRef session, std::string reason) {
  if (!g.Holds(session)) co_return;
  const SessionRecord* r = g.Record(i);
  if (r && r->n.keepalive != kTrue) co_await EndSession(g, i, reason);
}

}  // namespace korvane
