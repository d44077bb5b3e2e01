#include "platform/socket_control.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace korvane {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;
using test::RunUntil;

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

// The pause after an answer runs its time while the peer stays, and ends
// at once when the peer closes.
TEST(SocketControl, PauseAfterAnAnswerEndsWhenThePeerCloses) {
  for (auto [pause, close] : {std::pair{60000ms, true}, {200ms, false}}) {
    Connected c(SocketControl::Mode::Line);
    bool ended = false;
    asio::co_spawn(c.io, [&, pause]() -> asio::awaitable<void> {
      co_await c.control.WaitUnlessPeerCloses(pause);
      ended = true;
    }, asio::detached);
    c.io.run_for(20ms);
    EXPECT_FALSE(ended);
    if (close) c.client.close();
    EXPECT_TRUE(RunUntil(c.io, [&] { return ended; }, 10s));
    EXPECT_EQ(c.control.Connected(), !close);
  }
}

// A data connection takes blocks into its queue up to 256 KiB, refuses the
// next with 24035, and once the client has read them all raises OnWritable;
// the client gets every byte in order.
TEST(SocketControl, ByteModeGathersBlocksUpToItsLimitThenRefuses) {
  Connected c(SocketControl::Mode::Byte);
  bool writable = false;
  c.control.OnWritable = [&] { writable = true; };
  std::string sent;
  for (;;) {
    std::string block(4096, static_cast<char>('a' + sent.size() / 4096 % 26));
    if (c.control.Send(block) != 0) break;
    sent += block;
  }
  EXPECT_EQ(sent.size(), 64u * 4096);
  EXPECT_EQ(c.control.LastError, kWouldBlock);

  std::string received(sent.size(), '\0');
  bool read_all = false;
  asio::async_read(c.client, asio::buffer(received), [&](std::error_code ec, size_t n) {
    read_all = !ec && n == sent.size();
  });
  EXPECT_TRUE(RunUntil(c.io, [&] { return read_all && writable; }, 10s));
  EXPECT_TRUE(received == sent);
  EXPECT_EQ(c.control.Send("more"), 0);
}

}  // namespace
}  // namespace korvane
