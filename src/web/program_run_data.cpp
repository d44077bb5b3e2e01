// The program runner's data: a topic's keys, the fields the gateway adds,
// line-break handling and the names of the output and its kept copy.
#include <limits>

#include "core/config.h"
#include "core/primitives.h"
#include "platform/clock.h"
#include "web/program_run_steps.h"

namespace korvane {
namespace {

std::string Key(Gateway& g, const std::string& topic, const char* key) {
  return ConfigLookup(g, topic + "|" + key);
}

// A 16-bit number key. A value out of range does not convert; the key then
// keeps its default of 0.
int16_t Int16Key(Gateway& g, const std::string& topic, const char* key) {
  long long v = RoundHalfEven(Val(Key(g, topic, key)));
  if (v < std::numeric_limits<int16_t>::min() || v > std::numeric_limits<int16_t>::max()) return 0;
  return static_cast<int16_t>(v);
}

bool FlagKey(Gateway& g, const std::string& topic, const char* key) { return Val(Key(g, topic, key)) != 0; }

// The record's referer is the whole "Referer: " line; the field gets the
// address in it, characters 10 to length - 2 (the line's CR LF dropped). A
// text too short for that gives no field at all.
bool RefererValue(const std::string& referer, std::string& value) {
  if (referer.size() < 11) return false;
  value = Trim(referer.substr(9, referer.size() - 11));
  return true;
}

std::string HostValue(const std::string& peeraddress) {
  std::string host = peeraddress.substr(0, peeraddress.find('\r'));
  return Trim(host.substr(0, host.find('\n')));
}

}  // namespace

ProgramTopic ReadProgramTopic(Gateway& g, const std::string& topic) {
  ProgramTopic t;
  t.field = Key(g, topic, "topic");
  t.exe = Key(g, topic, "EXE");
  t.referer = FlagKey(g, topic, "referer");
  t.sendhost = FlagKey(g, topic, "sendhost");
  t.outFileType = Key(g, topic, "OutFileType");
  t.commandLine = Key(g, topic, "CommandLine");
  t.crlf = Key(g, topic, "CRLF");
  t.deleteFile = Int16Key(g, topic, "DeleteFile");
  t.returnHasPassword = Int16Key(g, topic, "ReturnHasPassword");
  return t;
}

bool IsBuiltInTopic(const std::string& topic) { return topic == kReflectTopic || topic == kFormTestTopic; }

std::string AddServerFields(Gateway& g, const SessionRecord& r, const ProgramTopic& t,
                            const std::string& topic, std::string data) {
  const std::string& crlf = g.CRLF;
  std::string referer;
  if (t.referer && RefererValue(r.referer, referer)) data = "&Referer\x01=" + referer + "&" + crlf + data;
  if (t.sendhost) data = "&Host\x01=" + HostValue(r.peeraddress) + "&" + crlf + data;
  // A program writing HTML needs no telling; the built-in topics write no file.
  if (t.outFileType != "HTM" && !IsBuiltInTopic(topic))
    data = "&outfiletype=" + t.outFileType + "&" + crlf + data;
  return data;
}

void ApplyLineBreaks(std::string& data, const std::string& crlfValue) {
  if (crlfValue.empty()) return;
  if (data.find(crlfValue) != std::string::npos) {
    ReplaceAll(data, "||", "\r\n");
  } else {
    ReplaceAll(data, "\r\n\r\n", "\r\n");
  }
}

std::string OutputName(const std::string& input, const std::string& outFileType) {
  return input.substr(0, input.find('.')) + "." + outFileType;
}

std::string KeptCopyName(const std::string& query) {
  const std::string head = query.substr(0, 100);
  size_t post = head.find("POST");
  if (post == std::string::npos) return "";
  // "POST /path/name.htm ...": the path is the word after the blank.
  std::string path = head.substr(post + 4);
  if (!path.empty() && path[0] == ' ') path.erase(0, 1);
  path = path.substr(0, path.find(' '));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace korvane
