#include "core/primitives.h"

#include <gtest/gtest.h>

#include <regex>
#include <tuple>

#include "test_support.h"

namespace korvane {
namespace {

using test::GatewayHarness;
using test::MessageOf;

TEST(NextToken, SplitsAtTheFirstDelimiterAndTrimsBothSides) {
  for (auto [text, delimiter, token, rest] :
       {std::tuple{"GET  /a  ", " ", "GET", "/a"}, {" lead rest", " ", "", "lead rest"},
        {" no bar here ", "|", "no bar here", ""}, {"\tkeeps tabs\t|x", "|", "\tkeeps tabs\t", "x"},
        {"  trimmed only  ", "", "", "trimmed only"}}) {
    std::string s = text;
    EXPECT_EQ(NextToken(s, delimiter), token) << text;
    EXPECT_EQ(s, rest) << text;
  }
}

TEST(ReplaceAll, ReplacesEveryOccurrenceWithoutRereplacing) {
  for (auto [text, from, to, result] : {
           std::tuple{"a&b&c", "&", "%26", "a%26b%26c"},
           {"aXa", "a", "aa", "aaXaa"},
           // The marker character itself is taken along when the
           // replacement contains the search text.
           {"x\x1fy", "x", "xx", "xxxxy"},
           // Every search restarts at the beginning: removals that form a
           // new occurrence are removed too.
           {"aabb", "ab", "", ""},
           {"same", "", "x", "same"},
           {"CRLF\r\n&\r\nx", "&\r\n", "&", "CRLF\r\n&x"},
       }) {
    std::string s = text;
    ReplaceAll(s, from, to);
    EXPECT_EQ(s, result) << text;
  }
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
  // A line: short date, long time, the peer-address caption, the message.
  g.lblPeerAddress.SetCaption("3:10.0.0.9");
  LogEvent(g, nullptr, "hello");
  ASSERT_TRUE(g.files.ReadAll(g.LogPath, file));
  EXPECT_TRUE(std::regex_search(file, std::regex(R"(\r\n\d{1,2}/\d{1,2}/\d{4} \d{1,2}:\d\d:\d\d [AP]M 3:10\.0\.0\.9 hello\r\n$)")))
      << file.substr(file.size() - 60);

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
