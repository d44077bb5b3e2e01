#include "platform/file_handle.h"

#include <sys/stat.h>
#include <unistd.h>

namespace korvane {

bool FileHandle::PlainFileSize(int64_t& size) const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size = static_cast<int64_t>(st.st_size);
  return true;
}

void FileHandle::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace korvane
