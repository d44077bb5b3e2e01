// An open file descriptor that closes itself when dropped, for the senders
// that keep a file open across waits (documents, FTP RETR): a coroutine
// ended while it waits must not leave the file open.
#pragma once
#include <cstdint>

namespace korvane {

class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { Close(); }

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // The size of a plain file; false for anything else (a folder, a FIFO).
  bool PlainFileSize(int64_t& size) const;
  void Close();

 private:
  int fd_;
};

}  // namespace korvane
