// The operator window's model without any window: the status dump, the beep
// and peer switches, the file viewers.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <tuple>

#include "core/sessions.h"
#include "platform/clock.h"
#include "test_support.h"
#include "ui/file_viewers.h"
#include "ui/menu_switches.h"
#include "ui/slot_status.h"

namespace korvane::test {
namespace {

// A program that writes its arguments, one a line, to a file.
std::string ArgumentRecorder(const test::TempDir& dir, const std::string& name) {
  std::string script = dir.path() + "/" + name + ".sh";
  std::string out = dir.path() + "/" + name + ".args";
  dir.Write(name + ".sh", "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > " + out + ".part && mv " + out +
                              ".part " + out + "\n");
  EXPECT_EQ(::chmod(script.c_str(), 0755), 0);
  return script;
}

std::vector<std::string> Lines(const std::string& text, const std::string& end) {
  std::vector<std::string> out;
  size_t at = 0, next;
  while ((next = text.find(end, at)) != std::string::npos) {
    out.push_back(text.substr(at, next - at));
    at = next + end.size();
  }
  return out;
}

TEST(StatusDump, TwelveLinesWithNumbersInTheirOwnForms) {
  GatewayHarness h;
  lblUser_Click(h.g(), 2);  // a slot that served no connection
  EXPECT_EQ(h.view.titles, std::vector<std::string>{"User 2"});
  EXPECT_EQ(h.view.boxes, std::vector<std::string>{
                              "\r\n\r\nentered=12:00:00 AM\r\nexitted=12:00:00 AM\r\nsuccess=0\r\nstate=0\r\n"
                              "expires=0\r\nkeepalive=0\r\nblocked=0\r\nloggedin=0\r\nreferer=\r\nagent=\r\n"});
  SessionRecord& r = h.g().Sessions.at(3);
  r.n.state = -1;
  r.n.expires = 45000.5;  // to the nearest whole number: 45000 (half to even)
  r.n.keepalive = kTrue;
  r.success = 226;
  r.referer = "http://a/b";
  std::vector<std::string> lines = Lines(SlotStatusText(h.g(), 3), "\r\n");
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.begin() + 11),
            (std::vector<std::string>{"success=226", "state=FFFF", "expires=AFC8", "keepalive=-1", "blocked=45000.5",
                                      "loggedin=0", "referer=http://a/b"}));
  // A slot above the peer tables shows no peer lines.
  EXPECT_EQ(Lines(SlotStatusText(h.g(), 25), "\r\n")[0], "");
}

TEST(BeepSwitch, TwoClicksRestoreCaptionAndBeepWhileOffNoAcceptBeeps) {
  GatewayHarness h;
  Gateway& g = h.g();
  mnuDisableBeep_Click(g);
  EXPECT_EQ(g.mnuDisableBeep.Caption(), "Enable &Beep");
  auto c = test::ConnectedClient(h, 1);
  EXPECT_EQ(h.view.beeps, 0);

  mnuDisableBeep_Click(g);
  EXPECT_EQ(g.mnuDisableBeep.Caption(), "Disable &Beep");
  auto c2 = test::ConnectedClient(h, 2);
  EXPECT_EQ(h.view.beeps, 1);
}

TEST(FileViewers, ViewersAndThePeerLookUpGetTheirArguments) {
  GatewayHarness h;
  Gateway& g = h.g();
  test::TempDir tools;
  test::ScopedEnv editor("KORVANE_EDITOR", ArgumentRecorder(tools, "editor"));
  test::ScopedEnv browser("KORVANE_BROWSER", ArgumentRecorder(tools, "browser"));
  test::ScopedEnv lookup("KORVANE_GETHOST", ArgumentRecorder(tools, "gethost"));
  for (auto [menu, viewer, file] : {std::tuple{&mnuEditLog_Click, "editor", "C:\\temp\\log\\korvane.log"},
                                    {&mnuRecentClient_Click, "editor", "C:\\temp\\ddeclient.txt"},
                                    {&mnuViewRecent_Click, "browser", "C:\\temp\\recent.htm"}}) {
    const std::string args = std::string(viewer) + ".args";
    std::remove((tools.path() + "/" + args).c_str());
    menu(g);
    ASSERT_TRUE(h.RunUntil([&] { return tools.Exists(args); })) << file;
    EXPECT_EQ(tools.Read(args), g.files.Host(file) + "\n");
  }

  // The peer switch's first click runs the look-up on the peer's address,
  // the second runs nothing.
  g.lblPeerAddress.SetCaption("3:10.1.2.3");
  mnuDisablePeer_Click(g);
  EXPECT_EQ(g.view->Clipboard(), "10.1.2.3");
  ASSERT_TRUE(h.RunUntil([&] { return tools.Exists("gethost.args"); }));
  EXPECT_EQ(tools.Read("gethost.args"), "clip\n");
  std::remove((tools.path() + "/gethost.args").c_str());
  g.lblPeerAddress.SetCaption("4:10.9.9.9");
  mnuDisablePeer_Click(g);
  EXPECT_EQ(g.mnuDisablePeer.Caption(), "Enable &Peer");
  h.RunFor(300ms);
  EXPECT_FALSE(tools.Exists("gethost.args"));

  // A missing program is ignored silently.
  test::ScopedEnv missing("KORVANE_EDITOR", "/nonexistent/editor");
  size_t logged = h.events().size();
  EXPECT_FALSE(RunFixedCommand(g, "Notepad " + g.LogPath));
  mnuRecent_Click(g);
  EXPECT_EQ(h.events().size(), logged);
  EXPECT_TRUE(h.view.boxes.empty());
  EXPECT_TRUE(HostCommand(g, "wordpad c:\\x.txt").empty()) << "a program with no counterpart here";
}

}  // namespace
}  // namespace korvane::test
