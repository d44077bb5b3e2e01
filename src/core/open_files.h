// Numbered open files, as the gateway keeps a session's upload file open
// across lines by its number (a record's filenum). Positions are 1-based:
// the first byte of a file is position 1.
#pragma once
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>

namespace korvane {

class OpenFiles {
 public:
  ~OpenFiles();
  int16_t FreeFile() const;  // the lowest number not in use
  // Takes an open descriptor (from Files::Open) as file num.
  bool OpenForWriting(int16_t num, int fd);
  bool IsOpen(int16_t num) const { return files_.count(num) != 0; }
  bool Write(int16_t num, std::string_view data);
  int64_t Position(int16_t num) const;  // where the next byte goes; 0 when not open
  bool Seek(int16_t num, int64_t position);
  // False when a write to the file failed or its last bytes could not be
  // written out (a full disk): what it holds is then not what was sent.
  bool Close(int16_t num);
  size_t OpenCount() const { return files_.size(); }

 private:
  struct Open {
    std::FILE* file;
    bool failed;
  };
  std::map<int16_t, Open> files_;
};

}  // namespace korvane
