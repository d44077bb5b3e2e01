// Steps of the program runner that stand on their own: reading a topic's
// section, building the program's data, naming its files.
#pragma once
#include <asio.hpp>

#include <cstdint>
#include <string>

#include "core/gateway.h"

namespace korvane {

// Topic names the runner knows without configuration: their data is
// %-decoded once more, and they get no "&outfiletype=" line.
inline constexpr char kReflectTopic[] = "reflect";
inline constexpr char kFormTestTopic[] = "formtest";

// EXE value that runs nothing: the input file itself is the answer.
inline constexpr char kNoProgram[] = "<none>";

// A topic's section of the configuration, read key by key at the moment of
// the request (an edited korvane.ini applies to the next request).
struct ProgramTopic {
  std::string field;        // "topic": the query field holding the data, or "ALL"
  std::string exe;          // "EXE"
  bool referer = false;     // "referer" not 0
  bool sendhost = false;    // "sendhost" not 0
  std::string outFileType;  // "OutFileType"
  std::string commandLine;  // "CommandLine"
  std::string crlf;         // "CRLF"
  int16_t deleteFile = 0;   // "DeleteFile"
  int16_t returnHasPassword = 0;  // "ReturnHasPassword"
};

ProgramTopic ReadProgramTopic(Gateway& g, const std::string& topic);

bool IsBuiltInTopic(const std::string& topic);

// The data with the fields the gateway adds in front: "&Referer" and "&Host"
// carry character 1 before their "=" (a client cannot send that character,
// so it cannot forge them), and "&outfiletype=" tells the program what to
// write.
std::string AddServerFields(Gateway& g, const SessionRecord& r, const ProgramTopic& t,
                            const std::string& topic, std::string data);

// The CRLF key: when data holds its value, "||" stands for a line break;
// otherwise doubled line breaks are made single.
void ApplyLineBreaks(std::string& data, const std::string& crlfValue);

// The output file: the input's name up to its first ".", then "." and the
// output file type.
std::string OutputName(const std::string& input, const std::string& outFileType);

// The name under which DeleteFile=2 keeps a copy of the output: the posted
// document's name (last path piece of a POST request), "" for other requests.
std::string KeptCopyName(const std::string& query);

// The ExeTopicList entry whose TOPIC field is topic: its EXE in exe.
bool FindExeTopic(Gateway& g, const std::string& topic, std::string& exe);

// The served-program road for topics of the ExeTopicList; text is the
// router's query text (or the topic name for a handed-over document).
asio::awaitable<void> RunLinkTopic(Gateway& g, int i, std::string topic, std::string exe,
                                   std::string text);

// "Unknown topic, " and the topic; the session ends unless kept alive.
asio::awaitable<void> UnknownTopic(Gateway& g, int i, std::string topic);

// Ends session i with reason unless it is kept alive, and only while it is
// still the session that started the request (generation session).
asio::awaitable<void> EndUnlessKeptAlive(Gateway& g, int i, SessionRef session, std::string reason);

}  // namespace korvane
