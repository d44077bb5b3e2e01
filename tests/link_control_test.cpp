// The gateway's link control against real served programs over real Unix
// sockets: the served-program library for well-behaved programs, and
// hand-written ones for programs that stall or answer late. Then the texts a
// served program decodes and writes back, and the served side of the
// protocol where the gateway's control would not show it.
#include "platform/link_control.h"

#include <gtest/gtest.h>

#include "link/link_dir.h"
#include "link/request_text.h"
#include "link/served_program.h"
#include "test_support.h"

namespace korvane::test {
namespace {

using Protocol = asio::local::stream_protocol;

class LinkControlTest : public ::testing::Test {
 protected:
  LinkControlTest() : calc_(io_, "calc", dir_.path()) {
    calc_.AddTopic("sheet", [this](const std::string& command) {
      commands_.push_back(command);
      if (command == "set") calc_.SetItem("sheet", "lnkWWW(3)", "c:\\out\\a.htm,1");
      return command != "refuse";
    });
    calc_.Start();
  }

  int Run(asio::awaitable<int> operation) { return RunToEnd(io_, std::move(operation)); }

  // Opens link on topic in mode (2 execute, 3 notify on lnkWWW(3), counting
  // its notifications).
  void Open(int mode = 2, const std::string& topic = "calc|sheet") {
    link.LinkTopic = topic;
    link.LinkItem = "lnkWWW(3)";
    link.OnNotify = [this] { ++notifications_; };
    ASSERT_EQ(Run(link.SetLinkMode(mode)), 0);
  }

