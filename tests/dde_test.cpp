// The link bridge in this process: a gateway and served programs (of the link
// library, or SlowProgram, written by hand so that it can hold back an
// acknowledgement) share one io_context and talk over real Unix sockets;
// browsers are real loopback clients.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/sessions.h"
#include "dde/execute_links.h"
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

TEST(LinkManager, StartsWhatTheConfigurationAllowsAndAdvisesAfterARefusedCancel) {
  GatewayHarness h(kIni);
  Program running(h, "yes", "t");
  EXPECT_EQ(h.Finish(StartLinkProgram(h.g(), "calc")), "link topic must be of the form 'program|topic'");
  EXPECT_EQ(h.Finish(StartLinkProgram(h.g(), "noexe|t")), "noexe|t EXE entry not found in " + h.g().files.home() + "/korvane.ini");
  // Not started, and not told to initialize, even though it is running.
  EXPECT_EQ(h.Finish(StartLinkProgram(h.g(), "yes|t")), "yes|t cannot be started automatically");
  EXPECT_TRUE(running.commands.empty());

  // One that runs already is told to initialize, not started.
  Program calc(h, "calc", "sheet");
  EXPECT_EQ(h.Finish(StartLinkProgram(h.g(), " calc|sheet ")), "");
  EXPECT_EQ(calc.commands, std::vector<std::string>{"initialize lnkWWW"});
  EXPECT_EQ(h.view.beeps, 0);
  EXPECT_TRUE(h.SawEvent("calc|sheet:initialize lnkWWW"));

  // A notify link cancels what the program holds for the session, then
  // advises; a refused cancel is reported and the advise happens all the same.
  calc.refusePrefix = "-3,";
  EXPECT_EQ(h.Finish(OpenNotifyLink(h.g(), 3, "calc|sheet", "lnkWWW(3)")), kLinkRefused);
  EXPECT_EQ(calc.commands.back(), "-3,");
  EXPECT_EQ(h.g().lnkDDE[3]->LinkMode(), 3);
  EXPECT_EQ(h.g().lnkDDE[3]->LinkItem, "lnkWWW(3)");
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

struct Outcome {
  bool done = false;
  LinkError err;
};

void StartExecute(GatewayHarness& h, const std::string& command, Outcome& out) {
  asio::co_spawn(h.io(), ExecuteOnTopic(h.g(), "slow|t", command, out.err),
                 [&out](std::exception_ptr) { out.done = true; });
}

TEST(ExecuteLinks, AnAcknowledgementHeldBackDelaysOnlyItsOwnSession) {
  GatewayHarness h;
  SlowProgram program(h, [](const std::string& command) { return command == "1,first"; });
  Outcome first, second, third;
  StartExecute(h, "1,first", first);
  StartExecute(h, "2,second", second);
  ASSERT_TRUE(h.RunUntil([&] { return second.done; }));
  StartExecute(h, "3,third", third);
  ASSERT_TRUE(h.RunUntil([&] { return third.done; }));
  EXPECT_FALSE(first.done);
  EXPECT_EQ(std::pair(second.err.code, third.err.code), std::pair(0, 0));
  // lnkDDE(0) carries the held command; one spare serves the others in turn.
  EXPECT_EQ(program.conversations, 2);
  EXPECT_EQ(h.g().lnkDDE[0]->LinkTopic, "slow|t");

  program.LetGo();
  ASSERT_TRUE(h.RunUntil([&] { return first.done; }));
  EXPECT_EQ(first.err.code, 0);
  EXPECT_EQ(program.commands, (std::vector<std::string>{"1,first", "2,second", "3,third"}));
}

// A program that acknowledges nothing gets no more conversations at once
// than the limit; the sessions beyond it wait for a link that comes free
// (when an earlier command times out, its conversation is given up) and
// then get their own time-out on a fresh conversation.
TEST(ExecuteLinks, AProgramThatAcknowledgesNothingGetsAtMostTheLimitAtOnce) {
  GatewayHarness h;
  h.g().lnkDDE[0]->LinkTimeout = 2;  // tenths of a second
  SlowProgram program(h, [](const std::string&) { return true; });
  std::vector<Outcome> outcomes(ExecuteLinks::kMaxLinks + 2);
  for (size_t i = 0; i < outcomes.size(); ++i) StartExecute(h, std::to_string(i + 1) + ",x", outcomes[i]);
  ASSERT_TRUE(h.RunUntil([&] { return outcomes[ExecuteLinks::kMaxLinks - 1].done; }));
  EXPECT_FALSE(outcomes[ExecuteLinks::kMaxLinks].done);
  ASSERT_TRUE(h.RunUntil([&] { return outcomes.back().done; }));
  for (const Outcome& o : outcomes) EXPECT_EQ(o.err.code, kLinkTimeout);
  // The last two went out on conversations of their own, not behind the
  // commands the program never acknowledged.
  EXPECT_EQ(program.conversations, static_cast<int>(outcomes.size()));
  EXPECT_EQ(program.commands.size(), outcomes.size());
  program.LetGo();
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

  const std::string& tempfile = h.g().Sessions[1].tempfile;
  EXPECT_EQ(calc.commands,
            (std::vector<std::string>{"1," + rewritten + filler(1020), "1,&_OF_=" + h.g().files.Host(tempfile) + "&",
                                      "1,&MYIP=1&ID=5.00&__=calc/sheet&pass=*&&HTTP/1.0\x1a=enc\x1b" "1\x1d"}));
  std::string written;
  ASSERT_TRUE(h.g().files.ReadAll(tempfile, written));
  EXPECT_EQ(written, rewritten + filler(1021));

  // An upload in the session's file is left alone: the overflow goes to a file of its own.
  h.g().files.WriteAll(tempfile, "UPLOAD");
  h.Finish(WWW_DDE_Request(h.g(), 1, head + filler(1100)));
  ASSERT_EQ(calc.commands.size(), 4u);
  EXPECT_NE(calc.commands[3], calc.commands[1]);
  std::string upload;
  h.g().files.ReadAll(tempfile, upload);
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

  // Answer files are named as the gateway knows them where it can.
  const std::string& home = h.g().files.home();
  for (auto [host, name] : {std::pair{home + "/drives/c/temp/a.htm", "C:\\temp\\a.htm"},
                            {home + "/out/a.htm", "out\\a.htm"},
                            {std::string("/elsewhere/a.htm"), "/elsewhere/a.htm"}})
    EXPECT_EQ(AnswerFileName(h.g().files, host), name);
}

}  // namespace
}  // namespace korvane::test
