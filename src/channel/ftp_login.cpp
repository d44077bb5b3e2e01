// USER and PASS. Without accounts any name and password log in, and the
// name is kept for the replies and the log. With an [FtpUsers] section the
// name must be listed and the password must match its crypt(3) hash.
#include <strings.h>

#include <algorithm>
#include <cctype>

#include "channel/ftp_commands.h"
#include "channel/ftp_verbs.h"
#include "core/crypt_hash.h"
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

namespace {

// The hash listed for name, or nullptr.
const std::string* HashOf(const Gateway& g, const std::string& name) {
  for (const auto& [listed, hash] : g.FtpUsers)
    if (strcasecmp(listed.c_str(), name.c_str()) == 0) return &hash;
  return nullptr;
}

// The wait before a refused login is answered: 1, 2, 4, then 8 seconds for
// each further refusal of the session. Other sessions go on meanwhile; this
// session's next lines wait their turn.
float RefusalDelay(int failures) { return static_cast<float>(1 << std::clamp(failures - 1, 0, 3)); }

// A refused login under accounts: after the delay "530 Not logged in", the
// same reply for an unknown name as for a wrong password, and the session
// stays to try again from USER.
asio::awaitable<void> RefuseLogin(Gateway& g, int index) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  const SessionRef session = g.Ref(index);
  r->username.clear();
  r->password.clear();
  r->n.loggedin = kFalse;
  r->n.loginfailures = static_cast<int16_t>(std::min(r->n.loginfailures + 1, 100));
  co_await Pause(g, RefusalDelay(r->n.loginfailures));
  if (!g.Holds(session)) co_return;
  co_await SendReply(g, index, "530 Not logged in");
}

}  // namespace

int16_t CheckFtpLogin(Gateway& g, int index) {
  SessionRecord* r = g.Record(index);
  if (g.FtpUsers.empty()) return kTrue;
  if (!r) return kFalse;
  // An unknown name costs a hash as well, so the time taken does not tell
  // whether the name is listed. Hashing runs on the gateway's thread: some
  // 50-150 ms for a yescrypt hash at its default cost, a few ms for SHA-512.
  const std::string* hash = HashOf(g, r->username);
  bool match = CryptMatches(r->password, hash ? *hash : g.FtpUsers.front().second);
  return hash && match ? kTrue : kFalse;
}

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
  if (r->n.loggedin != kTrue && !g.FtpUsers.empty()) {
    co_await RefuseLogin(g, index);
    co_return true;
  }
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
