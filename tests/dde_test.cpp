// The link bridge in this process: a gateway and served programs of the link
// library share one io_context and talk over real Unix sockets; browsers are
// real loopback clients.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/sessions.h"
#include "dde/link_bridge.h"
#include "dde/link_manager.h"
#include "dde/notify.h"
#include "dde/relay.h"
#include "link/served_program.h"
#include "platform/link_control.h"
#include "test_support.h"
#include "web/roads.h"

namespace korvane::test {
namespace {

constexpr char kIni[] =
    "[Variables]\r\nMaxUsers=4\r\nExpireSeconds=60\r\n"
    "[Topics]\r\ncalc=sheet\r\n"
    "[calc]\r\nEXE=nothere\r\nAutoStart=1\r\nOverflowOK=1\r\n"
    "[noexe]\r\nAutoStart=1\r\n"
    "[yes]\r\nEXE=x\r\nAutoStart=yes\r\n";

// A served program that records the execute commands it receives and
// refuses those that begin with refusePrefix.
struct Program {
  Program(GatewayHarness& h, const std::string& app, const std::string& topic)
      : served(h.io(), app, h.g().opts.link_dir) {
    served.AddTopic(topic, [this](const std::string& command) {
      commands.push_back(command);
      return refusePrefix.empty() || command.rfind(refusePrefix, 0) != 0;
    });
    served.Start();
  }
  link::ServedProgram served;
  std::vector<std::string> commands;
  std::string refusePrefix;
};

template <class T>
T Finish(GatewayHarness& h, asio::awaitable<T> work) {
  std::optional<T> result;
  asio::co_spawn(h.io(), std::move(work), [&](std::exception_ptr, T value) { result = std::move(value); });
  EXPECT_TRUE(h.RunUntil([&] { return result.has_value(); }));
  return result.value_or(T{});
}

void FinishVoid(GatewayHarness& h, asio::awaitable<void> work) {
  bool done = false;
  asio::co_spawn(h.io(), std::move(work), [&](std::exception_ptr) { done = true; });
  EXPECT_TRUE(h.RunUntil([&] { return done; }));
}

// A browser connected to the gateway: the harness runs until its session
// is open on slot 1.
struct Browser {
  explicit Browser(GatewayHarness& h) : client(h.port()) {
    EXPECT_TRUE(h.RunUntil([&] { return h.g().CommandConnected(1); }));
  }
  Client client;
};

TEST(StartLinkProgram, RefusesWhatTheConfigurationForbids) {
  GatewayHarness h(kIni);
  Program running(h, "yes", "t");
  EXPECT_EQ(Finish(h, StartLinkProgram(h.g(), "calc")), "link topic must be of the form 'program|topic'");
  EXPECT_EQ(Finish(h, StartLinkProgram(h.g(), "noexe|t")), "noexe|t EXE entry not found in " + h.g().IniPath);
  // Not started, and not told to initialize, even though it is running.
  EXPECT_EQ(Finish(h, StartLinkProgram(h.g(), "yes|t")), "yes|t cannot be started automatically");
  EXPECT_TRUE(running.commands.empty());
  EXPECT_EQ(h.view.beeps, 0);
  EXPECT_EQ(h.g().lnkDDE[0]->LinkMode(), 0);
}

TEST(StartLinkProgram, InitializesARunningProgramWithoutStartingIt) {
  GatewayHarness h(kIni);
  Program calc(h, "calc", "sheet");
  EXPECT_EQ(Finish(h, StartLinkProgram(h.g(), " calc|sheet ")), "");
  EXPECT_EQ(calc.commands, std::vector<std::string>{"initialize lnkWWW"});
  EXPECT_EQ(h.view.beeps, 0);
  EXPECT_TRUE(h.SawEvent("calc|sheet:initialize lnkWWW"));
}

TEST(StartLinkProgram, LogsAProgramThatCannotBeStarted) {
  GatewayHarness h(kIni);
  EXPECT_EQ(Finish(h, StartLinkProgram(h.g(), "calc|sheet")), "");
  EXPECT_EQ(h.view.beeps, 3);
  EXPECT_TRUE(h.SawEvent("Start .\\nothere"));  // the log trims the message
  EXPECT_TRUE(h.SawEvent("No such file or directory trying to start .\\nothere"));
}

TEST(OpenNotifyLink, CancelsThenAdvisesAndReportsARefusedCancel) {
  GatewayHarness h(kIni);
  Program calc(h, "calc", "sheet");
  calc.refusePrefix = "-3,";
  EXPECT_EQ(Finish(h, OpenNotifyLink(h.g(), 3, "calc|sheet", "lnkWWW(3)")), kLinkRefused);
  EXPECT_EQ(calc.commands, std::vector<std::string>{"-3,"});
  EXPECT_EQ(h.g().lnkDDE[3]->LinkMode(), 3);
  EXPECT_EQ(h.g().lnkDDE[3]->LinkItem, "lnkWWW(3)");
}

// Two sessions point the shared execute link at different programs at the
// same moment: each command must reach its own program.
TEST(ExecuteOnTopic, NoSessionRetargetsTheLinkUnderAnother) {
  GatewayHarness h(kIni);
  Program a(h, "alpha", "t");
  Program b(h, "beta", "t");
  LinkError errA, errB;
  int done = 0;
  auto finish = [&](std::exception_ptr) { ++done; };
  asio::co_spawn(h.io(), ExecuteOnTopic(h.g(), "alpha|t", "1,for alpha", errA), finish);
  asio::co_spawn(h.io(), ExecuteOnTopic(h.g(), "beta|t", "2,for beta", errB), finish);
  asio::co_spawn(h.io(), ExecuteOnTopic(h.g(), "alpha|t", "3,for alpha", errA), finish);
  ASSERT_TRUE(h.RunUntil([&] { return done == 3; }));
  EXPECT_EQ(a.commands, (std::vector<std::string>{"1,for alpha", "3,for alpha"}));
  EXPECT_EQ(b.commands, std::vector<std::string>{"2,for beta"});
  EXPECT_EQ(errA.code, 0);
  EXPECT_EQ(errB.code, 0);
}

TEST(WWW_DDE_Request, UnlistedLinkIsRefused) {
  GatewayHarness h(kIni);
  Program calc(h, "calc", "sheet");
  Browser browser(h);
  Spawn(h.g(), WWW_DDE_Request(h.g(), 1, "&MYIP=1&ID=5.00&GET /calc/other?a=1 HTTP/1.0\r\n"));
  std::string answer;
  WithClient(h, [&] { answer = browser.client.ReadAll(); });
  EXPECT_EQ(answer, "Error! Invalid lnkTopic IN WWW_DDE_REQUEST: calc|other\r\n");
  EXPECT_TRUE(h.SawEvent("#1 invalid topic: calc|other"));
  EXPECT_TRUE(h.SawEvent("#1 to be detached by WWW_DDE_Request"));
  EXPECT_TRUE(calc.commands.empty());
  EXPECT_EQ(h.g().lnkDDE[1]->LinkMode(), 0);
}

TEST(WWW_DDE_Request, LongRequestTravelsInTheOverflowFile) {
  GatewayHarness h(kIni);
  Program calc(h, "calc", "sheet");
  Browser browser(h);
  // The rewritten text is what counts: "&GET /" becomes "&__=".
  const std::string head = "&MYIP=127.0.0.1&ID=5.00&GET /calc/sheet?x=";
  const std::string rewritten = "&MYIP=127.0.0.1&ID=5.00&__=calc/sheet&x=";
  auto filler = [&](size_t total) { return std::string(total - rewritten.size() - 2, 'a') + "\r\n"; };
  FinishVoid(h, WWW_DDE_Request(h.g(), 1, head + filler(1020)));
  FinishVoid(h, WWW_DDE_Request(h.g(), 1, head + filler(1021)));

  ASSERT_EQ(calc.commands.size(), 2u);
  EXPECT_EQ(calc.commands[0], "1," + rewritten + filler(1020));
  const std::string& tempfile = h.g().Sessions[1].tempfile;
  EXPECT_EQ(calc.commands[1], "1,&_OF_=" + h.g().files.Host(tempfile) + "&");
  std::string written;
  ASSERT_TRUE(h.g().files.ReadAll(tempfile, written));
  EXPECT_EQ(written, rewritten + filler(1021));
}

TEST(WWW_DDE_Request, OverflowLeavesAnUploadInTheSessionFileAlone) {
  GatewayHarness h(kIni);
  Program calc(h, "calc", "sheet");
  Browser browser(h);
  h.g().Sessions[1].tempfile = "C:\\temp\\upload.tmp";
  h.g().files.MakeDirs("C:\\temp");
  h.g().files.WriteAll("C:\\temp\\upload.tmp", "UPLOAD");
  std::string query = "&MYIP=1&ID=5.00&GET /calc/sheet?x=" + std::string(1100, 'b');
  FinishVoid(h, WWW_DDE_Request(h.g(), 1, query));

  ASSERT_EQ(calc.commands.size(), 1u);
  std::string command = calc.commands[0];
  ASSERT_EQ(command.rfind("1,&_OF_=", 0), 0u);
  std::string path = command.substr(8, command.size() - 9);
  EXPECT_NE(path, h.g().files.Host("C:\\temp\\upload.tmp"));
  std::string upload;
  h.g().files.ReadAll("C:\\temp\\upload.tmp", upload);
  EXPECT_EQ(upload, "UPLOAD");
}

TEST(WWW_DDE_Request, PasswordTailFollowsCharacter26) {
  GatewayHarness h(kIni);
  Program calc(h, "calc", "sheet");
  Browser browser(h);
  FinishVoid(h, WWW_DDE_Request(h.g(), 1, "&MYIP=1&ID=5.00&GET /calc/sheet?pass=*& HTTP/1.0\x1a=enc\x1b" "1\x1d"));
  ASSERT_EQ(calc.commands.size(), 1u);
  EXPECT_EQ(calc.commands[0], std::string("1,&MYIP=1&ID=5.00&__=calc/sheet&pass=*&&HTTP/1.0\x1a=enc\x1b" "1\x1d"));
}

// The session of slot 1 whose request went out, with its notify link
// advised on the program's item.
struct WaitingSession {
  explicit WaitingSession(GatewayHarness& h) : calc(h, "calc", "sheet"), browser(h) {
    FinishVoid(h, WWW_DDE_Request(h.g(), 1, "&MYIP=1&ID=5.00&GET /calc/sheet?a=1 HTTP/1.0\r\n"));
    h.g().lnkDDE[1]->Tag = "45296.17";
  }
  Program calc;
  Browser browser;
};

TEST(lnkDDE_LinkNotify, AnswerOfAnotherRequestIsDropped) {
  GatewayHarness h(kIni);
  WaitingSession s(h);
  uint64_t gen = h.g().Generation(1);
  s.calc.served.SetItem("sheet", "lnkWWW(1)", "C:\\temp\\a.htm,111");
  h.RunFor(std::chrono::milliseconds(300));
  EXPECT_EQ(h.g().Generation(1), gen);
  EXPECT_TRUE(h.g().CommandConnected(1));
  EXPECT_EQ(h.g().lnkDDE[1]->Caption, "C:\\temp\\a.htm,111");
}

TEST(lnkDDE_LinkNotify, ValueWithoutIdEndsTheSession) {
  GatewayHarness h(kIni);
  WaitingSession s(h);
  s.calc.served.SetItem("sheet", "lnkWWW(1)", "C:\\temp\\a.htm");
  EXPECT_TRUE(h.RunUntil([&] { return h.SawEvent("#1 to be detached by linkNotify"); }));
}

TEST(lnkDDE_LinkNotify, MatchingAnswerIsSentOnce) {
  GatewayHarness h(kIni);
  h.home().Write("drives/c/temp/a.htm", "PAGE");
  WaitingSession s(h);
  s.calc.served.SetItem("sheet", "lnkWWW(1)", h.home().path() + "/drives/c/temp/a.htm,45296.17,extra");
  s.calc.served.SetItem("sheet", "lnkWWW(1)", h.home().path() + "/drives/c/temp/a.htm,45296.17");
  std::string answer;
  WithClient(h, [&] { answer = s.browser.client.ReadAll(); });
  EXPECT_EQ(answer.substr(answer.size() - 8), "\r\n\r\nPAGE");
  EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos);
  EXPECT_TRUE(h.SawEvent("#1 to be detached by linkNotify www_send_file"));
}

TEST(lnkDDE_LinkNotify, ParsesTheValueAndMapsHostNames) {
  EXPECT_EQ(ParseNotifyValue("a.htm,123").file, "a.htm");
  EXPECT_EQ(ParseNotifyValue("a.htm,123").id, "123");
  EXPECT_EQ(ParseNotifyValue("a.htm,123,x").id, "123");
  EXPECT_EQ(ParseNotifyValue("a.htm").id, "");
  EXPECT_EQ(ParseNotifyValue("a.htm").file, "a.htm");
  GatewayHarness h(kIni);
  const std::string& home = h.g().files.home();
  EXPECT_EQ(AnswerFileName(h.g(), home + "/drives/c/temp/a.htm"), "C:\\temp\\a.htm");
  EXPECT_EQ(AnswerFileName(h.g(), home + "/out/a.htm"), "out\\a.htm");
  EXPECT_EQ(AnswerFileName(h.g(), "C:\\temp\\a.htm"), "C:\\temp\\a.htm");
  EXPECT_EQ(AnswerFileName(h.g(), "/elsewhere/a.htm"), "/elsewhere/a.htm");
}

}  // namespace
}  // namespace korvane::test
