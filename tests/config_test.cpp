// The INI store, the configuration boxes, start-up and shutdown.
#include "core/config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <tuple>

#include "app/startup.h"
#include "core/config_check.h"
#include "platform/event_pass.h"
#include "platform/ini_file.h"
#include "test_support.h"
#include "ui/form_unload.h"

namespace korvane::test {
namespace {

TEST(IniFile, ReadsWithoutCaseTrimsCutsLongValuesAndWritesOneKey) {
  TempDir dir;
  dir.Write("a.ini", "early=1\n[Variables]\r\n  PORT =  8080  \r\nport=9\n[other]\nlong=" + std::string(600, 'v') +
                         "\nquoted=\"a b\"\n[variables]\nport=7\nlate=yes\n[Topics]\nexcel=sheet1\nword = doc1\nname=\n");
  IniFile ini(dir.path() + "/a.ini");
  // The first of a repeated key wins, a section may come twice, a key
  // before any section belongs to none.
  for (auto [section, key, dflt, value] :
       {std::tuple{"variables", "Port", "", "8080"}, {"VARIABLES", "late", "", "yes"}, {"", "early", "none", "none"},
        {"other", "quoted", "", "a b"}, {"other", "port", "", ""}, {"nosuch", "x", "dflt", "dflt"},
        {"Variables", "nosuch", "", ""}})
    EXPECT_EQ(ini.Get(section, key, dflt), value) << section << "|" << key;
  EXPECT_EQ(ini.Get("Other", "LONG").size(), 499u);
  EXPECT_EQ(ini.Keys("topics"), (std::vector<std::string>{"excel", "word", "name"}));
  EXPECT_EQ(IniFile(dir.path() + "/missing.ini").Get("a", "b", "d"), "d");

  // A write changes one key and leaves every other line.
  dir.Write("a.ini", "; comment\n[Variables]\nPort=80\n\n[Topics]\nexcel=sheet1\n");
  ASSERT_TRUE(ini.Set("variables", "port", "21"));
  ASSERT_TRUE(ini.Set("Variables", "MaxUsers", "4"));
  ASSERT_TRUE(ini.Set("New", "k", "v"));
  EXPECT_EQ(dir.Read("a.ini"),
            "; comment\r\n[Variables]\r\nport=21\r\nMaxUsers=4\r\n\r\n[Topics]\r\nexcel=sheet1\r\n[New]\r\nk=v\r\n");
  ASSERT_TRUE(IniFile(dir.path() + "/fresh.ini").Set("S", "k", "v"));
  EXPECT_EQ(dir.Read("fresh.ini"), "[S]\r\nk=v\r\n");
  EXPECT_FALSE(dir.Exists("a.ini.new"));
}

// Lookups reuse the parsed file while it is unchanged; any edit, even one of
// the same length made at once, counts from the next lookup on. In the
// gateway's loop an edit from outside counts from the next pass on; a write
// of the gateway's own counts at once.
TEST(IniFile, SeesEveryEditAtOnceAndOutsideEditsFromTheNextPass) {
  TempDir dir;
  const std::string path = dir.path() + "/a.ini";
  auto k = [&] { return IniFile(path).Get("V", "k", "gone"); };
  dir.Write("a.ini", "[V]\nk=1\n");
  EXPECT_EQ(k(), "1");
  dir.Write("a.ini", "[V]\nk=2\n");
  EXPECT_EQ(k(), "2");
  // A file last changed long ago is kept; an edit in place of the same
  // length still changes its status.
  timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
  EXPECT_EQ(k(), "2");
  EXPECT_EQ(k(), "2");
  dir.Write("a.ini", "[V]\nk=3\n");
  EXPECT_EQ(k(), "3");
  ASSERT_TRUE(IniFile(path).Set("V", "k", "4"));
  EXPECT_EQ(k(), "4");
  std::remove(path.c_str());
  EXPECT_EQ(k(), "gone");

  dir.Write("a.ini", "[V]\nk=1\n");
  asio::io_context io;
  std::vector<std::string> seen;
  asio::post(io, [&] {
    seen.push_back(k());
    dir.Write("a.ini", "[V]\nk=2\n");
    seen.push_back(k());
    asio::post(io, [&] {
      seen.push_back(k());
      ASSERT_TRUE(IniFile(path).Set("V", "k", "3"));
      seen.push_back(k());
    });
  });
  RunCountingPasses(io);
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "1", "2", "3"}));
  EXPECT_EQ(CurrentPass(), 0u);
}

