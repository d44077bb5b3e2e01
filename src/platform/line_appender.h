// Appends text to a file that other programs may read, move or delete at
// any moment, with as few system calls as that allows. The file stays open
// between appends to the same name; each Open looks the name up once and
// opens it anew only when the name no longer leads to the open file (moved
// aside, deleted, replaced). The host path is mapped once per name (and
// again when the folder is gone), and the length comes from that one look.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace korvane {

class LineAppender {
 public:
  explicit LineAppender(const Files& files) : files_(files) {}
  ~LineAppender() { Close(); }
  LineAppender(const LineAppender&) = delete;
  LineAppender& operator=(const LineAppender&) = delete;

  // Makes sure the file is open for appending, creating it: the file kept
  // open from the last call when the name still leads to it. False when it
  // cannot be opened.
  bool Open(std::string_view win_path);
  // The file's length in bytes when Open returned, plus what was written
  // since (0 when not open). Another writer's appends in between show at
  // the next Open.
  int64_t Length() const { return fd_ < 0 ? 0 : length_; }
  // Appends to the open file; false when not all was written.
  bool Write(std::string_view data);
  void Close();

 private:
  const Files& files_;
  std::string win_path_;
  std::string host_;
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  int64_t length_ = 0;
};

}  // namespace korvane
