// Document responses in process: the recent-page copy, type hand-offs
// and the block sender, over real loopback sockets.
#include "web/documents.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <tuple>

#include "channel/block_sender.h"
#include "core/sessions.h"
#include "test_support.h"

namespace korvane::test {
namespace {

// One client on slot 1; work runs on the gateway, then the session ends and
// everything the client received is returned.
std::string Exchange(GatewayHarness& h, const std::function<asio::awaitable<void>()>& work) {
  auto c = test::ConnectedClient(h);
  asio::co_spawn(h.io(), [&]() -> asio::awaitable<void> {
    co_await work();
    co_await EndSession(h.g(), 1, "test");
  }, asio::detached);
  std::string got;
  WithClient(h, [&] { got = c->ReadAll(); });
  return got;
}

// Whether any TCP socket of this process holds partial packets back.
bool AnySocketCorked() {
  for (int fd = 0; fd < 1024; ++fd) {
    int on = 0;
    socklen_t size = sizeof on;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, &size) == 0 && on) return true;
  }
  return false;
}

TEST(WwwSendFile, TextDocumentsAreCopiedToTheRecentPageOthersNot) {
  GatewayHarness h("[MimeTypes]\npdf=b|application/pdf\n");
  h.home().Write("drives/c/export/x.htm", "<p>text</p>");
  h.home().Write("drives/c/export/x.pdf", "%PDF");
  auto send = [&](const std::string& path, const std::string& type) {
    return Exchange(h, [&]() -> asio::awaitable<void> {
      co_await www_send_file(h.g(), 1, path, type, false, false, false);
    });
  };
  send("c:\\export\\x.htm", "");
  EXPECT_EQ(h.home().Read("drives/c/temp/recent.htm"), "<p>text</p>");
  h.home().Write("drives/c/temp/recent.htm", "before");
  // Byte documents are not copied; a given type skips the configuration
  // and the copy.
  for (auto [path, type, tail] : {std::tuple{"c:\\export\\x.pdf", "", "application/pdf\r\n\r\n%PDF"},
                                  {"c:\\export\\x.htm", "text/plain", "text/plain\r\n\r\n<p>text</p>"}})
    EXPECT_TRUE(send(path, type).ends_with(std::string("Content-Type: ") + tail)) << path;
  EXPECT_EQ(h.home().Read("drives/c/temp/recent.htm"), "before");
}

TEST(BlockSender, SendsWholeFilesAndFailsOnMissingOnes) {
  GatewayHarness h("");
  std::string data;
  for (int i = 0; i < 4097; ++i) data += static_cast<char>(i * 7);
  h.home().Write("drives/c/export/f4097", data);
  h.home().Write("drives/c/export/f0", "");
  for (auto [name, bytes, result] : {std::tuple{"f4097", data, true}, {"f0", std::string(), true},
                                     {"none", std::string(), false}}) {
    bool sent = !result;
    const std::string file = name;  // a lambda may not name a structured binding before C++20 in every compiler
    EXPECT_EQ(Exchange(h, [&]() -> asio::awaitable<void> {
                sent = co_await send_BinaryFile(h.g(), 1, h.g().CommandSock(1), "c:\\export\\" + file);
                // The end of a document leaves at once, not when the connection ends.
                EXPECT_FALSE(AnySocketCorked()) << file;
              }),
              bytes);
    EXPECT_EQ(sent, result) << name;
  }
}

TEST(BlockSender, AFileCutWhileItIsSentStillFillsItsLengthWithZeros) {
  GatewayHarness h("");
  std::string data(2 << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  h.home().Write("drives/c/export/cut", data);
  const std::string host = h.home().path() + "/drives/c/export/cut";
  const size_t kept = 3 << 19;  // beyond what the socket takes before the first turn
  std::string got = Exchange(h, [&]() -> asio::awaitable<void> {
    // Runs at the sender's first turn for other sessions.
    asio::post(h.io(), [&] { ASSERT_EQ(::truncate(host.c_str(), static_cast<off_t>(kept)), 0); });
    co_await send_BinaryFile(h.g(), 1, h.g().CommandSock(1), "c:\\export\\cut");
  });
  EXPECT_TRUE(got == data.substr(0, kept) + std::string(data.size() - kept, '\0')) << "bytes differ";
}

TEST(BlockSender, AClientThatLeavesEndsTheLoopWithTheBytesSentSoFar) {
  GatewayHarness h("");
  h.home().Write("drives/c/export/big", std::string(64 << 20, 'x'));
  auto c = test::ConnectedClient(h);
  bool done = false;
  asio::co_spawn(h.io(), [&]() -> asio::awaitable<void> {
    co_await send_BinaryFile(h.g(), 1, h.g().CommandSock(1), "c:\\export\\big");
    done = true;
  }, asio::detached);
  WithClient(h, [&] {
    c->ReadAtLeast(100000);
    c->Close();
  });
  ASSERT_TRUE(h.RunUntil([&] { return done; }, 60s));
  int seen = 0;
  for (const auto& line : h.events()) {
    std::smatch m;
    std::string msg = test::MessageOf(line);
    if (!std::regex_match(msg, m, std::regex(R"(#1 aborted by client; bytes sent: (\d+))"))) continue;
    ++seen;
    EXPECT_EQ(std::stoll(m[1]) % kSendBlock, 0);
    EXPECT_LT(std::stoll(m[1]), 64LL << 20);
  }
  EXPECT_EQ(seen, 1);
}

}  // namespace
}  // namespace korvane::test
