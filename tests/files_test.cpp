#include "platform/files.h"

#include <gtest/gtest.h>

#include <regex>

#include "core/open_files.h"
#include "platform/event_pass.h"

#include "test_support.h"

namespace korvane {
namespace {

using test::TempDir;

TEST(Files, MapsDrivesAndFindsNamesWithoutCase) {
  TempDir dir;
  dir.Write("drives/c/Docs/Page.htm", "page");
  dir.Write("elsewhere/e.txt", "e");
  dir.Write("home.ini", "h");
  Files f(dir.path(), dir.path() + "/drives");
  f.MapDrive('E', dir.path() + "/elsewhere");
  EXPECT_EQ(f.Host("C:\\DOCS\\PAGE.HTM"), dir.path() + "/drives/c/Docs/Page.htm");
  EXPECT_EQ(f.Host("c:/docs/page.htm"), dir.path() + "/drives/c/Docs/Page.htm");
  EXPECT_EQ(f.Host("e:\\E.TXT"), dir.path() + "/elsewhere/e.txt");
  EXPECT_EQ(f.Host("HOME.INI"), dir.path() + "/home.ini");
  EXPECT_EQ(f.Host(".\\home.ini"), dir.path() + "/home.ini");
  // New components keep the case they are given.
  EXPECT_EQ(f.Host("c:\\docs\\New.TXT"), dir.path() + "/drives/c/Docs/New.TXT");
  std::string data;
  EXPECT_TRUE(f.ReadAll("C:\\docs\\page.HTM", data));
  EXPECT_EQ(data, "page");
  EXPECT_EQ(f.Length("c:\\docs\\page.htm"), 4);
  EXPECT_EQ(f.Length("c:\\docs\\none.htm"), -1);
}

// Where names differ only in case, the one as given wins, then the
// lower-case one; a folder name in another case is still found.
TEST(Files, PrefersTheGivenThenTheLowerCaseName) {
  TempDir dir;
  dir.Write("drives/c/Export/doc.txt", "lower");
  dir.Write("drives/c/Export/DOC.txt", "mixed");
  Files f(dir.path(), dir.path() + "/drives");
  EXPECT_EQ(f.Host("C:\\EXPORT\\DOC.txt"), dir.path() + "/drives/c/Export/DOC.txt");
  EXPECT_EQ(f.Host("C:\\Export\\DOC.TXT"), dir.path() + "/drives/c/Export/doc.txt");
  EXPECT_EQ(f.Host("C:\\EXPORT\\DOC.TXT"), dir.path() + "/drives/c/Export/doc.txt");
  FileInfo info;
  ASSERT_TRUE(f.Stat("c:\\export\\Doc.Txt", info));
  EXPECT_EQ(info.host, dir.path() + "/drives/c/Export/doc.txt");
  EXPECT_TRUE(info.is_file);
  EXPECT_EQ(info.size, 5);
  EXPECT_FALSE(f.Stat("c:\\export\\none.txt", info));
  EXPECT_EQ(info.host, dir.path() + "/drives/c/Export/none.txt");
}

// The gateway's own temporary files are removed by the name they were made
// under; a missing one is not searched for in another case.
TEST(Files, RemovesMadeFilesByTheirExactName) {
  TempDir dir;
  dir.Write("drives/c/temp/~dd1A.tmp", "t");
  dir.Write("drives/c/temp/~DD2B.TMP", "u");
  Files f(dir.path(), dir.path() + "/drives");
  EXPECT_TRUE(f.RemoveMade("C:\\temp\\~dd1A.tmp"));
  EXPECT_FALSE(dir.Exists("drives/c/temp/~dd1A.tmp"));
  EXPECT_FALSE(f.RemoveMade("C:\\temp\\~dd1A.tmp"));
  EXPECT_FALSE(f.RemoveMade("C:\\temp\\~dd2b.tmp"));
  EXPECT_TRUE(dir.Exists("drives/c/temp/~DD2B.TMP"));
  // A folder named in another case is still found.
  EXPECT_TRUE(f.RemoveMade("C:\\TEMP\\~DD2B.TMP"));
  EXPECT_FALSE(dir.Exists("drives/c/temp/~DD2B.TMP"));
}

// A file written or copied over a longer one holds exactly the new bytes,
// and a copy onto itself keeps them.
TEST(Files, ReplacesContentExactly) {
  TempDir dir;
  dir.Write("drives/c/temp/long.txt", std::string(5000, 'x'));
  dir.Write("drives/c/temp/short.txt", "abc");
  Files f(dir.path(), dir.path() + "/drives");
  std::string data;
  ASSERT_TRUE(f.WriteAll("c:\\temp\\long.txt", "new"));
  ASSERT_TRUE(f.ReadAll("c:\\temp\\long.txt", data));
  EXPECT_EQ(data, "new");
  ASSERT_TRUE(f.WriteAll("c:\\temp\\long.txt", ""));
  EXPECT_EQ(f.Length("c:\\temp\\long.txt"), 0);
  dir.Write("drives/c/temp/long.txt", std::string(5000, 'y'));
  ASSERT_TRUE(f.Copy("c:\\temp\\short.txt", "c:\\temp\\long.txt"));
  ASSERT_TRUE(f.ReadAll("c:\\temp\\long.txt", data));
  EXPECT_EQ(data, "abc");
  ASSERT_TRUE(f.Copy("c:\\temp\\short.txt", "c:\\temp\\short.txt"));
  ASSERT_TRUE(f.ReadAll("c:\\temp\\short.txt", data));
  EXPECT_EQ(data, "abc");
  ASSERT_TRUE(f.WriteAll("c:\\temp\\fresh.txt", "made"));
  ASSERT_TRUE(f.ReadAll("c:\\temp\\fresh.txt", data));
  EXPECT_EQ(data, "made");
}

// Within one pass of the loop a look is reused, but never past a change
// the gateway makes itself, by this class or through its open files; an
// outside change is seen from the next pass.
TEST(Files, KeepsLooksForOnePassOnlyUntilTheGatewayWrites) {
  TempDir dir;
  dir.Write("drives/c/a.txt", "12");
  Files f(dir.path(), dir.path() + "/drives");
  OpenFiles open;
  asio::io_context io;
  std::vector<int64_t> seen;
  asio::post(io, [&] {
    seen.push_back(f.Length("C:\\A.TXT"));
    dir.Write("drives/c/a.txt", "1234");          // outside the gateway
    seen.push_back(f.Length("c:\\a.txt"));
    EXPECT_TRUE(f.WriteAll("c:\\a.txt", "abc"));
    seen.push_back(f.Length("c:\\a.txt"));
    ASSERT_TRUE(open.OpenForWriting(1, f.Host("c:\\a.txt")));
    seen.push_back(f.Length("c:\\a.txt"));
    open.Write(1, "12345");
    open.Close(1);
    seen.push_back(f.Length("c:\\a.txt"));
    dir.Write("drives/c/a.txt", "1234567");
    asio::post(io, [&] { seen.push_back(f.Length("c:\\a.txt")); });
  });
  RunCountingPasses(io);
  EXPECT_EQ(seen, (std::vector<int64_t>{2, 2, 3, 0, 5, 7}));
}

TEST(Files, DotDotNeverClimbsAboveADriveRoot) {
  TempDir dir;
  Files f(dir.path(), dir.path() + "/drives");
  const std::string root = dir.path() + "/drives/c";
  for (const char* hostile : {"c:\\..\\..\\etc\\passwd", "c:/../../etc/passwd", "C:\\a\\..\\..\\..\\etc\\passwd",
                              "\\..\\..\\etc\\passwd", "c:\\export\\..\\..\\..\\..\\etc\\passwd"}) {
    std::string host = f.Host(hostile);
    EXPECT_EQ(host.rfind(root + "/", 0), 0u) << hostile << " -> " << host;
  }
  EXPECT_EQ(f.Host("..\\..\\x"), dir.path() + "/x");
  EXPECT_EQ(f.Host("c:\\a\\..\\b"), root + "/b");
}

TEST(Files, TempNamesAreNewEmptyFilesWithThePrefix) {
  TempDir dir;
  Files f(dir.path(), dir.path() + "/drives");
  ASSERT_TRUE(f.MakeDirs("C:\\temp"));
  std::string a = f.TempName("C:\\temp", "~dde");
  std::string b = f.TempName("C:\\temp\\", "~dde");
  EXPECT_TRUE(std::regex_match(a, std::regex(R"(C:\\temp\\~dd[0-9A-F]{1,4}\.tmp)"))) << a;
  EXPECT_NE(a, b);
  EXPECT_EQ(f.Length(a), 0);
  EXPECT_EQ(f.TempName("C:\\no such folder", "~dde"), "");
}

TEST(Files, ListsEntriesWithTheirKinds) {
  TempDir dir;
  dir.Write("drives/c/x/a.txt", "abc");
  dir.Write("drives/c/x/Sub/b.txt", "");
  dir.Write("drives/c/x/.hidden", "");
  Files f(dir.path(), dir.path() + "/drives");
  auto entries = f.List("c:\\X");
  ASSERT_EQ(entries.size(), 3u);
  int dirs = 0, hidden = 0;
  for (const auto& e : entries) {
    dirs += e.is_dir;
    hidden += e.hidden;
    if (e.name == "a.txt") {
      EXPECT_EQ(e.size, 3);
    }
  }
  EXPECT_EQ(dirs, 1);
  EXPECT_EQ(hidden, 1);
}

}  // namespace
}  // namespace korvane
