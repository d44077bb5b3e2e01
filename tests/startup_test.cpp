#include "app/startup.h"

#include <gtest/gtest.h>

#include "app/config.h"
#include "test_support.h"

namespace korvane {
namespace {

using test::GatewayHarness;

TEST(StartUp, CommandLineDecidesWhetherToListen) {
  {
    GatewayHarness h("", "LISTEN 8080");
    EXPECT_EQ(h.g().txtport.Text(), "8080");
    EXPECT_TRUE(h.g().CommandSock(0).Listening());
    EXPECT_EQ(h.g().windowState, WindowState::Minimized);
    EXPECT_EQ(h.g().Caption, "Tarnwick Version 3.0g");
    EXPECT_EQ(h.g().mnuListen.Caption(), "&Listen on Port 8080");
  }
  {
    GatewayHarness h("[Variables]\nPort=8081\n", "LISTEN");
    EXPECT_EQ(h.g().txtport.Text(), "8081");
    EXPECT_TRUE(h.g().CommandSock(0).Listening());
  }
  {
    GatewayHarness h("", "listen 8080");
    EXPECT_EQ(h.g().txtport.Text(), "80");
    EXPECT_FALSE(h.g().CommandSock(0).Listening());
    EXPECT_EQ(h.g().windowState, WindowState::Maximized);
  }
  {
    GatewayHarness h("[Variables]\nAutostart=1\nPort=8082\n", "");
    EXPECT_TRUE(h.g().CommandSock(0).Listening());
    EXPECT_EQ(h.g().txtport.Text(), "8082");
  }
}

TEST(StartUp, EachRunMovesThePreviousLogAside) {
  GatewayHarness h("", "");
  Gateway& g = h.g();
  g.files.WriteAll(g.LogPath, "first run\r\n");
  Form_Load(g);
  EXPECT_EQ(h.home().Read("drives/c/temp/log/korvane.l_0"), "first run\r\n");
  EXPECT_FALSE(g.files.Exists(g.LogPath));
  g.files.WriteAll(g.LogPath, "second run\r\n");
  Form_Load(g);
  EXPECT_EQ(h.home().Read("drives/c/temp/log/korvane.l_1"), "second run\r\n");
}

TEST(Shutdown, OnlyExitEnds) {
  GatewayHarness h("", "LISTEN");
  Gateway& g = h.g();
  EXPECT_FALSE(Form_Unload(g));
  EXPECT_EQ(g.windowState, WindowState::Minimized);
  EXPECT_TRUE(g.CommandSock(0).Listening());
  g.Sessions[2].tempfile = "C:\\temp\\~dd1.tmp";
  g.files.WriteAll(g.Sessions[2].tempfile, "x");
  mnuExit_Click(g);
  EXPECT_FALSE(g.CommandSock(0).Listening());
  EXPECT_FALSE(g.files.Exists("C:\\temp\\~dd1.tmp"));
}

}  // namespace
}  // namespace korvane
