// The gateway's link control against real served programs over real Unix
// sockets: the served-program library for well-behaved programs, and
// hand-written ones for programs that stall or answer late.
#include "platform/link_control.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "link/link_dir.h"
#include "link/served_program.h"
#include "link_test_support.h"

namespace korvane {
namespace {

using korvane::testing::RunToEnd;
using korvane::testing::RunUntil;
using korvane::testing::TempLinkDir;
using Protocol = asio::local::stream_protocol;

// Speaks the protocol by hand so that it can stall or answer late.
class HandWrittenProgram {
 public:
  HandWrittenProgram(asio::io_context& io, const std::string& socket_path)
      : acceptor_(io, Protocol::endpoint(socket_path)), socket_(io) {}

  asio::awaitable<void> Accept() { socket_ = co_await acceptor_.async_accept(asio::use_awaitable); }

  asio::awaitable<std::string> ReadLine() {
    std::size_t end = co_await asio::async_read_until(socket_, asio::dynamic_buffer(inbuf_), '\n',
                                                      asio::use_awaitable);
    std::string line = inbuf_.substr(0, end - 1);
    inbuf_.erase(0, end);
    co_return line;
  }

  // Reads an EXECUTE message and returns its command.
  asio::awaitable<std::string> ReadExecute() {
    std::string header = co_await ReadLine();
    EXPECT_EQ(header.rfind("EXECUTE ", 0), 0u) << header;
    std::size_t size = std::stoul(header.substr(8));
    if (inbuf_.size() < size)
      co_await asio::async_read(socket_, asio::dynamic_buffer(inbuf_),
                                asio::transfer_exactly(size - inbuf_.size()), asio::use_awaitable);
    std::string command = inbuf_.substr(0, size);
    inbuf_.erase(0, size);
    co_return command;
  }

  asio::awaitable<void> Write(std::string bytes) {
    co_await asio::async_write(socket_, asio::buffer(bytes), asio::use_awaitable);
  }

  // Bytes that arrived but were not read yet.
  std::size_t Unread() { return inbuf_.size() + socket_.available(); }

 private:
  Protocol::acceptor acceptor_;
  Protocol::socket socket_;
  std::string inbuf_;
};

void SpawnScript(asio::io_context& io, asio::awaitable<void> script) {
  asio::co_spawn(io, std::move(script), [](std::exception_ptr e) {
    if (e) ADD_FAILURE() << "hand-written program failed";
  });
}

asio::awaitable<void> Sleep(std::chrono::milliseconds span) {
  asio::steady_timer timer(co_await asio::this_coro::executor, span);
  co_await timer.async_wait(asio::use_awaitable);
}

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

  // A control in notify mode on lnkWWW(3) that counts its notifications.
  void OpenNotifyLink(LinkControl& link) {
    link.LinkTopic = "calc|sheet";
    link.LinkItem = "lnkWWW(3)";
    link.OnNotify = [this] { ++notifications_; };
    ASSERT_EQ(Run(link.SetLinkMode(3)), 0);
  }