// Defaults without a file (nothing written), then the same boxes loaded,
// normalised and saved back padded to 100 characters.
TEST(ConfigAccess, DefaultsLoadNormaliseSaveAndLookUp) {
  {
    GatewayHarness h("", "");
    Gateway& g = h.g();
    for (auto [box, text] : {std::pair{&g.txtport, "80"}, {&g.maxusers, "10"}, {&g.txtTime, "20"},
                             {&g.lnkItem, "lnkWWW"}, {&g.lnkTopic, ""}, {&g.ExportDirectory, "c:\\export"}})
      EXPECT_EQ(box->Text(), text) << box->name();
    EXPECT_EQ(g.SlotLimit, 11);
    EXPECT_FALSE(h.home().Exists("korvane.ini"));
    EXPECT_TRUE(h.home().Exists("drives/c/import"));
    EXPECT_EQ(g.mnuListen.Caption(), "&Listen on Port 80");
    EXPECT_EQ(g.Caption, "Tarnwick Version 3.0g");
  }
  GatewayHarness h(
      "[Variables]\nPort=021\nMaxUsers= 4x\nExpireSeconds=7.5\nNetExportDir=d:\\web\n"
      "[Topics]\nexcel=sheet1\nword=doc1\nname=\n[calc]\nEXE=calc.exe\n",
      "");
  Gateway& g = h.g();
  for (auto [box, text] : {std::pair{&g.txtport, "21"}, {&g.maxusers, "4"}, {&g.txtTime, "7.5"},
                           {&g.lnkTopic, " excel|sheet1  word|doc1  name| "}})
    EXPECT_EQ(box->Text(), text) << box->name();
  EXPECT_EQ(std::tuple(g.FtpMode(), g.SlotLimit, g.NetExportDir), std::tuple(true, 5, std::string("d:\\web")));
  g.ExportDirectory.SetText("e:\\x");  // the export box follows its setting
  EXPECT_EQ(g.NetExportDir, "e:\\x");

  g.txtport.SetText("80");
  ConfigAccess(g, ConfigMode::kSave);
  std::string ini = h.home().Read("korvane.ini");
  EXPECT_NE(ini.find("\r\nPort=80" + std::string(98, ' ') + "\r\n"), std::string::npos);
  EXPECT_NE(ini.find("[calc]\r\nEXE=calc.exe\r\n"), std::string::npos);
  for (auto [key, value] : {std::pair{"Variables|Port", "80"}, {" calc | exe ", "calc.exe"}, {"nosuch|EXE", ""},
                            {"calc", ""}})
    EXPECT_EQ(ConfigLookup(g, key), value) << key;
}

// Password hashes of "hunter2" (openssl passwd -6 -salt saltsaltsalt hunter2)
// and of "s3cret" under yescrypt (as mkpasswd -m yescrypt makes them).
#define SHA512_HUNTER2 \
  "$6$saltsaltsalt$/YcSJBZ1GwOaYU2XCNxvWBX3MbYsX7qkf0.0L28t35vap3Pr7yS0JA8iUjaUrIKpD1vbB841OQkrlcX47Jjuy/"
#define YESCRYPT_S3CRET "$y$j9T$F5Jx5fExrKuPp53xLKQ..1$8c0O2L8gFA3jUVvwMFdXpZKM78kTwpdGJswaLb6IRr/"

