#include "core/sessions.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "app/startup.h"
#include "platform/socket_control.h"
#include "test_support.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using test::Client;
using test::GatewayHarness;
using test::WithClient;

TEST(Admission, ConnectionBeyondTheLimitIsRefusedAndSlotsAreReused) {
  GatewayHarness h("[Variables]\nMaxUsers=2\n");
  Gateway& g = h.g();
  int port = h.port();
  std::unique_ptr<Client> c1, c2;
  std::string refused;
  WithClient(h, [&] {
    c1 = std::make_unique<Client>(port);
    c2 = std::make_unique<Client>(port);
    std::this_thread::sleep_for(200ms);
    Client c3(port);
    refused = c3.ReadAll();
  });
  EXPECT_EQ(refused, "421 Maximum number of users engaged. Try later.\r\n");
  EXPECT_TRUE(h.SawEvent("can't accept 3"));
  EXPECT_TRUE(h.SawEvent("#3 to be detached by cancel_session"));
  EXPECT_EQ(g.UserLabel(1).BackColor(), kRed);
  EXPECT_EQ(g.UserLabel(2).BackColor(), kRed);
  EXPECT_EQ(g.UserLabel(1).Caption(), "1");

  // Slot 2's client leaves; its session ends at the expiry sweep or, here,
  // when the operator-visible state says it is no longer connected.
  c2->Close();
  ASSERT_TRUE(h.RunUntil([&] { return !g.CommandConnected(2); }));
  c1->Send("GET /gone HTTP/1.0\r\n\r\n");
  ASSERT_TRUE(h.RunUntil([&] { return h.SawEvent("#1 to be detached by WWW_Process_Request_sendfile"); }));
  EXPECT_EQ(g.UserLabel(1).BackColor(), kYellow);
  EXPECT_EQ(g.TopSlot, 0);  // neither slot is connected any more
  EXPECT_FALSE(g.Timer1.Enabled());

  std::unique_ptr<Client> again;
  WithClient(h, [&] { again = std::make_unique<Client>(port); });
  ASSERT_TRUE(h.RunUntil([&] { return g.UserLabel(1).Caption() == "2"; }));
  EXPECT_EQ(g.UserLabel(1).BackColor(), kRed);
  EXPECT_EQ(g.AcceptCount, 4);
}

TEST(Admission, FtpClientsAreGreetedAndNeverExpire) {
  GatewayHarness h("[Variables]\nPort=21\n");
  Gateway& g = h.g();
  int port = h.port();
  std::string greeting;
  std::unique_ptr<Client> c;
  WithClient(h, [&] {
    c = std::make_unique<Client>(port);
    while (greeting.find('\n') == std::string::npos) {
      std::string more = c->ReadAtLeast(1, 3s);
      if (more.empty()) break;
      greeting += more;
    }
  });
  EXPECT_EQ(greeting, "220 " + MachineName() + " 127.0.0.1:" + std::to_string(port) +
                          " #1 (Marlbeck mimic).\r\n");
  EXPECT_EQ(g.Sessions[1].n.expires, 0);
  EXPECT_EQ(g.Sessions[1].n.loggedin, 0);
  EXPECT_FALSE(g.Timer1.Enabled());
  EXPECT_EQ(g.Timer1.Tag, "");
  EXPECT_FALSE(g.mnuDisableTimer.Enabled());
}

// A new web session is armed to expire; the sweep comes ExpireSeconds + 5
// after the renewal. The expiry switch stops the timer, while renewals still
// set the expiry. A setting that is no number leaves sessions unarmed.
// (The notice itself is compared by the robustness end-to-end test.)
TEST(Expiry, NewSessionsAreArmedFromTheSettingUnlessSwitchedOff) {
  {
    GatewayHarness h("[Variables]\nExpireSeconds=1\n");
    Gateway& g = h.g();
    EXPECT_EQ(g.Timer1.Tag, "ON");
    EXPECT_EQ(g.mnuDisableTimer.Caption(), "Disable &Timer");
    EXPECT_TRUE(g.mnuDisableTimer.Enabled());
    auto c = test::ConnectedClient(h);
    EXPECT_GT(g.Sessions[1].n.expires, 0);
    EXPECT_EQ(g.Timer1.Interval(), 6000);
    EXPECT_TRUE(g.Timer1.Enabled());
    bool armed = false;
    for (const auto& line : h.events())
      armed |= std::regex_match(test::MessageOf(line), std::regex(R"(#-1 expires \d+/\d+/\d+ \d+:\d\d:\d\d [AP]M)"));
    EXPECT_TRUE(armed);

    mnuDisableTimer_Click(g);
    EXPECT_FALSE(g.Timer1.Enabled());
    EXPECT_EQ(g.Timer1.Tag, "");
    EXPECT_EQ(g.mnuDisableTimer.Caption(), "Enable &Timer");
    g.Sessions[1].n.expires = 1;
    RenewExpiry(g, 1);
    EXPECT_GT(g.Sessions[1].n.expires, 1);
    EXPECT_FALSE(g.Timer1.Enabled());
  }
  GatewayHarness h("[Variables]\nExpireSeconds=20s\n");
  auto c = test::ConnectedClient(h);
  EXPECT_EQ(h.g().Sessions[1].n.expires, 0);
  Spawn(h.g(), checkexpiration(h.g()));
  ASSERT_TRUE(h.RunUntil([&] { return h.SawEvent("No expiration? 1"); }));
}

TEST(Listening, LocksTheBoxesAndReportsAFailedListen) {
  GatewayHarness busy("", "LISTEN");
  GatewayHarness h("", "");
  Gateway& g = h.g();
  EXPECT_FALSE(g.CommandSock(0).Listening());
  g.opts.bind_port = busy.port();
  mnuListen_Click(g);
  EXPECT_TRUE(h.SawEvent("Listening on Port 80"));  // the failure's report is compared end to end
  EXPECT_FALSE(g.txtport.Enabled());
  EXPECT_FALSE(g.maxusers.Enabled());
  EXPECT_FALSE(g.mnuListen.Visible());
  EXPECT_TRUE(g.mnuClose.Visible());
  EXPECT_EQ(g.mnuClose.Caption(), "&Close Port 80");
}

}  // namespace
}  // namespace korvane
