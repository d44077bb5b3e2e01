#include "core/open_files.h"

#include "platform/files.h"

namespace korvane {

OpenFiles::~OpenFiles() {
  for (auto& [num, f] : files_) std::fclose(f);
}

int16_t OpenFiles::FreeFile() const {
  int16_t num = 1;
  while (files_.count(num)) ++num;
  return num;
}

bool OpenFiles::OpenForWriting(int16_t num, const std::string& host_path) {
  if (num <= 0 || files_.count(num)) return false;
  Files::ForgetLooks();
  std::FILE* f = std::fopen(host_path.c_str(), "wb");
  if (!f) return false;
  files_[num] = f;
  return true;
}

bool OpenFiles::Write(int16_t num, std::string_view data) {
  auto it = files_.find(num);
  if (it == files_.end()) return false;
  Files::ForgetLooks();
  return std::fwrite(data.data(), 1, data.size(), it->second) == data.size();
}

int64_t OpenFiles::Position(int16_t num) const {
  auto it = files_.find(num);
  if (it == files_.end()) return 0;
  return static_cast<int64_t>(std::ftell(it->second)) + 1;
}

bool OpenFiles::Seek(int16_t num, int64_t position) {
  auto it = files_.find(num);
  if (it == files_.end() || position < 1) return false;
  return std::fseek(it->second, static_cast<long>(position - 1), SEEK_SET) == 0;
}

void OpenFiles::Close(int16_t num) {
  auto it = files_.find(num);
  if (it == files_.end()) return;
  Files::ForgetLooks();
  std::fclose(it->second);
  files_.erase(it);
}

}  // namespace korvane
