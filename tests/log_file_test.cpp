// Files the gateway keeps open between uses: the event log, and the folders
// every open starts from. Someone else may move, delete or make them again
// meanwhile; what is written and read must follow the name.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "core/log_writer.h"
#include "platform/files.h"
#include "test_support.h"

namespace korvane {
namespace {

constexpr const char* kLog = "C:\\temp\\log\\korvane.log";

// Waits (up to ten seconds) until the writer thread has put text in the file.
void WaitForFile(test::TempDir& dir, const std::string& name, const std::string& text) {
  for (int i = 0; i < 1000 && dir.Read(name) != text; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(dir.Read(name), text);
}

TEST(LogWriter, FollowsTheNameWhenTheLogIsMovedOrDeletedMeanwhile) {
  test::TempDir dir;
  dir.Write("drives/c/temp/log/korvane.log", "");
  Files files(dir.path(), dir.path() + "/drives");
  const std::string log = dir.path() + "/drives/c/temp/log/";
  LogWriter writer(files);
  writer.Start();
  writer.Append(kLog, "one\r\n");
  writer.Flush();
  WaitForFile(dir, "drives/c/temp/log/korvane.log", "one\r\n");
  ASSERT_EQ(::rename((log + "korvane.log").c_str(), (log + "moved.log").c_str()), 0);
  writer.Append(kLog, "two\r\n");
  writer.Flush();
  WaitForFile(dir, "drives/c/temp/log/korvane.log", "two\r\n");
  ASSERT_EQ(::unlink((log + "korvane.log").c_str()), 0);
  writer.Append(kLog, "three\r\n");
  writer.Stop();
  EXPECT_EQ(dir.Read("drives/c/temp/log/moved.log"), "one\r\n");
  EXPECT_EQ(dir.Read("drives/c/temp/log/korvane.log"), "three\r\n");
}

TEST(Files, OpensThroughADrivesRootAndHomeMadeAgain) {
  test::TempDir dir;
  const std::string home = dir.path() + "/home";
  dir.Write("home/drives/c/a.txt", "first");
  dir.Write("home/notes.txt", "first");
  Files files(home, home + "/drives");
  std::string data;
  ASSERT_TRUE(files.ReadAll("c:\\a.txt", data));
  ASSERT_TRUE(files.ReadAll("notes.txt", data));
  std::filesystem::remove_all(home);
  dir.Write("home/drives/c/a.txt", "second");
  dir.Write("home/notes.txt", "second");
  ASSERT_TRUE(files.ReadAll("c:\\a.txt", data));
  EXPECT_EQ(data, "second");
  ASSERT_TRUE(files.ReadAll("notes.txt", data));
  EXPECT_EQ(data, "second");
}

}  // namespace
}  // namespace korvane