  TempDir dir_;
  asio::io_context io_;
  link::ServedProgram calc_;
  std::vector<std::string> commands_;
  int notifications_ = 0;
  LinkControl link{io_, dir_.path()};
};

TEST_F(LinkControlTest, ExecuteReachesTheProgramByteForByte) {
  Open(2, "CALC|Sheet");  // names are compared without case

  const std::string large(200 * 1024, 'x');  // far more than one socket write
  for (const std::string& command : {large, std::string()})
    EXPECT_EQ(Run(link.LinkExecute(command)), 0);
  EXPECT_EQ(commands_, (std::vector<std::string>{large, ""}));
  EXPECT_EQ(link.Error, 0);

  // An item never set reads as empty.
  link.LinkItem = "lnkWWW(9)";
  link.Caption = "before";
  EXPECT_EQ(Run(link.LinkRequest()), 0);
  EXPECT_EQ(link.Caption, "");
}

TEST_F(LinkControlTest, NotifyModeReportsChangesOfTheAdvisedItemOnly) {
  Open(3);

  calc_.SetItem("sheet", "lnkWWW(3)", "c:\\out\\a.htm,45296.5");
  ASSERT_TRUE(RunUntil(io_, [&] { return notifications_ == 1; }));
  EXPECT_EQ(Run(link.LinkRequest()), 0);
  EXPECT_EQ(link.Caption, "c:\\out\\a.htm,45296.5");

  // Another session's item, then ours again with the same value.
  calc_.SetItem("sheet", "lnkWWW(4)", "x");
  calc_.SetItem("sheet", "LNKWWW(3)", "c:\\out\\a.htm,45296.5");
  ASSERT_TRUE(RunUntil(io_, [&] { return notifications_ >= 2; }));
  EXPECT_EQ(Run(link.LinkRequest()), 0);  // its answer follows both announcements
  io_.poll();
  EXPECT_EQ(notifications_, 2);

  // The program sets the advised item while handling an execute, so the
  // CHANGED line travels ahead of the OK on the same connection.
  EXPECT_EQ(Run(link.LinkExecute("set")), 0);
  ASSERT_TRUE(RunUntil(io_, [&] { return notifications_ == 3; }));
  EXPECT_EQ(Run(link.LinkRequest()), 0);
  EXPECT_EQ(link.Caption, "c:\\out\\a.htm,1");
}

// Failures and their codes.

TEST_F(LinkControlTest, ConversationsThatCannotOpenLeaveTheLinkClosed) {
  struct Case {
    const char* topic;
    int mode, code;
  };
  for (const Case& c : {Case{"nosuch|sheet", 2, 282}, Case{"calc|nosuch", 3, 282}, Case{"calc", 3, 282},
                        Case{"|sheet", 3, 282}, Case{"../calc|sheet", 3, 282}, Case{"calc|sheet", 1, 380}}) {
    SCOPED_TRACE(c.topic);
    link.LinkTopic = c.topic;
    EXPECT_EQ(Run(link.SetLinkMode(c.mode)), c.code);
    EXPECT_EQ(link.Error, c.code);
    EXPECT_EQ(link.LinkMode(), 0);
    link.ClearError();
    EXPECT_EQ(link.ErrorText, "");
  }
}

TEST_F(LinkControlTest, OperationsWithoutAConversationGive293) {
  link.LinkItem = "lnkWWW(1)";
  EXPECT_EQ(Run(link.LinkExecute("x")), 293);
  EXPECT_EQ(link.ErrorText, "DDE method invoked with no channel open");
  EXPECT_EQ(Run(link.LinkRequest()), 293);

  Open();
  ASSERT_EQ(Run(link.SetLinkMode(0)), 0);
  EXPECT_EQ(Run(link.LinkExecute("x")), 293);
  EXPECT_TRUE(commands_.empty());
}

// A program that speaks the protocol by hand, so that it can stall or
// answer late, on its own loop, and a control pointed at it. Serve accepts
// the control's CONNECT and then runs the script.
struct HandWritten {
  explicit HandWritten(int timeout_tenths = 50)
      : acceptor(io, Protocol::endpoint(dir.path() + "/prog")), peer(Protocol::socket(io)),
        link(io, dir.path(), timeout_tenths) {
    link.LinkTopic = "prog|topic";
  }
  void Serve(std::function<asio::awaitable<void>()> script) {
    asio::co_spawn(io, [this, script]() -> asio::awaitable<void> {
      peer.socket = co_await acceptor.async_accept(asio::use_awaitable);
      EXPECT_EQ(co_await peer.ReadLine(), "CONNECT topic");
      co_await peer.Write("OK\n");
      co_await script();
    }, [](std::exception_ptr e) {
      if (e) ADD_FAILURE() << "hand-written program failed";
    });
    ASSERT_EQ(RunToEnd(io, link.SetLinkMode(2)), 0);
  }
  int Execute(const std::string& command) { return RunToEnd(io, link.LinkExecute(command)); }
  asio::awaitable<std::string> ReadExecute() {
    std::string header = co_await peer.ReadLine();
    EXPECT_EQ(header.rfind("EXECUTE ", 0), 0u) << header;
    co_return co_await peer.ReadCommand(header);
  }

