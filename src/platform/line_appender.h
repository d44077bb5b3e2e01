// Appends text to a file that is opened and closed around every append, so
// that other programs may read, move or delete it at any moment, with as
// few system calls as that allows: the host path is mapped once per name
// (and again when the folder is gone), and the length comes from the open
// file rather than a second look-up by name.
#pragma once
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

  // Opens the file for appending, creating it. False when it cannot be.
  bool Open(std::string_view win_path);
  // The open file's length in bytes (0 when not open).
  int64_t Length() const;
  // Appends to the open file; false when not all was written.
  bool Write(std::string_view data);
  void Close();

 private:
  const Files& files_;
  std::string win_path_;
  std::string host_;
  int fd_ = -1;
};

}  // namespace korvane
