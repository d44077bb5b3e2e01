// Waits that outlive their session. For every kind of wait that resumes
// later, a client starts one, its session ends and a new client takes the
// same slot before the wait resumes; then the old wait finishes. The new
// client must receive nothing of it and keep its session.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "core/sessions.h"
#include "platform/link_control.h"
#include "test_support.h"

namespace korvane::test {
namespace {

using asio::ip::tcp;

bool Logged(const GatewayHarness& h, const std::string& part) {
  for (const std::string& line : h.events())
    if (MessageOf(line).find(part) != std::string::npos) return true;
  return false;
}

// A connection made to a listener of the test's own, so that the gateway
// can be handed it at a moment the test chooses.
struct NextClient {
  explicit NextClient(asio::io_context& io) : acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    client = std::make_unique<Client>(acceptor.local_endpoint().port());
    server = std::make_unique<tcp::socket>(acceptor.accept());
  }
  tcp::acceptor acceptor;
  std::unique_ptr<Client> client;
  std::unique_ptr<tcp::socket> server;
};

// Ends session 1 and gives slot 1 to the next client in one go: no
// coroutine of the old session runs in between.
void HandOverSlot(GatewayHarness& h, NextClient& next) {
  Gateway& g = h.g();
  bool done = false;
  asio::co_spawn(h.io(), [&]() -> asio::awaitable<void> {
    co_await EndSession(g, 1, "handed over");
    co_await IncomingConnection(g, std::move(*next.server), "127.0.0.1");
  }, [&](std::exception_ptr) { done = true; });
  ASSERT_TRUE(h.RunUntil([&] { return done; }));
  ASSERT_TRUE(g.CommandConnected(1));
}

struct WaitKind {
  const char* name;
  std::string ini;
  std::string command_line;
  std::string request;                               // what the first client sends
  // Files and programs; what it returns lives as long as the gateway.
  std::function<std::shared_ptr<void>(GatewayHarness&)> prepare;
  std::function<bool(GatewayHarness&)> waiting;      // the wait has begun
  std::string greeting;                              // what the next client gets at once
  std::function<bool(GatewayHarness&)> old_wait_over;
};

// A document too large for the socket buffers, from a sparse file.
std::shared_ptr<void> BigDocument(GatewayHarness& h) {
  h.home().Write("drives/c/export/big.bin", "");
  EXPECT_EQ(::truncate((h.home().path() + "/drives/c/export/big.bin").c_str(), 64 << 20), 0);
  return nullptr;
}

// The document's send waits: the socket holds bytes the client does not read.
bool SendBlocked(GatewayHarness& h) { return Logged(h, "sending") && !h.g().CommandSock(1).Writable(); }

SlowProgram* slow_program = nullptr;  // the link kind's program while it runs

const std::vector<WaitKind>& Kinds() {
  static const std::vector<WaitKind> kinds = {
      {"block send", "", "LISTEN", "GET /big.bin HTTP/1.0\r\n\r\n", BigDocument,
       SendBlocked, "",
       [](GatewayHarness& h) { return Logged(h, "#1 aborted by client"); }},
      {"expiry reply", "[Variables]\r\nExpireSeconds=60\r\n", "LISTEN", "GET /big.bin HTTP/1.0\r\n\r\n",
       BigDocument,
       [](GatewayHarness& h) {
         if (!SendBlocked(h)) return false;
         h.g().Sessions[1].n.expires = 1;  // long past: the sweep ends it, after its reply
         Spawn(h.g(), checkexpiration(h.g()));
         h.RunFor(std::chrono::milliseconds(50));
         return true;
       },
       "", [](GatewayHarness&) { return true; }},
      {"link answer", "[Topics]\r\nslow=t\r\n", "LISTEN", "GET /slow/t?x=1 HTTP/1.0\r\n\r\n",
       [](GatewayHarness& h) -> std::shared_ptr<void> {
         auto program = std::make_shared<SlowProgram>(h, [](const std::string&) { return true; });
         slow_program = program.get();
         h.g().lnkDDE[0]->LinkTimeout = 3;  // tenths: the held execute times out
         return program;
       },
       [](GatewayHarness&) { return !slow_program->commands.empty(); }, "",
       [](GatewayHarness&) { return true; }},
      {"program run",
       "[Variables]\r\nKeepInputFiles=0\r\n[slow]\r\ntopic=v\r\nEXE=c:\\slow.sh\r\nOutFileType=HTM\r\n", "LISTEN",
       "GET /x?&TOPIC=slow&v=1 HTTP/1.0\r\n\r\n",
       [](GatewayHarness& h) -> std::shared_ptr<void> {
         h.home().Write("drives/c/slow.sh", "#!/bin/sh\nsleep 1\nb=$(basename \"$1\")\necho late > \"$(dirname \"$1\")/${b%%.*}.HTM\"\n");
         ::chmod((h.home().path() + "/drives/c/slow.sh").c_str(), 0755);
         return nullptr;
       },
       [](GatewayHarness& h) {  // the program sleeps a second before it answers
         h.RunFor(std::chrono::milliseconds(400));
         return true;
       },
       "",
       [](GatewayHarness& h) { return Logged(h, "program ended after its session"); }},
      {"FTP transfer", "[Variables]\r\nPort=21\r\nFTPConnectLimit=1\r\n", "LISTEN 21",
       "USER u\r\nPASS p\r\nPASV\r\nRETR f.txt\r\n",
       [](GatewayHarness& h) -> std::shared_ptr<void> {
         h.home().Write("drives/c/export/f.txt", "data");
         return nullptr;
       },
       [](GatewayHarness& h) { return Logged(h, "RETR f.txt"); }, "220 ", [](GatewayHarness&) { return true; }},
  };
  return kinds;
}

TEST(SessionRef, AWaitThatResumesAfterItsSessionEndedReachesNoOneElse) {
  for (const WaitKind& kind : Kinds()) {
    SCOPED_TRACE(kind.name);
    GatewayHarness h(kind.ini, kind.command_line);
    std::shared_ptr<void> kept = kind.prepare(h);
    auto first = ConnectedClient(h, 1);
    first->Send(kind.request);
    ASSERT_TRUE(h.RunUntil([&] { return kind.waiting(h); })) << ::testing::PrintToString(h.events());

    NextClient next(h.io());
    HandOverSlot(h, next);
    std::string received;
    WithClient(h, [&] { received = next.client->ReadAll(std::chrono::milliseconds(1800)); });

    // Its greeting line at most, and nothing else: a document of zeros
    // leaked after it would hold no line end.
    EXPECT_EQ(received.substr(0, kind.greeting.size()), kind.greeting);
    EXPECT_EQ(received, kind.greeting.empty() ? "" : received.substr(0, received.find('\n') + 1)) << received;
    EXPECT_TRUE(h.g().CommandConnected(1)) << "the next client's session was ended";
    EXPECT_TRUE(kind.old_wait_over(h));
  }
}

// Reads from c until text holds part after the first occurrence of after;
// returns all it read.
std::string ReadUntil(Client& c, const std::string& part, const std::string& after = "") {
  std::string text;
  for (;;) {
    size_t from = text.find(after);
    if (from != std::string::npos && text.find(part, from) != std::string::npos) break;
    std::string more = c.ReadAtLeast(1, std::chrono::milliseconds(5000));
    if (more.empty()) break;
    text += more;
  }
  return text;
}

// An FTP transfer waiting for its data connection when its session ends:
// the next client on the slot opens a passive data connection of its own
// and retrieves another file. The old transfer must neither send its file
// over that connection nor report a failure of it.
TEST(SessionRef, AnFtpTransferWaitLeavesTheNextClientsDataConnectionAlone) {
  GatewayHarness h("[Variables]\r\nPort=21\r\nFTPConnectLimit=5\r\n", "LISTEN 21");
  h.home().Write("drives/c/export/old.txt", "OLD FILE");
  h.home().Write("drives/c/export/new.txt", "new file");
  auto first = ConnectedClient(h, 1);
  first->Send("USER u\r\nPASS p\r\nPASV\r\nRETR old.txt\r\n");
  ASSERT_TRUE(h.RunUntil([&] { return Logged(h, "RETR old.txt"); }));
  h.RunFor(std::chrono::milliseconds(100));  // the wait looks every 50 ms by now

  NextClient next(h.io());
  HandOverSlot(h, next);
  std::string control, data;
  WithClient(h, [&] {
    Client& c = *next.client;
    c.Send("USER v\r\nPASS p\r\nPASV\r\n");
    std::string replies = ReadUntil(c, ").\r\n", "\n227 ");
    int high = 0, low = 0;
    size_t at = replies.find("227 Entering Passive Mode (");
    ASSERT_NE(at, std::string::npos) << replies;
    ASSERT_EQ(std::sscanf(replies.c_str() + at, "227 Entering Passive Mode (%*d,%*d,%*d,%*d,%d,%d)", &high, &low), 2);
    Client channel(high * 256 + low);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the old wait looks meanwhile
    c.Send("RETR new.txt\r\n");
    control = ReadUntil(c, "\n226 ");
    data = channel.ReadAll(std::chrono::milliseconds(3000));
  });
  EXPECT_EQ(data, "new file");
  EXPECT_NE(control.find("226 File transfer successful (8 bytes)"), std::string::npos) << control;
  EXPECT_FALSE(Logged(h, "data connection failed")) << ::testing::PrintToString(h.events());
  EXPECT_TRUE(h.g().CommandConnected(1));
}

}  // namespace
}  // namespace korvane::test