  TempLinkDir dir_;
  asio::io_context io_;
  link::ServedProgram calc_;
  std::vector<std::string> commands_;
  int notifications_ = 0;
};

TEST_F(LinkControlTest, ExecuteReachesTheProgramByteForByte) {
  LinkControl link(io_, dir_.path());
  link.LinkTopic = "calc|sheet";
  ASSERT_EQ(Run(link.SetLinkMode(2)), 0);
  EXPECT_EQ(link.LinkMode(), 2);

  std::string request = "3,&MYIP=10.0.0.5&ID=45296.17&__=calc/sheet&a=1&HTTP/1.0\r\n";
  request += '\x1a';  // a password tail follows this character
  request += "pw\n";
  const std::string large(200 * 1024, 'x');  // far more than one socket write
  EXPECT_EQ(Run(link.LinkExecute("initialize lnkWWW")), 0);
  EXPECT_EQ(Run(link.LinkExecute(request)), 0);
  EXPECT_EQ(Run(link.LinkExecute(large)), 0);
  EXPECT_EQ(Run(link.LinkExecute("")), 0);
  EXPECT_EQ(commands_, (std::vector<std::string>{"initialize lnkWWW", request, large, ""}));
  EXPECT_EQ(link.Error, 0);
}

TEST_F(LinkControlTest, NamesAreComparedWithoutCase) {
  LinkControl link(io_, dir_.path());
  link.LinkTopic = "CALC|Sheet";
  EXPECT_EQ(Run(link.SetLinkMode(2)), 0);
}

TEST_F(LinkControlTest, NotifyModeReportsChangesOfTheAdvisedItemOnly) {
  LinkControl link(io_, dir_.path());
  OpenNotifyLink(link);
  EXPECT_EQ(link.LinkMode(), 3);

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
}

TEST_F(LinkControlTest, RequestOfAnItemNeverSetGivesAnEmptyValue) {
  LinkControl link(io_, dir_.path());
  link.LinkTopic = "calc|sheet";
  link.LinkItem = "lnkWWW(9)";
  link.Caption = "before";
  ASSERT_EQ(Run(link.SetLinkMode(2)), 0);
  EXPECT_EQ(Run(link.LinkRequest()), 0);
  EXPECT_EQ(link.Caption, "");
}

TEST_F(LinkControlTest, ChangeAnnouncedBeforeAnExecuteIsAnsweredIsNotLost) {
  // The program sets the advised item while handling the execute, so the
  // CHANGED line travels ahead of the OK on the same connection.
  LinkControl link(io_, dir_.path());
  OpenNotifyLink(link);
  EXPECT_EQ(Run(link.LinkExecute("set")), 0);
  ASSERT_TRUE(RunUntil(io_, [&] { return notifications_ == 1; }));
  EXPECT_EQ(Run(link.LinkRequest()), 0);
  EXPECT_EQ(link.Caption, "c:\\out\\a.htm,1");
}

TEST_F(LinkControlTest, ChangingTheTopicRetargetsTheControl) {
  link::ServedProgram book(io_, "book", dir_.path());
  std::vector<std::string> book_commands;
  book.AddTopic("page", [&](const std::string& command) {
    book_commands.push_back(command);
    return true;
  });
  book.Start();

  LinkControl link(io_, dir_.path());
  link.LinkTopic = "calc|sheet";
  ASSERT_EQ(Run(link.SetLinkMode(2)), 0);
  EXPECT_EQ(Run(link.LinkExecute("one")), 0);
  link.LinkTopic = "book|page";
  ASSERT_EQ(Run(link.SetLinkMode(2)), 0);
  EXPECT_EQ(Run(link.LinkExecute("two")), 0);
  EXPECT_EQ(commands_, std::vector<std::string>{"one"});
  EXPECT_EQ(book_commands, std::vector<std::string>{"two"});
}

// Failures and their codes.

TEST_F(LinkControlTest, NoProgramGives282AndLeavesTheLinkClosed) {
  LinkControl link(io_, dir_.path());
  link.LinkTopic = "nosuch|sheet";
  EXPECT_EQ(Run(link.SetLinkMode(2)), 282);
  EXPECT_EQ(link.Error, 282);
  EXPECT_EQ(link.ErrorText, "No foreign application responded to a DDE conversation");
  EXPECT_EQ(link.LinkMode(), 0);
  link.ClearError();
  EXPECT_EQ(link.Error, 0);
  EXPECT_EQ(link.ErrorText, "");
}

TEST_F(LinkControlTest, RefusedTopicOrMalformedLinkGives282) {
  LinkControl link(io_, dir_.path());
  for (std::string topic : {"calc|nosuch", "calc", "|sheet", "../calc|sheet"}) {
    link.LinkTopic = topic;
    EXPECT_EQ(Run(link.SetLinkMode(3)), 282) << topic;
    EXPECT_EQ(link.LinkMode(), 0) << topic;
  }
}

TEST_F(LinkControlTest, RefusedExecuteGives285AndTheConversationGoesOn) {
  LinkControl link(io_, dir_.path());
  link.LinkTopic = "calc|sheet";
  ASSERT_EQ(Run(link.SetLinkMode(2)), 0);
  EXPECT_EQ(Run(link.LinkExecute("refuse")), 285);
  EXPECT_EQ(link.ErrorText, "Foreign application won't perform DDE method or operation");
  EXPECT_EQ(Run(link.LinkExecute("fine")), 0);
  EXPECT_EQ(link.Error, 285);  // success does not clear the error state
}

TEST_F(LinkControlTest, OperationsWithoutAConversationGive293) {
  LinkControl link(io_, dir_.path());
  link.LinkItem = "lnkWWW(1)";
  EXPECT_EQ(Run(link.LinkExecute("x")), 293);
  EXPECT_EQ(link.ErrorText, "DDE method invoked with no channel open");
  EXPECT_EQ(Run(link.LinkRequest()), 293);

  link.LinkTopic = "calc|sheet";
  ASSERT_EQ(Run(link.SetLinkMode(2)), 0);
  ASSERT_EQ(Run(link.SetLinkMode(0)), 0);
  EXPECT_EQ(Run(link.LinkExecute("x")), 293);
  EXPECT_TRUE(commands_.empty());
}

TEST_F(LinkControlTest, ProgramThatQuitsLeavesTheLinkClosed) {
  LinkControl link(io_, dir_.path());
  link.LinkTopic = "calc|sheet";
  ASSERT_EQ(Run(link.SetLinkMode(2)), 0);
  calc_.Stop();
  ASSERT_TRUE(RunUntil(io_, [&] { return link.LinkMode() == 0; }));
  EXPECT_EQ(Run(link.LinkExecute("x")), 293);
  EXPECT_EQ(Run(link.SetLinkMode(2)), 282);
}

TEST_F(LinkControlTest, InvalidModeIsRefused) {
  LinkControl link(io_, dir_.path());
  link.LinkTopic = "calc|sheet";
  EXPECT_EQ(Run(link.SetLinkMode(1)), 380);
  EXPECT_EQ(link.LinkMode(), 0);
}

TEST(LinkControlStallTest, ProgramThatNeverAnswersGives286) {
  TempLinkDir dir;
  asio::io_context io;
  // Accepted by the kernel's backlog but never read: CONNECT goes unanswered.
  Protocol::acceptor mute(io, Protocol::endpoint(dir.path() + "/mute"));
  LinkControl link(io, dir.path(), 2);
  link.LinkTopic = "mute|topic";
  EXPECT_EQ(RunToEnd(io, link.SetLinkMode(2)), 286);
  EXPECT_EQ(link.ErrorText, "Timeout while waiting for DDE response");
  EXPECT_EQ(link.LinkMode(), 0);
}

// Answers the first execute only once the second has come (the client gave
// up on the first by then), and refuses it, so that a mix-up shows.
asio::awaitable<void> AnswerLateAndRefuse(HandWrittenProgram& slow) {
  co_await slow.Accept();
  EXPECT_EQ(co_await slow.ReadLine(), "CONNECT topic");
  co_await slow.Write("OK\n");
  EXPECT_EQ(co_await slow.ReadExecute(), "first");
  EXPECT_EQ(co_await slow.ReadExecute(), "second");
  co_await slow.Write("ERR 285 late refusal\nOK\n");
}

// Pointing the control at the topic it already holds keeps the
// conversation: the program sees no goodbye and no second CONNECT.
asio::awaitable<void> ServeOneConversation(HandWrittenProgram& program) {
  co_await program.Accept();
  EXPECT_EQ(co_await program.ReadLine(), "CONNECT topic");
  co_await program.Write("OK\n");
  EXPECT_EQ(co_await program.ReadExecute(), "one");
  co_await program.Write("OK\n");
  EXPECT_EQ(co_await program.ReadExecute(), "two");
  co_await program.Write("OK\n");
}

TEST(LinkControlReuseTest, SameTopicKeepsTheConversation) {
  TempLinkDir dir;
  asio::io_context io;
  HandWrittenProgram program(io, dir.path() + "/prog");
  SpawnScript(io, ServeOneConversation(program));
  LinkControl link(io, dir.path());
  link.LinkTopic = "prog|topic";
  ASSERT_EQ(RunToEnd(io, link.SetLinkMode(2)), 0);
  EXPECT_EQ(RunToEnd(io, link.LinkExecute("one")), 0);
  ASSERT_EQ(RunToEnd(io, link.SetLinkMode(2)), 0);
  EXPECT_EQ(RunToEnd(io, link.LinkExecute("two")), 0);
  EXPECT_EQ(link.Error, 0);
}

TEST(LinkControlStallTest, LateAnswerIsNotTakenForTheNextOne) {
  TempLinkDir dir;
  asio::io_context io;
  HandWrittenProgram slow(io, dir.path() + "/slow");
  SpawnScript(io, AnswerLateAndRefuse(slow));

  LinkControl link(io, dir.path(), 2);
  link.LinkTopic = "slow|topic";
  ASSERT_EQ(RunToEnd(io, link.SetLinkMode(2)), 0);
  EXPECT_EQ(RunToEnd(io, link.LinkExecute("first")), 286);
  link.LinkTimeout = 100;
  EXPECT_EQ(RunToEnd(io, link.LinkExecute("second")), 0);
  EXPECT_EQ(link.LinkMode(), 2);
}

// Several coroutines share one control, as sessions share the execute link.

// Holds the answer to "a" back for a while and notes whether anything of
// the next message arrived meanwhile.
asio::awaitable<void> CheckNoOverlap(HandWrittenProgram& program, std::size_t& early_bytes) {
  co_await program.Accept();
  co_await program.ReadLine();
  co_await program.Write("OK\n");
  EXPECT_EQ(co_await program.ReadExecute(), "a");
  co_await Sleep(std::chrono::milliseconds(200));
  early_bytes = program.Unread();
  co_await program.Write("OK\n");
  EXPECT_EQ(co_await program.ReadExecute(), "b");
  co_await program.Write("ERR 285 no\n");
}

TEST(LinkControlSharingTest, SecondCallerWaitsForTheFirstAnswer) {
  TempLinkDir dir;
  asio::io_context io;
  HandWrittenProgram program(io, dir.path() + "/prog");
  std::size_t early_bytes = 1;
  SpawnScript(io, CheckNoOverlap(program, early_bytes));

  LinkControl link(io, dir.path());
  link.LinkTopic = "prog|topic";
  ASSERT_EQ(RunToEnd(io, link.SetLinkMode(2)), 0);
  std::vector<int> results;
  for (const char* command : {"a", "b"})
    asio::co_spawn(io, link.LinkExecute(command),
                   [&](std::exception_ptr, int code) { results.push_back(code); });
  ASSERT_TRUE(RunUntil(io, [&] { return results.size() == 2; }));
  EXPECT_EQ(early_bytes, 0u);
  EXPECT_EQ(results, (std::vector<int>{0, 285}));
}

TEST_F(LinkControlTest, ConcurrentCallersGetTheirOwnAnswers) {
  LinkControl link(io_, dir_.path());
  link.LinkTopic = "calc|sheet";
  ASSERT_EQ(Run(link.SetLinkMode(2)), 0);
  std::vector<std::pair<std::string, int>> results;
  const std::vector<std::string> sent{"refuse", "ok1", "refuse", "refuse", "ok2", "ok3"};
  for (const auto& command : sent)
    asio::co_spawn(io_, link.LinkExecute(command), [&, command](std::exception_ptr, int code) {
      results.emplace_back(command, code);
    });
  ASSERT_TRUE(RunUntil(io_, [&] { return results.size() == sent.size(); }));
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(results[i].first, sent[i]);  // finished in call order
    EXPECT_EQ(results[i].second, sent[i] == "refuse" ? 285 : 0) << sent[i];
  }
  EXPECT_EQ(commands_, sent);
}

