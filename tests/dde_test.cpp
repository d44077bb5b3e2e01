// The link bridge in this process: a gateway and served programs of the link
// library share one io_context and talk over real Unix sockets; browsers are
// real loopback clients.
#include <gtest/gtest.h>
#include <sys/stat.h>

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

TEST(StartLinkProgram, RefusesWhatTheConfigurationForbidsAndInitializesARunningProgram) {
  GatewayHarness h(kIni);
  Program running(h, "yes", "t");
  EXPECT_EQ(h.Finish(StartLinkProgram(h.g(), "calc")), "link topic must be of the form 'program|topic'");
  EXPECT_EQ(h.Finish(StartLinkProgram(h.g(), "noexe|t")), "noexe|t EXE entry not found in " + h.g().files.home() + "/korvane.ini");
  // Not started, and not told to initialize, even though it is running.
  EXPECT_EQ(h.Finish(StartLinkProgram(h.g(), "yes|t")), "yes|t cannot be started automatically");
  EXPECT_TRUE(running.commands.empty());

  // A program that cannot be started is logged (the log trims the message).
  EXPECT_EQ(h.Finish(StartLinkProgram(h.g(), "calc|sheet")), "");
  EXPECT_EQ(h.view.beeps, 3);
  EXPECT_TRUE(h.SawEvent("Start .\\nothere"));
  EXPECT_TRUE(h.SawEvent("No such file or directory trying to start .\\nothere"));
  // One that runs already is told to initialize, not started.
  Program calc(h, "calc", "sheet");
  EXPECT_EQ(h.Finish(StartLinkProgram(h.g(), " calc|sheet ")), "");
  EXPECT_EQ(calc.commands, std::vector<std::string>{"initialize lnkWWW"});
  EXPECT_EQ(h.view.beeps, 3);
  EXPECT_TRUE(h.SawEvent("calc|sheet:initialize lnkWWW"));
}

// Sessions that find the same program not running at the same moment
// start it once; the others wait for that start.
TEST(StartLinkProgram, RequestsArrivingTogetherStartTheProgramOnce) {
  GatewayHarness h("[Variables]\r\nMaxUsers=4\r\n[late]\r\nEXE=late.sh\r\nAutoStart=1\r\n");
  h.home().Write("late.sh", "#!/bin/sh\necho started >> starts.txt\n");
  ASSERT_EQ(chmod((h.home().path() + "/late.sh").c_str(), 0755), 0);
  int done = 0;
  for (int i = 0; i < 3; ++i)
    asio::co_spawn(h.io(), StartLinkProgram(h.g(), "late|t"), [&](std::exception_ptr, std::string) { ++done; });
  ASSERT_TRUE(h.RunUntil([&] { return done == 3; }));
  EXPECT_EQ(h.home().Read("starts.txt"), "started\n");
  EXPECT_EQ(h.CountEvents("Start .\\late.sh"), 1);
  EXPECT_EQ(h.view.beeps, 3);
}

TEST(OpenNotifyLink, CancelsThenAdvisesAndReportsARefusedCancel) {
  GatewayHarness h(kIni);
  Program calc(h, "calc", "sheet");
  calc.refusePrefix = "-3,";
  EXPECT_EQ(h.Finish(OpenNotifyLink(h.g(), 3, "calc|sheet", "lnkWWW(3)")), kLinkRefused);
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
  EXPECT_EQ(errA.code + errB.code, 0);
}

// A browser on slot 1 and the calc program.
class Relay : public ::testing::Test {
 protected:
  GatewayHarness h{kIni};
  Program calc{h, "calc", "sheet"};
  std::unique_ptr<Client> browser = ConnectedClient(h);
};

TEST_F(Relay, UnlistedLinkIsRefused) {
  Spawn(h.g(), WWW_DDE_Request(h.g(), 1, "&MYIP=1&ID=5.00&GET /calc/other?a=1 HTTP/1.0\r\n"));
  std::string answer;
  WithClient(h, [&] { answer = browser->ReadAll(); });
  EXPECT_EQ(answer, "Error! Invalid lnkTopic IN WWW_DDE_REQUEST: calc|other\r\n");
  EXPECT_TRUE(h.SawEvent("#1 invalid topic: calc|other"));
  EXPECT_TRUE(calc.commands.empty());
}

