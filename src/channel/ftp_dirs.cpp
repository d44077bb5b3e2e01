// The FTP root, CWD and PWD. The current directory (ftpdir) is kept
// relative to the root: empty at the root, else "\sub\dir".
#include "channel/ftp_paths.h"
#include "channel/ftp_verbs.h"
#include "core/primitives.h"

namespace korvane {
namespace {

const char kQuote = '"';

// The full path CWD's argument d names, from the root and the current
// directory. d is neither empty nor changed by the caller.
std::string CwdTarget(const std::string& root, const std::string& ftpdir, std::string d) {
  if (d == ".") return root + ftpdir;
  if (d == "..") {
    std::string full = root + ftpdir;
    size_t cut = full.rfind('\\');
    if (cut != std::string::npos) full.resize(cut);
    return full.size() < root.size() ? root : full;
  }
  if (!d.empty() && d.back() == '\\') d.pop_back();
  if (!d.empty() && d.front() == '\\') return root + d;
  return root + ftpdir + "\\" + d;
}

std::string Shown(const std::string& dir) { return dir.empty() ? "\\" : dir; }

// A ".." step anywhere but as the whole argument could climb above the
// root ("\..", "x\..\.."): such a directory is not valid.
bool ClimbsUp(const std::string& d) {
  if (d == "..") return false;
  for (const std::string& part : SplitWinPath(d))
    if (part == "..") return true;
  return false;
}

}  // namespace

std::string NormalisedFtpRoot(const std::string& export_dir, const std::string& app_path) {
  std::string root = Trim(export_dir);
  if (root.empty()) root = app_path;
  if (!root.empty() && root.back() == '\\') root.pop_back();
  return root;
}

asio::awaitable<void> FtpCwd(Gateway& g, int index, const std::string& line) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  std::string d = ArgumentFrom(line, 5);
  if (d.empty()) {
    co_await NotUnderstood(g, index, line);
    co_return;
  }
  const std::string& root = g.FTPExportDir;
  std::string full = CwdTarget(root, r->ftpdir, d);
  int attr = ClimbsUp(d) ? -1 : FtpAttributes(g.files, full);
  if (attr == -1 && !ClimbsUp(d)) attr = FtpAttributes(g.files, "\\" + full);
  std::string rel = full.size() > root.size() ? full.substr(root.size()) : "";
  if (!IsPlainDirectory(attr)) {
    co_await SendReply(g, index, "550 " + rel + " is not a valid directory");
    co_return;
  }
  if (rel == "\\") rel.clear();
  r->ftpdir = rel;
  co_await SendReply(g, index, "250 " + (kQuote + Shown(rel) + kQuote) + " is current directory");
}

asio::awaitable<void> FtpPwd(Gateway& g, int index) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  co_await SendReply(g, index, "257 " + (kQuote + Shown(r->ftpdir) + kQuote) + " is current directory");
}

}  // namespace korvane
