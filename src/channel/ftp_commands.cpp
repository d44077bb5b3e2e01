// The FTP command interpreter's dispatcher: the order of the login checks
// and the table of verbs. Verbs are compared exactly, so "user" is no verb.
#include "channel/ftp_commands.h"

#include "channel/ftp_transfers.h"
#include "channel/ftp_verbs.h"
#include "core/primitives.h"
#include "core/sessions.h"

namespace korvane {
namespace {

std::string VerbOf(const std::string& line) { return line.substr(0, line.find(' ')); }

// Today's clients write paths with "/" (lftp names folders from the root:
// "CWD /Docs/Inner"); under ModernClients "/" means what "\" does in the
// arguments of CWD, RETR and STOR. Their checks see the result.
std::string WithBackslashes(const std::string& verb, std::string line) {
  if (verb != "CWD" && verb != "RETR" && verb != "STOR") return line;
  for (char& c : line)
    if (c == '/') c = '\\';
  return line;
}

// "CWD /": the root, which the dialect's "CWD \" only is when already there.
asio::awaitable<void> CwdToRoot(Gateway& g, int index) {
  if (SessionRecord* r = g.Record(index)) r->ftpdir.clear();
  co_await FtpCwd(g, index, "CWD .");
}

// A logged-in session's command.
asio::awaitable<void> Dispatch(Gateway& g, int index, const std::string& verb, std::string line) {
  const bool modern = g.ModernClients;
  if (modern) line = WithBackslashes(verb, std::move(line));
  if (verb == "PORT") {
    co_await FtpPort(g, index, line);
  } else if (verb == "PASV") {
    co_await FtpPasv(g, index);
  } else if (verb == "CWD" && modern && ArgumentFrom(line, 5) == "\\") {
    co_await CwdToRoot(g, index);
  } else if (verb == "CWD") {
    co_await FtpCwd(g, index, line);
  } else if (verb == "PWD") {
    co_await FtpPwd(g, index);
  } else if (verb == "HELP") {
    co_await SendReply(g, index, "214 Marlbeck FTP server mimic");
  } else if (verb == "CDUP" && modern) {
    co_await FtpCwd(g, index, "CWD ..");  // what ftplib and others send for ".."
  } else if (verb == "NLST" || verb == "LIST") {
    co_await ListDirectory(g, index, verb == "LIST" && modern);
  } else if (verb == "QUIT") {
    co_await SendReply(g, index, "221 Service closing control connection");
    co_await EndSession(g, index, "process_FTP_request2");
  } else if (verb == "TYPE") {
    co_await FtpType(g, index, line);
  } else if (verb == "RETR") {
    co_await RetrieveFile(g, index, ArgumentFrom(line, 6));
  } else if (verb == "STOR") {
    co_await StoreFile(g, index, ArgumentFrom(line, 6));
  } else if (verb == "SYST") {
    co_await NotUnderstood(g, index, line);
  } else {
    co_await SendReply(g, index, "502 Command not implemented: " + line);
  }
}

}  // namespace

asio::awaitable<void> NotUnderstood(Gateway& g, int index, const std::string& line) {
  co_await SendReply(g, index, "500 Command not understood: " + line);
}

asio::awaitable<void> FtpType(Gateway& g, int index, const std::string& line) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  // The type only changes the reply: transfers are byte-exact either way.
  switch (LetterAt(line, 6)) {
    case 'I':
      r->n.binarytype = kTrue;
      co_await SendReply(g, index, "200 Type set to BINARY");
      break;
    case 'A':
      r->n.binarytype = kFalse;
      co_await SendReply(g, index, "200 Type set to ASCII");
      break;
    default: co_await NotUnderstood(g, index, line); break;
  }
}

asio::awaitable<void> process_FTP_request(Gateway& g, int index, std::string line) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  g.FTPExportDir = NormalisedFtpRoot(g.FTPExportDir, g.AppPath);
  const std::string verb = VerbOf(line);
  if (verb == "USER") {
    co_await FtpUser(g, index, line);
  } else if (r->username.empty()) {
    co_await SendReply(g, index, "530 Not logged in");
  } else if (verb == "PASS" && co_await FtpPass(g, index, line)) {
    // logged in
  } else if (SessionRecord* now = g.Record(index); now && now->n.loggedin != kTrue) {
    // USER without PASS (or a refused PASS): hang up.
    now->username.clear();
    co_await SendReply(g, index, "530 Not logged in");
    co_await EndSession(g, index, "process_FTP_request");
  } else {
    co_await Dispatch(g, index, verb, line);
  }
}

}  // namespace korvane