TEST_F(Relay, LongRequestTravelsInTheOverflowFileAndAPasswordTailFollowsCharacter26) {
  // The rewritten text is what counts: "&GET /" becomes "&__=".
  const std::string head = "&MYIP=127.0.0.1&ID=5.00&GET /calc/sheet?x=";
  const std::string rewritten = "&MYIP=127.0.0.1&ID=5.00&__=calc/sheet&x=";
  auto filler = [&](size_t total) { return std::string(total - rewritten.size() - 2, 'a') + "\r\n"; };
  h.Finish(WWW_DDE_Request(h.g(), 1, head + filler(1020)));
  h.Finish(WWW_DDE_Request(h.g(), 1, head + filler(1021)));
  h.Finish(WWW_DDE_Request(h.g(), 1, "&MYIP=1&ID=5.00&GET /calc/sheet?pass=*& HTTP/1.0\x1a=enc\x1b" "1\x1d"));

  ASSERT_EQ(calc.commands.size(), 3u);
  EXPECT_EQ(calc.commands[0], "1," + rewritten + filler(1020));
  const std::string& tempfile = h.g().Sessions[1].tempfile;
  EXPECT_EQ(calc.commands[1], "1,&_OF_=" + h.g().files.Host(tempfile) + "&");
  std::string written;
  ASSERT_TRUE(h.g().files.ReadAll(tempfile, written));
  EXPECT_EQ(written, rewritten + filler(1021));
  EXPECT_EQ(calc.commands[2], std::string("1,&MYIP=1&ID=5.00&__=calc/sheet&pass=*&&HTTP/1.0\x1a=enc\x1b" "1\x1d"));
}

TEST_F(Relay, OverflowLeavesAnUploadInTheSessionFileAlone) {
  h.g().Sessions[1].tempfile = "C:\\temp\\upload.tmp";
  h.g().files.MakeDirs("C:\\temp");
  h.g().files.WriteAll("C:\\temp\\upload.tmp", "UPLOAD");
  h.Finish(WWW_DDE_Request(h.g(), 1, "&MYIP=1&ID=5.00&GET /calc/sheet?x=" + std::string(1100, 'b')));
  ASSERT_EQ(calc.commands.size(), 1u);
  const std::string& command = calc.commands[0];
  ASSERT_EQ(command.rfind("1,&_OF_=", 0), 0u);
  EXPECT_NE(command.substr(8, command.size() - 9), h.g().files.Host("C:\\temp\\upload.tmp"));
  std::string upload;
  h.g().files.ReadAll("C:\\temp\\upload.tmp", upload);
  EXPECT_EQ(upload, "UPLOAD");
}

// The session of slot 1 whose request went out, with its notify link
// advised on the program's item.
class Notify : public Relay {
 protected:
  Notify() {
    h.Finish(WWW_DDE_Request(h.g(), 1, "&MYIP=1&ID=5.00&GET /calc/sheet?a=1 HTTP/1.0\r\n"));
    h.g().lnkDDE[1]->Tag = "45296.17";
  }
};

TEST_F(Notify, ValueWithoutIdEndsTheSession) {
  calc.served.SetItem("sheet", "lnkWWW(1)", "C:\\temp\\a.htm");
  EXPECT_TRUE(h.RunUntil([&] { return h.SawEvent("#1 to be detached by linkNotify"); }));
}

// An answer of another request is dropped; the matching one, even with
// extra fields, is sent once.
TEST_F(Notify, OnlyTheMatchingAnswerIsSentAndOnlyOnce) {
  uint64_t gen = h.g().Generation(1);
  calc.served.SetItem("sheet", "lnkWWW(1)", "C:\\temp\\a.htm,111");
  h.RunFor(std::chrono::milliseconds(300));
  EXPECT_EQ(h.g().Generation(1), gen);
  EXPECT_TRUE(h.g().CommandConnected(1));

  h.home().Write("drives/c/temp/a.htm", "PAGE");
  calc.served.SetItem("sheet", "lnkWWW(1)", h.home().path() + "/drives/c/temp/a.htm,45296.17,extra");
  calc.served.SetItem("sheet", "lnkWWW(1)", h.home().path() + "/drives/c/temp/a.htm,45296.17");
  std::string answer;
  WithClient(h, [&] { answer = browser->ReadAll(); });
  EXPECT_EQ(answer.substr(answer.size() - 8), "\r\n\r\nPAGE");
  EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos);
  EXPECT_TRUE(h.SawEvent("#1 to be detached by linkNotify www_send_file"));

  // Answer files are named as the gateway knows them where it can.
  const std::string& home = h.g().files.home();
  for (auto [host, name] : {std::pair{home + "/drives/c/temp/a.htm", "C:\\temp\\a.htm"},
                            {home + "/out/a.htm", "out\\a.htm"},
                            {std::string("/elsewhere/a.htm"), "/elsewhere/a.htm"}})
    EXPECT_EQ(AnswerFileName(h.g().files, host), name);
}

}  // namespace
}  // namespace korvane::test
