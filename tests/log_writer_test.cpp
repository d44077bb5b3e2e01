#include "core/log_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace korvane {
namespace {

using test::TempDir;

// Lines handed to the writer thread arrive in order, each whole, and the
// file is moved aside exactly when it has grown past 100,000 bytes; Stop
// writes what was still pending.
TEST(LogWriter, WritesInOrderAndMovesTheFileAsideAtTheLimit) {
  TempDir dir;
  dir.Write("drives/c/temp/log/.keep", "");
  Files files(dir.path(), dir.path() + "/drives");
  const std::string path = "C:\\temp\\log\\korvane.log";
  std::string all;
  size_t first_file = 0;  // where the file stood when it passed the limit
  {
    LogWriter writer(files);
    writer.Start();
    for (int i = 0; i < 3000; ++i) {
      std::string line = "line " + std::to_string(i) + std::string(50 + i % 7, '.') + "\r\n";
      if (first_file == 0 && all.size() > 100000) first_file = all.size();
      all += line;
      writer.Append(path, line);
      if (i % 97 == 0) writer.Flush();        // the loop about to wait
      if (i % 13 == 0) writer.Flush(false);   // a busy loop hands over full batches only
    }
    writer.Stop();
  }
  const std::string backup = dir.Read("drives/c/temp/log/korvane.l_0");
  EXPECT_EQ(backup.size(), first_file);
  EXPECT_EQ(backup + dir.Read("drives/c/temp/log/korvane.log"), all);
}

// One batch that carries the file past the limit twice moves it aside at
// both line boundaries, and a file found already too long (written by
// someone else) is moved aside before the batch's first line.
TEST(LogWriter, MovesTheFileAsideWithinOneBatch) {
  TempDir dir;
  dir.Write("drives/c/temp/log/korvane.log", std::string(100001, 'x'));
  Files files(dir.path(), dir.path() + "/drives");
  const std::string path = "C:\\temp\\log\\korvane.log";
  std::vector<std::string> parts(1);
  {
    LogWriter writer(files);
    writer.Start();
    for (int i = 0; i < 4000; ++i) {
      std::string line = "entry " + std::to_string(i) + std::string(40 + i % 11, '-') + "\r\n";
      if (parts.back().size() > 100000) parts.emplace_back();
      parts.back() += line;
      writer.Append(path, line);
    }
    writer.Flush();
    writer.Stop();
  }
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(dir.Read("drives/c/temp/log/korvane.l_0"), std::string(100001, 'x'));
  EXPECT_EQ(dir.Read("drives/c/temp/log/korvane.l_1"), parts[0]);
  EXPECT_EQ(dir.Read("drives/c/temp/log/korvane.l_2"), parts[1]);
  EXPECT_EQ(dir.Read("drives/c/temp/log/korvane.log"), parts[2]);
}

}  // namespace
}  // namespace korvane
