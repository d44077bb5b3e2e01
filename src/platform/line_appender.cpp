#include "platform/line_appender.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace korvane {

// The log holds what clients sent: readable by the owner and the group only.
constexpr mode_t kLogMode = 0640;

bool LineAppender::Open(std::string_view win_path) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
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
  return fd_ >= 0;
}

// Seeking to the end tells the length with less work than fstat (about a
// tenth of a log line's cost); appends go to the end whatever the offset.
int64_t LineAppender::Length() const {
  if (fd_ < 0) return 0;
  off_t end = ::lseek(fd_, 0, SEEK_END);
  return end < 0 ? 0 : static_cast<int64_t>(end);
}

bool LineAppender::Write(std::string_view data) {
  if (fd_ < 0) return false;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void LineAppender::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace korvane
