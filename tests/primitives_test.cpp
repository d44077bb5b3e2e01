#include "core/primitives.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace korvane {
namespace {

using test::GatewayHarness;
using test::MessageOf;

TEST(NextToken, SplitsAtFirstDelimiterAndTrimsBothSides) {
  std::string s = "GET  /a  ";
  EXPECT_EQ(NextToken(s, " "), "GET");
  EXPECT_EQ(s, "/a");

  s = " lead rest";
  EXPECT_EQ(NextToken(s, " "), "");
  EXPECT_EQ(s, "lead rest");

  s = " no bar here ";
  EXPECT_EQ(NextToken(s, "|"), "no bar here");
  EXPECT_EQ(s, "");

  s = "\tkeeps tabs\t|x";
  EXPECT_EQ(NextToken(s, "|"), "\tkeeps tabs\t");

  s = "  trimmed only  ";
  EXPECT_EQ(NextToken(s, ""), "");
  EXPECT_EQ(s, "trimmed only");
}

TEST(ReplaceAll, ReplacesEveryOccurrenceWithoutRereplacing) {
  std::string s = "a&b&c";
  ReplaceAll(s, "&", "%26");
  EXPECT_EQ(s, "a%26b%26c");

  s = "aXa";
  ReplaceAll(s, "a", "aa");
  EXPECT_EQ(s, "aaXaa");

  // The marker character itself is taken along when the replacement
  // contains the search text.
  s = std::string("x\x1fy");
  ReplaceAll(s, "x", "xx");
  EXPECT_EQ(s, "xxxxy");

  // Every search restarts at the beginning: removals that form a new
  // occurrence are removed too.
  s = "aabb";
  ReplaceAll(s, "ab", "");
  EXPECT_EQ(s, "");

  s = "same";
  ReplaceAll(s, "", "x");
  EXPECT_EQ(s, "same");

  s = "CRLF\r\n&\r\nx";
  ReplaceAll(s, "&\r\n", "&");
  EXPECT_EQ(s, "CRLF\r\n&x");
}

TEST(BackupName, FirstFreeDigitThenOldest) {
  GatewayHarness h("", "");
  Gateway& g = h.g();
  EXPECT_EQ(BackupName(g, "C:\\data\\log"), "C:\\data\\log.__0");
  EXPECT_EQ(BackupName(g, "C:\\temp\\log\\x.log"), "C:\\temp\\log\\x.l_0");

  g.files.MakeDirs("C:\\b");
  for (int d = 0; d <= 9; ++d) g.files.WriteAll("C:\\b\\k.l_" + std::to_string(d), "x");
  EXPECT_EQ(BackupName(g, "C:\\b\\k.log"), "C:\\b\\k.l_0");  // equal times: lowest digit
  // Make _4 the oldest.
  std::string host = g.files.Host("C:\\b\\k.l_4");
  struct timespec old[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, host.c_str(), old, 0), 0);
  EXPECT_EQ(BackupName(g, "C:\\b\\k.log"), "C:\\b\\k.l_4");
  g.files.Remove("C:\\b\\k.l_7");
  EXPECT_EQ(BackupName(g, "C:\\b\\k.log"), "C:\\b\\k.l_7");
}

TEST(LogEvent, CutsPasswordsKeepsListsShortAndRotatesTheFile) {
  GatewayHarness h("", "");
  Gateway& g = h.g();
  g.List1.Clear();
  LogEvent(g, &g.List1, "  USER x pass=secret  ");
  ASSERT_EQ(g.List1.ListCount(), 1);
  EXPECT_EQ(MessageOf(g.List1.Lines()[0]), "USER x");
  std::string file;
  ASSERT_TRUE(g.files.ReadAll(g.LogPath, file));
  EXPECT_EQ(file.find("secret"), std::string::npos);
  EXPECT_EQ(file.substr(file.size() - 8), "USER x\r\n");
  // Lines carry the peer-address caption.
  g.lblPeerAddress.SetCaption("3:10.0.0.9");
  LogEvent(g, nullptr, "hello");
  ASSERT_TRUE(g.files.ReadAll(g.LogPath, file));
  EXPECT_NE(file.find(" 3:10.0.0.9 hello\r\n"), std::string::npos);

  // 101 lines stay; the next one empties the list first.
  g.List1.Clear();
  for (int i = 0; i < 101; ++i) LogEvent(g, &g.List1, "line " + std::to_string(i));
  EXPECT_EQ(g.List1.ListCount(), 101);
  EXPECT_EQ(g.List1.TopIndex(), 100);
  LogEvent(g, &g.List1, "one more");
  EXPECT_EQ(g.List1.ListCount(), 1);

  // Past 100,000 bytes the file moves to its first free backup name.
  g.files.WriteAll(g.LogPath, std::string(100001, 'x'));
  LogEvent(g, nullptr, "fresh");
  ASSERT_TRUE(g.files.ReadAll(g.LogPath, file));
  EXPECT_EQ(MessageOf(file.substr(0, file.size() - 2)), "fresh");
  EXPECT_EQ(g.files.Length("C:\\temp\\log\\korvane.l_0"), 100001);
}

}  // namespace
}  // namespace korvane