// Each value the gateway cannot take as written is named with its line and
// the value used instead; values it takes pass without a word.
TEST(ConfigCheck, NamesEachValueItCannotTakeWithTheValueUsed) {
  const std::string v = "line 2: [Variables] ", range = " is not a port range low-high from 1 to 65535; "
                                                        "using a port the system picks";
  const std::string address = " is not a dotted IPv4 address; using the address the client connected to";
  const std::string path = " is not a path starting with / without blanks or ?; using none (no metrics page)";
  const std::string users = "line 3: [FtpUsers] alice=(hidden) is ";
  const std::pair<std::string, std::string> cases[] = {  // lines, problem ("" when the lines are fine)
      {"Port=8080\nMaxUsers=20\nExpireSeconds=7.5\nAutostart=1\nModernClients=1\nFTPIdleLimit=30", ""},
      {"LogSecrets=0\nMaxFileLength=1500000\nNetExportDir=c:\\web\nKeepInputFiles=1", ""},
      {"Port=8080x", v + "Port=8080x is not a port number from 1 to 65535; using 8080"},
      {"Port=70000", v + "Port=70000 is not a port number from 1 to 65535; using 70000"},
      {"MaxUsers= x", v + "MaxUsers=x is not a number of users from 1 to 1000; using 0"},
      {"ExpireSeconds=soon", v + "ExpireSeconds=soon is not a number of seconds; using 0"},
      {"FTPIdleLimit=-5", v + "FTPIdleLimit=-5 is not a number of seconds above 0 and up to 86400; using 120"},
      {"LinkNotifyItemArray=", v + "LinkNotifyItemArray= is empty; using \"\""},
      {"Prot=8080", v + "Prot=8080 is not a setting korvane reads; using nothing (ignored)"},
      {"Port=81\nport=82", "line 3: [Variables] port=82 repeats the key of line 2; using \"81\""},
      {"[calc]\nEXE=calc\nDeleteFile=often", "line 4: [calc] DeleteFile=often is not a number; using 0"},
      {"[MimeTypes]\npng=b|image/png\n[Topics]\ncalc=sheet", ""},
      {"PassivePorts=50000-50009\nPassiveAddress=203.0.113.7", ""},
      {"PassivePorts=1-65535\nPassiveAddress=0.0.0.0", ""},
      {"PassivePorts=50010-50000", v + "PassivePorts=50010-50000" + range},
      {"PassivePorts=0-10", v + "PassivePorts=0-10" + range},
      {"PassivePorts=60000-65536", v + "PassivePorts=60000-65536" + range},
      {"PassivePorts=50000", v + "PassivePorts=50000" + range},
      {"PassiveAddress=gw.example.org", v + "PassiveAddress=gw.example.org" + address},
      {"PassiveAddress=10.0.0.256", v + "PassiveAddress=10.0.0.256" + address},
      {"PassiveAddress=10.0.0", v + "PassiveAddress=10.0.0" + address},
      {"MetricsPath=/metrics\nMetricsFrom=10.0.0.5, 2001:db8::1", ""},
      {"MetricsPath=", ""},
      {"MetricsPath=metrics", v + "MetricsPath=metrics" + path},
      {"MetricsPath=/m?x=1", v + "MetricsPath=/m?x=1" + path},
      {"MetricsFrom=10.0.0.5,gw.example.org,", v + "MetricsFrom=10.0.0.5,gw.example.org, is not a comma-separated "
                                               "list of IP addresses (\"gw.example.org\"); using loopback and the "
                                               "addresses listed"},
      // FTP accounts: hashes crypt takes pass; no value is ever shown.
      {"[FtpUsers]\nalice=" SHA512_HUNTER2 "\nbob=" YESCRYPT_S3CRET, ""},
      {"[FtpUsers]\nalice=hunter2",
       users + "not a crypt(3) hash (make one with openssl passwd -6); using no login for alice"},
      {"[FtpUsers]\nalice=$6$saltsaltsalt$YcSJBZ1G",
       users + "not a complete crypt(3) hash; using no login for alice"},
      {"[FtpUsers]\nalice=$1$abcdefgh$fXRNqNoBfI.lkg9wkvzNq/",
       users + "a hash of a weak method; using no login for alice"},
      {"[FtpUsers]\nalice=$9$x$y", users + "not a hash of a method crypt(3) knows; using no login for alice"},
      {"[FtpUsers]\nalice=" SHA512_HUNTER2 "\nALICE=" YESCRYPT_S3CRET,
       "line 4: [FtpUsers] ALICE=(hidden) repeats the key of line 3; using (hidden)"},
  };
  TempDir dir;
  for (const auto& [lines, problem] : cases) {
    dir.Write("k.ini", "[Variables]\n" + lines + "\n");
    std::string said;
    for (const ConfigProblem& p : CheckConfig(IniFile(dir.path() + "/k.ini"))) said += DescribeProblem("k.ini", p);
    EXPECT_EQ(said, problem.empty() ? "" : "k.ini " + problem) << lines;
  }
}

TEST(StartUp, CommandLineDecidesWhetherToListen) {
  struct Case {
    const char *ini, *command_line, *port;
    bool listening;
  };
  for (const Case& c : {Case{"", "LISTEN 8080", "8080", true}, Case{"[Variables]\nPort=8081\n", "LISTEN", "8081", true},
                        Case{"", "listen 8080", "80", false},
                        Case{"[Variables]\nAutostart=1\nPort=8082\n", "", "8082", true}}) {
    GatewayHarness h(c.ini, c.command_line);
    EXPECT_EQ(h.g().txtport.Text(), c.port) << c.command_line;
    EXPECT_EQ(h.g().CommandSock(0).Listening(), c.listening) << c.command_line;
    EXPECT_EQ(h.g().windowState, c.listening ? WindowState::Minimized : WindowState::Maximized) << c.command_line;
  }
}

TEST(StartUp, EachRunMovesThePreviousLogAsideAndOnlyExitEnds) {
  GatewayHarness h("", "LISTEN");
  Gateway& g = h.g();
  for (auto [text, backup] : {std::pair{"first run\r\n", "korvane.l_0"}, {"second run\r\n", "korvane.l_1"}}) {
    g.files.WriteAll(g.LogPath, text);
    Form_Load(g);
    EXPECT_EQ(h.home().Read(std::string("drives/c/temp/log/") + backup), text);
  }
  EXPECT_FALSE(Form_Unload(g));  // closing only minimises
  EXPECT_EQ(g.windowState, WindowState::Minimized);
  EXPECT_TRUE(g.CommandSock(0).Listening());
  g.Sessions[2].tempfile = "C:\\temp\\~dd1.tmp";
  g.files.WriteAll(g.Sessions[2].tempfile, "x");
  mnuExit_Click(g);
  EXPECT_FALSE(g.CommandSock(0).Listening());
  EXPECT_FALSE(g.files.Exists("C:\\temp\\~dd1.tmp"));
}

}  // namespace
}  // namespace korvane::test
