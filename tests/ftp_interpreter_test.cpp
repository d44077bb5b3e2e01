// The FTP interpreter in this process: what its replies do to the session
// record (ports, modes, directory), which the wire alone does not show.
#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>

#include "core/open_files.h"
#include "test_support.h"

namespace korvane::test {
namespace {

const char kFtpIni[] = "[Variables]\r\nPort=21\r\n";

// One reply line (with its "." CR LF) for one command line.
std::string Ask(Client& c, const std::string& line) {
  if (!line.empty()) c.Send(line + "\r\n");
  std::string reply;
  while (reply.size() < 2 || reply.compare(reply.size() - 2, 2, "\r\n") != 0) {
    std::string more = c.ReadAtLeast(1);
    if (more.empty()) break;
    reply += more;
  }
  return reply;
}

class FtpInterpreter : public ::testing::Test {
 protected:
  FtpInterpreter() : h(kFtpIni, "LISTEN 21") {
    h.home().Write("drives/c/export/Sub/Deeper/f.txt", "x");
  }

  // Runs a client that logs in and then sends lines; returns the replies.
  std::vector<std::string> Session(const std::vector<std::string>& lines, bool login = true) {
    std::vector<std::string> replies;
    WithClient(h, [&] {
      Client c(h.port());
      c.ReadAtLeast(1);  // greeting
      if (login) {
        Ask(c, "USER u");
        Ask(c, "PASS p");
      }
      for (const auto& line : lines) replies.push_back(Ask(c, line));
    });
    return replies;
  }

  SessionRecord& record() { return h.g().Sessions[1]; }

  GatewayHarness h;
};

// The greeting ends in "(Marlbeck mimic)."; FTP sessions never expire.
TEST_F(FtpInterpreter, ClientsAreGreetedAndNeverExpire) {
  std::unique_ptr<Client> c;
  std::string greeting;
  WithClient(h, [&] {
    c = std::make_unique<Client>(h.port());
    greeting = Ask(*c, "");
  });
  EXPECT_EQ(greeting, "220 " + MachineName() + " 127.0.0.1:" + std::to_string(h.port()) + " #1 (Marlbeck mimic).\r\n");
  EXPECT_EQ(record().n.expires, 0);
  EXPECT_FALSE(h.g().Timer1.Enabled());
  EXPECT_FALSE(h.g().mnuDisableTimer.Enabled());
}

// PORT and PASV set the data target; a new PASS starts from a fresh state.
TEST_F(FtpInterpreter, PortPasvAndPassSetTheDataTarget) {
  Session({"PORT 127,0,0,1,4,1", "PORT 10,0,0,5,4,2"});
  EXPECT_EQ(record().n.dataport, 1025);  // a refused PORT (to a third host) keeps the last port

  auto replies = Session({"PORT 127,0,0,1,4,1", "PASV", "TYPE I", "CWD sub", "USER other", "PASS again"});
  EXPECT_EQ(replies[5], "230 other logged in, proceed.\r\n");
  const SessionRecord& r = record();
  EXPECT_EQ(std::tuple(r.n.dataport, r.n.pasvport, r.n.passive, r.n.binarytype, r.ftpdir, r.password),
            std::make_tuple(20, 0, kFalse, kFalse, std::string(), std::string("again")));

  replies = Session({"PORT 127,0,0,1,128,0", "PWD"});
  EXPECT_EQ(replies, (std::vector<std::string>{"421 Port number is too high.\r\n", ""}));  // then hung up
  EXPECT_EQ(record().success, 421);
  EXPECT_TRUE(h.SawEvent("#1 to be detached by process_FTP_request1"));
}

TEST_F(FtpInterpreter, RootIsNormalisedOnEveryCommand) {
  h.g().FTPExportDir = "  c:\\export\\\\ ";
  Session({}, false);
  EXPECT_EQ(h.g().FTPExportDir, "  c:\\export\\\\ ");  // no command yet
  Session({"PWD"}, false);
  EXPECT_EQ(h.g().FTPExportDir, "c:\\export\\");  // one trailing "\" per command
  h.g().FTPExportDir = "   ";
  Session({"PWD"}, false);
  EXPECT_EQ(h.g().FTPExportDir, h.g().AppPath);
}

// After a store the upload file's number is given back: a later end of this
// session must not close a file another session opened under that number.
TEST_F(FtpInterpreter, StoreGivesBackItsFileNumber) {
  h.home().Write("drives/c/import/.keep", "");
  WithClient(h, [&] {
    Client c(h.port());
    c.ReadAtLeast(1);
    Ask(c, "USER u");
    Ask(c, "PASS p");
    int high = 0, low = 0;
    std::sscanf(Ask(c, "PASV").c_str(), "227 Entering Passive Mode (%*d,%*d,%*d,%*d,%d,%d)", &high, &low);
    Client data(high * 256 + low);
    Ask(c, "STOR up.txt");
    data.Send("uploaded");
    data.Close();
    c.ReadAtLeast(1);
  });
  EXPECT_EQ(record().n.filenum, 0);
  EXPECT_EQ(h.g().openFiles->OpenCount(), 0u);
}

}  // namespace
}  // namespace korvane::test
