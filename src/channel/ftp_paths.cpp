#include "channel/ftp_paths.h"

#include <sys/stat.h>

namespace korvane {
namespace {

int Attributes(bool is_dir, bool hidden, bool readonly) {
  return (is_dir ? kAttrDirectory : 0) | (hidden ? kAttrHidden : 0) | (readonly ? kAttrReadOnly : 0);
}

}  // namespace

int FtpAttributes(Files& files, const std::string& win_path) {
  FileInfo info;
  if (!files.Stat(win_path, info)) return -1;
  std::string name = info.host.substr(info.host.rfind('/') + 1);
  return Attributes(info.is_dir, !name.empty() && name[0] == '.', info.readonly);
}

int FtpAttributes(const DirEntry& entry) { return Attributes(entry.is_dir, entry.hidden, entry.readonly); }

}  // namespace korvane
