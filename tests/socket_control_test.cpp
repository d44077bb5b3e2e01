#include "platform/socket_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace korvane {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

// A control that has accepted one real loopback connection, and that
// connection's client end.
struct Connected {
  explicit Connected(SocketControl::Mode mode) : control(io, mode, 1), client(io) {
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    client.connect(acceptor.local_endpoint());
    control.Accept(acceptor.accept());
  }
  asio::io_context io;
  SocketControl control;
  tcp::socket client;
};

// Runs the loop until done() holds or ten seconds have passed (a control's
// read loop always has work, so the loop never runs out by itself).
template <typename Done>
bool RunUntil(asio::io_context& io, Done done) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done() && std::chrono::steady_clock::now() < deadline) io.run_for(5ms);
  return done();
}

TEST(SocketControl, PauseAfterAnAnswerEndsWhenThePeerCloses) {
  Connected c(SocketControl::Mode::Line);
  bool ended = false;
  asio::co_spawn(c.io, [&]() -> asio::awaitable<void> {
    co_await c.control.WaitUnlessPeerCloses(60s);
    ended = true;
  }, asio::detached);
  c.io.run_for(20ms);
  EXPECT_FALSE(ended);  // the peer is still there
  c.client.close();
  EXPECT_TRUE(RunUntil(c.io, [&] { return ended; }));
}

TEST(SocketControl, PauseRunsItsTimeWhileThePeerStays) {
  Connected c(SocketControl::Mode::Line);
  bool ended = false;
  asio::co_spawn(c.io, [&]() -> asio::awaitable<void> {
    co_await c.control.WaitUnlessPeerCloses(30ms);
    ended = true;
  }, asio::detached);
  EXPECT_TRUE(RunUntil(c.io, [&] { return ended; }));
  EXPECT_TRUE(c.control.Connected());
}

// A data connection takes blocks into its queue up to 256 KiB, refuses the
// next with 24035, and once the client has read them all raises OnWritable;
// the client gets every byte in order.
TEST(SocketControl, ByteModeGathersBlocksUpToItsLimitThenRefuses) {
  Connected c(SocketControl::Mode::Byte);
  bool writable = false;
  c.control.OnWritable = [&] { writable = true; };
  std::string sent;
  int taken = 0;
  for (;;) {
    std::string block(4096, static_cast<char>('a' + taken % 26));
    if (c.control.Send(block) != 0) break;
    sent += block;
    ++taken;
  }
  EXPECT_EQ(taken, 64);
  EXPECT_EQ(c.control.LastError, kWouldBlock);

  std::string received(sent.size(), '\0');
  bool read_all = false;
  asio::async_read(c.client, asio::buffer(received), [&](std::error_code ec, size_t n) {
    read_all = !ec && n == sent.size();
  });
  EXPECT_TRUE(RunUntil(c.io, [&] { return read_all && writable; }));
  EXPECT_TRUE(received == sent);
  EXPECT_TRUE(writable);
  EXPECT_EQ(c.control.Send("more"), 0);
}

}  // namespace
}  // namespace korvane
