#include "platform/line_appender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace korvane {

// The log holds what clients sent: readable by the owner and the group only.
constexpr mode_t kLogMode = 0640;

bool LineAppender::Open(std::string_view win_path) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
  struct stat st;
  if (fd_ >= 0 && win_path == win_path_) {
    if (::stat(host_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) {
      length_ = static_cast<int64_t>(st.st_size);
      return true;
    }
  }
  Close();
  if (host_.empty() || win_path != win_path_) {
    win_path_ = std::string(win_path);
    host_ = files_.Host(win_path_);
  }
  fd_ = ::open(host_.c_str(), kFlags, kLogMode);
  if (fd_ < 0 && (errno == ENOENT || errno == ENOTDIR)) {
    // A folder on the way was renamed or made again: map the name anew.
    host_ = files_.Host(win_path_);
    fd_ = ::open(host_.c_str(), kFlags, kLogMode);
  }
  if (fd_ < 0) return false;
  if (::fstat(fd_, &st) != 0) {
    Close();
    return false;
  }
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  length_ = static_cast<int64_t>(st.st_size);
  return true;
}

bool LineAppender::Write(std::string_view data) {
  if (fd_ < 0) return false;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
    length_ += n;
  }
  return true;
}

void LineAppender::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace korvane
