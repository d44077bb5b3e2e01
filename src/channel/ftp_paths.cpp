#include "channel/ftp_paths.h"

#include <sys/stat.h>

namespace korvane {
namespace {

int Attributes(bool is_dir, bool hidden, bool readonly) {
  return (is_dir ? kAttrDirectory : 0) | (hidden ? kAttrHidden : 0) | (readonly ? kAttrReadOnly : 0);
}

}  // namespace

int FtpAttributes(Files& files, const std::string& win_path) {
  std::string host = files.Host(win_path);
  struct stat st;
  if (::stat(host.c_str(), &st) != 0) return -1;
  std::string name = host.substr(host.rfind('/') + 1);
  return Attributes(S_ISDIR(st.st_mode), !name.empty() && name[0] == '.', (st.st_mode & S_IWUSR) == 0);
}

int FtpAttributes(const DirEntry& entry) { return Attributes(entry.is_dir, entry.hidden, entry.readonly); }

}  // namespace korvane
