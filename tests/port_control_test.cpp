// Close Port and Reinitialize against a listening gateway with real clients
// and a real served program.
#include "ui/port_control.h"

#include <gtest/gtest.h>

#include <tuple>

#include "core/sessions.h"
#include "link/served_program.h"
#include "platform/link_control.h"
#include "test_support.h"
#include "ui/form_layout.h"

namespace korvane::test {
namespace {

// Whether a new connection to the port is taken (the gateway answers it).
bool Accepts(GatewayHarness& h, int port) {
  int32_t before = h.g().AcceptCount;
  Client c(port);
  return h.RunUntil([&] { return h.g().AcceptCount > before; }, 2s);
}

TEST(ClosePort, EndsEverySessionClosesEveryLinkAndUnlocksTheSettings) {
  GatewayHarness h;
  Gateway& g = h.g();
  link::ServedProgram book(h.io(), "book", g.opts.link_dir);
  book.AddTopic("orders", [](const std::string&) { return true; });
  book.Start();
  int port = h.port();
  std::vector<std::unique_ptr<Client>> clients(3);
  WithClient(h, [&] {
    for (auto& c : clients) c = std::make_unique<Client>(port);
  });
  ASSERT_TRUE(h.RunUntil([&] { return g.TopSlot == 3 && g.UserLabel(3).BackColor() == kRed; }));
  for (int k : {0, 1, 3}) {
    g.SlotLink(k)->LinkTopic = "book|orders";
    ASSERT_EQ(h.Finish(g.SlotLink(k)->SetLinkMode(2)), 0) << k;
  }

  h.Finish(mnuClose_Click(g));

  for (int k = 0; k <= 10; ++k) EXPECT_TRUE(h.SawEvent('#' + std::to_string(k) + " to be detached by mnuClose_click")) << k;
  for (int k = 0; k <= 10; ++k) EXPECT_EQ(g.SlotLink(k)->LinkMode(), 0) << k;
  for (int k = 1; k <= 3; ++k) EXPECT_EQ(g.UserLabel(k).BackColor(), kYellow);
  EXPECT_EQ(g.TopSlot, 0);

  EXPECT_FALSE(g.mnuDisableTimer.Enabled());
  for (TextBox* box : {&g.txtport, &g.maxusers, &g.lnkItem, &g.lnkTopic, &g.ExportDirectory})
    EXPECT_TRUE(box->Enabled()) << box->name();
  // The port takes no one now; the wait also outlasts the pause in which the
  // closed connections' clients, who never close their side, may still send.
  EXPECT_FALSE(g.CommandSock(0).Listening());
  EXPECT_FALSE(Accepts(h, port));
}

// From closed: nothing is closed, the request list is emptied, the boxes
// are normalised and the gateway listens on the port the box names.
TEST(Reinitialize, FromClosedNormalisesTheBoxesAndListensWithAnEmptyRequestList) {
  GatewayHarness h("", "");
  Gateway& g = h.g();
  int free_port;
  {
    asio::ip::tcp::acceptor probe(h.io(), {asio::ip::make_address("127.0.0.1"), 0});
    free_port = probe.local_endpoint().port();
  }
  g.opts.bind_port = -1;  // listen where the box says
  g.txtport.SetText(std::to_string(free_port) + "x");
  g.maxusers.SetText("x");
  g.List2.AddItem("GET /earlier HTTP/1.0");
  h.Finish(mnuReinit_Click(g));
  for (const std::string& line : h.events()) EXPECT_EQ(line.find("closed"), std::string::npos) << line;
  EXPECT_EQ(g.List2.ListCount(), 0);
  EXPECT_EQ(g.txtport.Text(), std::to_string(free_port));
  EXPECT_EQ(g.mnuClose.Caption(), "&Close Port " + std::to_string(free_port));
  // With no slots, the first client is refused.
  std::string refused;
  WithClient(h, [&] { refused = Client(free_port).ReadAll(5s); });
  EXPECT_EQ(refused, "421 Maximum number of users engaged. Try later.\r\n");
}

TEST(Reinitialize, RaisingMaxUsersFromTenToTwelveMakesTwoLabelsAndThirteenParts) {
  GatewayHarness h;
  Gateway& g = h.g();
  std::unique_ptr<Client> c;
  WithClient(h, [&] { c = std::make_unique<Client>(h.port()); });
  ASSERT_TRUE(h.RunUntil([&] { return g.UserLabel(1).Caption() == "1"; }));
  ASSERT_EQ(g.lblUser.size(), 11u);
  h.Finish(mnuClose_Click(g));
  g.maxusers.SetText("12");
  g.windowState = WindowState::Normal;  // started minimised by LISTEN; the operator restored it
  // 13 parts of 1000 twips: List1 (from 120) ends 13000 twips after lblUser(0) at 1340.
  g.Width = 120 + 250 + 1340 + 13000 - 120;
  g.Height = 9000;
  h.Finish(mnuReinit_Click(g));
  ASSERT_EQ(g.lblUser.size(), 13u);
  EXPECT_EQ(g.SlotLimit, 13);
  EXPECT_EQ(g.Sessions.size(), 14u);
  EXPECT_EQ(g.UserLabel(0).Width, 1000);
  for (int i = 1; i <= 12; ++i) {
    const auto& label = g.UserLabel(i);
    EXPECT_EQ(std::make_tuple(label.Caption(), label.Top, label.Left, label.Visible()),
              std::make_tuple(std::string("0"), g.UserLabel(0).Top, 1340 + i * 1000, true)) << i;
  }
  EXPECT_EQ(std::make_pair(g.List2.Width, g.List2.Height), std::make_pair(14220, 9000 - 5040 - 800));
  EXPECT_EQ(g.UserLabel(1).Width, 400) << "a slot label keeps the width it was made with";
  EXPECT_EQ(g.UserLabel(12).Width, g.UserLabel(11).Width) << "new labels copy lblUser(0) as it stood";
  SetWindowPlacement(g, 1500, 400, WindowState::Minimized);  // a minimised window keeps the sizes
  EXPECT_EQ(g.UserLabel(2).Left, 3340);
}

}  // namespace
}  // namespace korvane::test
