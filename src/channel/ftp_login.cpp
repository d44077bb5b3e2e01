// USER and PASS. There are no accounts: any name and password log in, and
// the name is kept for the replies and the log.
#include <cctype>

#include "channel/ftp_commands.h"
#include "channel/ftp_verbs.h"
#include "core/primitives.h"

namespace korvane {

std::string ArgumentFrom(const std::string& line, size_t character) {
  std::string padded = line + "  ";
  if (padded.size() < character) return "";
  return Trim(padded.substr(character - 1));
}

char LetterAt(const std::string& line, size_t character) {
  std::string padded = line + "  ";
  if (padded.size() < character) return ' ';
  return static_cast<char>(std::toupper(static_cast<unsigned char>(padded[character - 1])));
}

int16_t CheckFtpLogin(Gateway&, int) { return kTrue; }

asio::awaitable<void> FtpUser(Gateway& g, int index, const std::string& line) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  // A later USER renames the session but keeps its login.
  r->username = ArgumentFrom(line, 5);
  co_await SendReply(g, index, "331 Password required for " + r->username);
}

asio::awaitable<bool> FtpPass(Gateway& g, int index, const std::string& line) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return true;
  r->password = ArgumentFrom(line, 5);
  r->n.loggedin = CheckFtpLogin(g, index);
  if (r->n.loggedin != kTrue) co_return false;
  // A fresh login starts in active mode towards the client's port 20, at
  // the root, in ASCII type.
  r->peeraddress = g.CommandSock(index).PeerAddress();
  r->n.dataport = 20;
  r->n.pasvport = 0;
  r->n.passive = kFalse;
  r->n.binarytype = kFalse;
  r->ftpdir.clear();
  co_await SendReply(g, index, "230 " + r->username + " logged in, proceed");
  co_return true;
}

}  // namespace korvane