  TempDir dir;
  asio::io_context io;
  Protocol::acceptor acceptor;
  LinkPeer peer;
  LinkControl link;
};

// A CONNECT accepted by the kernel's backlog but never read goes unanswered.
TEST(LinkControlStallTest, ProgramThatNeverAnswersGives286) {
  HandWritten h(2);
  EXPECT_EQ(RunToEnd(h.io, h.link.SetLinkMode(2)), 286);
  EXPECT_EQ(h.link.ErrorText, "Timeout while waiting for DDE response");
  EXPECT_EQ(h.link.LinkMode(), 0);
}

// The program answers the first execute only once the second has come (the
// control gave up on the first by then), and refuses it, so that a mix-up
// shows. Pointing the control at the topic it already holds then keeps the
// conversation: no second CONNECT (nothing would accept it).
TEST(LinkControlStallTest, LateAnswerIsNotTakenForTheNextOneAndTheConversationStays) {
  HandWritten h(2);
  h.Serve([&]() -> asio::awaitable<void> {
    EXPECT_EQ(co_await h.ReadExecute(), "first");
    EXPECT_EQ(co_await h.ReadExecute(), "second");
    co_await h.peer.Write("ERR 285 late refusal\nOK\n");
    EXPECT_EQ(co_await h.ReadExecute(), "third");
    co_await h.peer.Write("OK\n");
  });
  EXPECT_EQ(h.Execute("first"), 286);
  h.link.LinkTimeout = 100;
  EXPECT_EQ(h.Execute("second"), 0);
  ASSERT_EQ(RunToEnd(h.io, h.link.SetLinkMode(2)), 0);
  EXPECT_EQ(h.Execute("third"), 0);
}

// Several coroutines share one control, as sessions share the execute link:
// the second caller's message goes out only once the first has its answer.
TEST(LinkControlSharingTest, SecondCallerWaitsForTheFirstAnswer) {
  HandWritten h;
  std::size_t early_bytes = 1;
  h.Serve([&]() -> asio::awaitable<void> {
    EXPECT_EQ(co_await h.ReadExecute(), "a");
    asio::steady_timer timer(h.io, std::chrono::milliseconds(200));
    co_await timer.async_wait(asio::use_awaitable);
    early_bytes = h.peer.inbuf.size() + h.peer.socket.available();
    co_await h.peer.Write("OK\n");
    EXPECT_EQ(co_await h.ReadExecute(), "b");
    co_await h.peer.Write("ERR 285 no\n");
  });
  std::vector<int> results;
  for (const char* command : {"a", "b"})
    asio::co_spawn(h.io, h.link.LinkExecute(command), [&](std::exception_ptr, int code) { results.push_back(code); });
  ASSERT_TRUE(RunUntil(h.io, [&] { return results.size() == 2; }));
  EXPECT_EQ(early_bytes, 0u);
  EXPECT_EQ(results, (std::vector<int>{0, 285}));
}

TEST_F(LinkControlTest, ConcurrentCallersGetTheirOwnAnswers) {
  Open();
  std::vector<std::pair<std::string, int>> results;
  const std::vector<std::string> sent{"refuse", "ok1", "refuse", "refuse", "ok2", "ok3"};
  for (const auto& command : sent)
    asio::co_spawn(io_, link.LinkExecute(command), [&, command](std::exception_ptr, int code) {
      results.emplace_back(command, code);
    });
  ASSERT_TRUE(RunUntil(io_, [&] { return results.size() == sent.size(); }));
  std::vector<std::pair<std::string, int>> expected;
  for (const auto& command : sent) expected.emplace_back(command, command == "refuse" ? 285 : 0);
  EXPECT_EQ(results, expected);  // finished in call order
  EXPECT_EQ(commands_, sent);

  // A queued call keeps the properties of its call time.
  calc_.SetItem("sheet", "first", "1");
  calc_.SetItem("sheet", "second", "2");
  std::vector<std::string> captions;
  for (const char* item : {"first", "second"}) {
    link.LinkItem = item;
    asio::co_spawn(io_, link.LinkRequest(), [&](std::exception_ptr, int) { captions.push_back(link.Caption); });
  }
  ASSERT_TRUE(RunUntil(io_, [&] { return captions.size() == 2; }));
  EXPECT_EQ(captions, (std::vector<std::string>{"1", "2"}));
}

TEST(LinkDirTest, GatewayAndServedProgramsAgreeOnTheFolder) {
  struct Case {
    const char *link, *runtime, *expected;
  };
  const std::string fallback = "/var/tmp/korvane-" + std::to_string(::getuid()) + "/links";
  for (const Case& c : {Case{"/srv/links", "/run/user/7", "/srv/links"},
                        Case{"", "/run/user/7", "/run/user/7/korvane/links"},
                        Case{nullptr, nullptr, fallback.c_str()}}) {
    ScopedEnv links("KORVANE_LINK_DIR", c.link);
    ScopedEnv run("XDG_RUNTIME_DIR", c.runtime);
    ScopedEnv tmp("TMPDIR", "/var/tmp");
    EXPECT_EQ(DefaultLinkDir(), c.expected);
    EXPECT_EQ(link::DefaultLinkDir(), DefaultLinkDir());
  }
}

// The served side.

TEST(RequestIdTextTest, MatchesTheGatewaysNumberForm) {
  for (auto [id, text] : {std::pair{45296.5, "45296.5"}, {45296.0, "45296"}, {0.01, "0.01"}, {86399.99, "86399.99"},
                          {45296.17, "45296.17"}})
    EXPECT_EQ(link::RequestIdText(id), text);
  // From the two-decimal ID field of a request.
  for (auto [field, text] : {std::pair{"45296.50", "45296.5"}, {"45296.00", "45296"}, {"0.10", "0.1"},
                             {"abc", "abc"}, {"", ""}})
    EXPECT_EQ(link::RequestIdText(std::string_view(field)), text) << field;
}

TEST(ExecuteCommandTest, SplitsSessionAndRequestText) {
  for (auto [text, slot] : {std::pair{"&MYIP=1.2.3.4&a=1,2&HTTP/1.0\r\n", 3}, {"", -12}}) {
    auto request = link::ParseExecuteCommand(std::to_string(slot) + "," + text);
    ASSERT_TRUE(request) << text;
    EXPECT_EQ(request->slot, slot);
    EXPECT_EQ(request->text, text);
  }
  for (const char* other : {"initialize lnkWWW", ",x", "-,", "3x,", "1234567890,x", "3"})
    EXPECT_FALSE(link::ParseExecuteCommand(other)) << other;

  EXPECT_EQ(link::ParseInitializeCommand("initialize  lnkWWW "), "lnkWWW");
  EXPECT_EQ(link::ParseInitializeCommand("INITIALIZE page"), "page");
  EXPECT_FALSE(link::ParseInitializeCommand("initializer x"));
}

TEST(RequestFieldsTest, DecodesNameValuePieces) {
  std::string text = "&MYIP=10.0.0.5&ID=45296.17&__=calc/sheet&a=1%2B1&b=x+y&HTTP/1.0\r\n";
  text += '\x1a';
  text += "pw=se%63ret";
  auto fields = link::ParseRequestFields(text);
  EXPECT_EQ(fields, (link::Fields{{"MYIP", "10.0.0.5"}, {"ID", "45296.17"}, {"__", "calc/sheet"},
                                  {"a", "1+1"}, {"b", "x y"}, {"pw", "secret"}}));
  EXPECT_EQ(link::FieldValue(fields, "id"), "45296.17");
  EXPECT_FALSE(link::FieldValue(fields, "c"));
  // A posted form: its body follows the request line after a line break.
  EXPECT_EQ(link::ParseRequestFields("&ID=1.5&__=calc/sheet&HTTP/1.0\r\n&\r\na=1&b=2\r\n"),
            (link::Fields{{"ID", "1.5"}, {"__", "calc/sheet"}, {"a", "1"}, {"b", "2"}}));
  EXPECT_EQ(link::UrlDecode("100%"), "100%");
  EXPECT_EQ(link::UrlDecode("%zz%4"), "%zz%4");
}

TEST(ServedProgramTest, RefusesToTakeOverARunningProgramsSocket) {
  TempDir dir;
  asio::io_context io;
  link::ServedProgram first(io, "Calc", dir.path() + "/links");
  first.Start();
  EXPECT_EQ(first.SocketPath(), dir.path() + "/links/calc");
  link::ServedProgram second(io, "calc", dir.path() + "/links");
  EXPECT_THROW(second.Start(), std::system_error);

  // Once the first has gone, a socket file it left behind is replaced.
  first.Stop();
  asio::local::stream_protocol::acceptor stale(io, asio::local::stream_protocol::endpoint(
                                                       first.SocketPath()));
  stale.close();
  EXPECT_NO_THROW(second.Start());
}

}  // namespace
}  // namespace korvane::test
