// Admission, sessions and expiry, and the socket control under them.
#include "core/sessions.h"

#include <gtest/gtest.h>

#include <regex>

#include "app/startup.h"
#include "platform/socket_control.h"
#include "test_support.h"
#include "ui/port_control.h"

namespace korvane::test {
namespace {

// An FTP client that leaves without QUIT does not end its session; the next
// client of its slot does. Nothing of the old session may stay behind: its
// login guard used to wait out FtpLoginSeconds, some 460 bytes a connection.
TEST(Admission, FtpClientsThatLeaveWithoutQuitLeaveNoMemoryBehind) {
  GatewayHarness h("[Variables]\r\nPort=21\r\n", "LISTEN 21");
  Gateway& g = h.g();
  auto come_and_go = [&](int times) {
    for (int i = 0; i < times; ++i) {
      WithClient(h, [&] { Client(h.port()).ReadAtLeast(3); });  // the greeting, then gone
      ASSERT_TRUE(h.RunUntil([&] { return !g.CommandConnected(1) && h.SawEvent("#1 commandsock disconnected"); }));
      h.ForgetEvents();
    }
  };
  come_and_go(20);  // what is made once is made
  const long long before = HeapInUse();
  come_and_go(300);
  EXPECT_LT(HeapInUse() - before, 300 * 100);  // under 100 bytes a connection
  EXPECT_EQ(g.UserLabel(1).Caption(), "320");
  EXPECT_EQ(g.AcceptCount, 320);
}

// A new web session is armed to expire; the sweep comes ExpireSeconds + 5
// after the renewal. The expiry switch stops the timer, while renewals still
// set the expiry, and Close Port leaves it off. A setting that is no number
// leaves sessions unarmed. (The notice itself is compared by the modern HTTP
// end-to-end test of program failures.)
TEST(Expiry, NewSessionsAreArmedFromTheSettingUnlessSwitchedOff) {
  {
    GatewayHarness h("[Variables]\nExpireSeconds=1\n");
    Gateway& g = h.g();
    EXPECT_EQ(g.mnuDisableTimer.Caption(), "Disable &Timer");
    auto c = test::ConnectedClient(h);
    EXPECT_GT(g.Sessions[1].n.expires, 0);
    EXPECT_EQ(std::pair(g.Timer1.Interval(), g.Timer1.Enabled()), std::pair(6000, true));
    bool armed = false;
    for (const auto& line : h.events())
      armed |= std::regex_match(test::MessageOf(line), std::regex(R"(#-1 expires \d+/\d+/\d+ \d+:\d\d:\d\d [AP]M)"));
    EXPECT_TRUE(armed);

    mnuDisableTimer_Click(g);
    EXPECT_EQ(g.Timer1.Tag, "");
    g.Sessions[1].n.expires = 1;
    RenewExpiry(g, 1, Renewal::kIfArmed);
    EXPECT_GT(g.Sessions[1].n.expires, 1);
    EXPECT_FALSE(g.Timer1.Enabled());
    h.Finish(mnuClose_Click(g));
    EXPECT_EQ(g.mnuDisableTimer.Caption(), "Enable &Timer");
  }
  GatewayHarness h("[Variables]\nExpireSeconds=20s\n");
  auto c = test::ConnectedClient(h);
  EXPECT_EQ(h.g().Sessions[1].n.expires, 0);
  Spawn(h.g(), checkexpiration(h.g()));
  ASSERT_TRUE(h.RunUntil([&] { return h.SawEvent("No expiration? 1"); }));
}

// A control that has accepted one real loopback connection, and that
// connection's client end.
struct Connected {
  explicit Connected(SocketControl::Mode mode) : control(io, mode, 1), client(io) {
    asio::ip::tcp::acceptor acceptor(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    client.connect(acceptor.local_endpoint());
    control.Accept(acceptor.accept());
  }
  asio::io_context io;
  SocketControl control;
  asio::ip::tcp::socket client;
};

// The pause after an answer runs its time while the peer stays, and ends
// at once when the peer closes.
TEST(SocketControl, PauseAfterAnAnswerEndsWhenThePeerCloses) {
  for (auto [pause, close] : {std::pair{60000ms, true}, {200ms, false}}) {
    Connected c(SocketControl::Mode::Line);
    bool ended = false;
    asio::co_spawn(c.io, [&, limit = pause]() -> asio::awaitable<void> {
      co_await c.control.WaitUnlessPeerCloses(limit);
      ended = true;
    }, asio::detached);
    c.io.run_for(20ms);
    EXPECT_FALSE(ended);
    if (close) c.client.close();
    EXPECT_TRUE(test::RunUntil(c.io, [&] { return ended; }, 10s));
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
  EXPECT_TRUE(test::RunUntil(c.io, [&] { return read_all && writable; }, 10s));
  EXPECT_TRUE(received == sent);
  EXPECT_EQ(c.control.Send("more"), 0);
}

// A listener names each client by its address, one to three digits a byte,
// as accept gave it and as the connection tells it later.
TEST(SocketControl, ListenerNamesPeersByAddress) {
  asio::io_context io;
  SocketControl listener(io, SocketControl::Mode::Line, 0);
  ASSERT_FALSE(listener.Listen("127.0.0.1", 0));
  const auto port = static_cast<unsigned short>(listener.LocalPortNow());
  for (const char* source : {"127.0.0.1", "127.10.99.5", "127.255.100.0"}) {
    std::string named;
    SocketControl slot(io, SocketControl::Mode::Line, 1);
    listener.OnIncoming = [&](asio::ip::tcp::socket s, std::string peer) {
      named = peer;
      slot.Accept(std::move(s));  // no address given: asked of the socket
    };
    asio::ip::tcp::socket client(io, asio::ip::tcp::endpoint(asio::ip::make_address(source), 0));
    client.connect({asio::ip::make_address("127.0.0.1"), port});
    EXPECT_TRUE(test::RunUntil(io, [&] { return !named.empty(); }, 10s));
    EXPECT_EQ(named, source);
    EXPECT_EQ(slot.PeerAddress(), source);
  }
}

}  // namespace
}  // namespace korvane::test