TEST_F(LinkControlTest, QueuedCallKeepsThePropertiesOfItsCallTime) {
  LinkControl link(io_, dir_.path());
  link.LinkTopic = "calc|sheet";
  ASSERT_EQ(Run(link.SetLinkMode(2)), 0);
  calc_.SetItem("sheet", "first", "1");
  calc_.SetItem("sheet", "second", "2");
  std::vector<std::string> captions;
  for (const char* item : {"first", "second"}) {
    link.LinkItem = item;
    asio::co_spawn(io_, link.LinkRequest(),
                   [&](std::exception_ptr, int) { captions.push_back(link.Caption); });
  }
  ASSERT_TRUE(RunUntil(io_, [&] { return captions.size() == 2; }));
  EXPECT_EQ(captions, (std::vector<std::string>{"1", "2"}));
}

// Where the sockets are.

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(LinkDirTest, GatewayAndServedProgramsAgreeOnTheFolder) {
  {
    ScopedEnv link("KORVANE_LINK_DIR", "/srv/links");
    ScopedEnv run("XDG_RUNTIME_DIR", "/run/user/7");
    EXPECT_EQ(DefaultLinkDir(), "/srv/links");
    EXPECT_EQ(link::DefaultLinkDir(), DefaultLinkDir());
  }
  {
    ScopedEnv link("KORVANE_LINK_DIR", "");
    ScopedEnv run("XDG_RUNTIME_DIR", "/run/user/7");
    EXPECT_EQ(DefaultLinkDir(), "/run/user/7/korvane/links");
    EXPECT_EQ(link::DefaultLinkDir(), DefaultLinkDir());
  }
  {
    ScopedEnv link("KORVANE_LINK_DIR", nullptr);
    ScopedEnv run("XDG_RUNTIME_DIR", nullptr);
    ScopedEnv tmp("TMPDIR", "/var/tmp");
    EXPECT_EQ(DefaultLinkDir(), "/var/tmp/korvane-" + std::to_string(::getuid()) + "/links");
    EXPECT_EQ(link::DefaultLinkDir(), DefaultLinkDir());
  }
}

}  // namespace
}  // namespace korvane
