#include "core/open_files.h"

#include "platform/files.h"

#include <unistd.h>

namespace korvane {

OpenFiles::~OpenFiles() {
  for (auto& [num, f] : files_) std::fclose(f.file);
}

int16_t OpenFiles::FreeFile() const {
  int16_t num = 1;
  while (files_.count(num)) ++num;
  return num;
}

bool OpenFiles::OpenForWriting(int16_t num, int fd) {
  if (fd < 0) return false;
  if (num <= 0 || files_.count(num)) {
    ::close(fd);
    return false;
  }
  Files::ForgetLooks();
  std::FILE* f = ::fdopen(fd, "wb");
  if (!f) {
    ::close(fd);
    return false;
  }
  files_[num] = Open{f, false};
  return true;
}

bool OpenFiles::Write(int16_t num, std::string_view data) {
  auto it = files_.find(num);
  if (it == files_.end()) return false;
  Files::ForgetLooks();
  if (std::fwrite(data.data(), 1, data.size(), it->second.file) == data.size()) return true;
  it->second.failed = true;
  return false;
}

int64_t OpenFiles::Position(int16_t num) const {
  auto it = files_.find(num);
  if (it == files_.end()) return 0;
  return static_cast<int64_t>(std::ftell(it->second.file)) + 1;
}

bool OpenFiles::Seek(int16_t num, int64_t position) {
  auto it = files_.find(num);
  if (it == files_.end() || position < 1) return false;
  return std::fseek(it->second.file, static_cast<long>(position - 1), SEEK_SET) == 0;
}

bool OpenFiles::Close(int16_t num) {
  auto it = files_.find(num);
  if (it == files_.end()) return false;
  Files::ForgetLooks();
  bool ok = std::fclose(it->second.file) == 0 && !it->second.failed;
  files_.erase(it);
  return ok;
}

}  // namespace korvane
