// Common routines: tokens, replacing, backup names, the event log and its
// writer thread; URL decoding, query fields, last-occurrence search, file
// helpers and the hit log.
#include "core/primitives.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <regex>
#include <thread>
#include <tuple>

#include "core/log_secrets.h"
#include "core/log_writer.h"
#include "core/url_utils.h"
#include "platform/clock.h"
#include "test_support.h"

namespace korvane::test {
namespace {

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

TEST(LogEvent, BackupNamesLinesAndLists) {
  GatewayHarness h("", "");
  Gateway& g = h.g();
  EXPECT_EQ(BackupName(g.files, "C:\\data\\log"), "C:\\data\\log.__0");
  EXPECT_EQ(BackupName(g.files, "C:\\temp\\log\\x.log"), "C:\\temp\\log\\x.l_0");

  g.files.MakeDirs("C:\\b");
  for (int d = 0; d <= 9; ++d) g.files.WriteAll("C:\\b\\k.l_" + std::to_string(d), "x");
  EXPECT_EQ(BackupName(g.files, "C:\\b\\k.log"), "C:\\b\\k.l_0");  // equal times: lowest digit
  // Make _4 the oldest.
  std::string host = g.files.Host("C:\\b\\k.l_4");
  struct timespec old[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, host.c_str(), old, 0), 0);
  EXPECT_EQ(BackupName(g.files, "C:\\b\\k.log"), "C:\\b\\k.l_4");
  g.files.Remove("C:\\b\\k.l_7");
  EXPECT_EQ(BackupName(g.files, "C:\\b\\k.log"), "C:\\b\\k.l_7");

  // LogEvent cuts passwords, and keeps lists short.
  g.List1.Clear();
  LogEvent(g, &g.List1, "  USER x pass=secret  ");
  ASSERT_EQ(g.List1.ListCount(), 1);
  EXPECT_EQ(MessageOf(g.List1.Lines()[0]), "USER x");
  std::string file;
  // A line: short date, long time, the peer-address caption, the message.
  g.lblPeerAddress.SetCaption("3:10.0.0.9");
  LogEvent(g, nullptr, "hello");
  ASSERT_TRUE(g.files.ReadAll(g.LogPath, file));
  EXPECT_TRUE(std::regex_search(file, std::regex(R"(\r\n\d{1,2}/\d{1,2}/\d{4} \d{1,2}:\d\d:\d\d [AP]M 3:10\.0\.0\.9 hello\r\n$)")))
      << file.substr(file.size() - 60);

  // 101 lines stay; the next one empties the list first.
  g.List1.Clear();
  for (int i = 0; i < 101; ++i) LogEvent(g, &g.List1, "line " + std::to_string(i));
  EXPECT_EQ(g.List1.TopIndex(), 100);
  LogEvent(g, &g.List1, "one more");
  EXPECT_EQ(g.List1.ListCount(), 1);
}

// Credentials are hidden wherever they sit in a line; other lines, and
// words that only look alike, pass as they are.
TEST(LogEvent, HidesCredentialsWhereverTheySit) {
  const std::pair<const char*, const char*> cases[] = {
      {"#2 unresolved: 30 proxy-authorization:Bearer abc", "#2 unresolved: 30 proxy-authorization:***"},
      {"#4 x Cookie: a\r\nAuthorization: b", "#4 x Cookie: ***\r\nAuthorization: ***"},
      {"#12 pass two words", "#12 pass ***"},
      {"#5 PASS", "#5 PASS"},
      {"#5 PASSIVE x", "#5 PASSIVE x"},
      {"#5 USER anonymous", "#5 USER anonymous"},
      {"#1 GET /cookie:monster HTTP/1.0", "#1 GET /cookie:monster HTTP/1.0"},
      {"#1 X-Authorization: y", "#1 X-Authorization: y"},
      {"#1 Referer: http://x/", "#1 Referer: http://x/"},
  };
  for (auto [in, out] : cases) {
    EXPECT_EQ(HideSecrets(in), out) << in;
    EXPECT_EQ(HasSecret(in), std::string(in) != out) << in;
  }
}

// Lines handed to the writer thread arrive in order, each whole, and the
// file is moved aside exactly when it has grown past 100,000 bytes, also
// twice within one batch and before the first line when someone else left
// it too long; Stop writes what was still pending.
TEST(LogWriter, WritesInOrderAndMovesTheFileAsideAtTheLimit) {
  for (auto [initial, count, batches] : {std::tuple{std::string(), 3000, true}, {std::string(100001, 'x'), 4000, false}}) {
    test::TempDir dir;
    dir.Write("drives/c/temp/log/korvane.log", initial);
    Files files(dir.path(), dir.path() + "/drives");
    std::vector<std::string> parts{initial};
    {
      LogWriter writer(files);
      writer.Start();
      for (int i = 0; i < count; ++i) {
        std::string line = "line " + std::to_string(i) + std::string(40 + i % 11, '.') + "\r\n";
        if (parts.back().size() > 100000) parts.emplace_back();
        parts.back() += line;
        writer.Append("C:\\temp\\log\\korvane.log", line);
        if (batches && i % 97 == 0) writer.Flush();       // the loop about to wait
        if (batches && i % 13 == 0) writer.Flush(false);  // a busy loop hands over full batches only
      }
      if (!batches) writer.Flush();
      writer.Stop();
    }
    ASSERT_EQ(parts.size(), batches ? 2u : 4u);
    for (size_t k = 0; k + 1 < parts.size(); ++k)
      EXPECT_EQ(dir.Read("drives/c/temp/log/korvane.l_" + std::to_string(k)), parts[k]) << k;
    EXPECT_EQ(dir.Read("drives/c/temp/log/korvane.log"), parts.back());
  }
}

// A burst of lines far beyond the usual batch is written whole, and the
// writer gives its grown buffer back once it has written it. (Measured by
// the sanitizer's count, as the tests are built; malloc's own figures
// leave out a block this large, which it maps on its own.)
TEST(LogWriter, GivesBackTheBufferOfABurst) {
  test::TempDir dir;
  dir.Write("drives/c/temp/log/korvane.log", "");
  Files files(dir.path(), dir.path() + "/drives");
  LogWriter writer(files);
  writer.Start();
  const long long before = HeapInUse();
  const std::string line(1000, 'x');
  for (int i = 0; i < 3000; ++i) writer.Append("C:\\temp\\log\\korvane.log", line, "\r\n");
  writer.Flush();
  bool given_back = false;
  for (int i = 0; i < 500 && !given_back; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    given_back = HeapInUse() - before < 512 * 1024;
  }
  EXPECT_TRUE(given_back) << HeapInUse() - before;
  writer.Stop();
  // 3 MB passed the log's limit many times; the file in use holds the last
  // whole lines.
  const std::string last = dir.Read("drives/c/temp/log/korvane.log");
  EXPECT_EQ(last.size() % 1002, 0u);
  EXPECT_GT(last.size(), 0u);
}

constexpr const char* kLog = "C:\\temp\\log\\korvane.log";

// Waits (up to ten seconds) until the writer thread has put text in the file.
void WaitForFile(test::TempDir& dir, const std::string& name, const std::string& text) {
  for (int i = 0; i < 1000 && dir.Read(name) != text; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(dir.Read(name), text);
}

// Someone else may move or delete the log meanwhile; what is written
// follows the name.
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

TEST(UrlDecode, DecodesOnceAndSplitsOffTheHttpTail) {
  struct Case {
    std::string in;
    bool last_http;
    std::string out;
  };
  const Case cases[] = {
      {"GET /x?a=1+2&b=%41%2b HTTP/1.0", false, "GET /x?&a=1 2&b=A+ &HTTP=/1.0"},
      {"a=%41", false, "a=A"},  // no "HTTP": no tail
      // lastHttp picks the last "HTTP"; the tail itself is never decoded.
      {"GET /HTTP?x=%41 HTTP/1.0%41", true, "GET /HTTP?&x=A &HTTP=/1.0%41"},
      {"GET /HTTP?x=%41 HTTP/1.0", false, "GET /&HTTP=?x=%41 HTTP/1.0"},
      {"a=1&\r\nb=2", false, "a=1&b=2"},  // line breaks after a separator vanish
      // Escapes are decoded once, and only when complete.
      {"%25", false, "%"},
      {"%2541", false, "%41"},
      {"ab%4", false, "ab%4"},
      {"ab%", false, "ab%"},
      {"%zz", false, "%zz"},
      {"%e9", false, "\xe9"},
      {"%4z%z4", false, "%4z%z4"},
      {"%%41", false, "%A"},
      // Code 1 is refused only with lastHttp.
      {"a%01b", true, "SECURITY VIOLATION"},
      {"a%01b HTTP/1.0", true, "SECURITY VIOLATION&HTTP=/1.0"},
      {"a%01b", false, "a\x01" "b"},
      {"x=1\r\n", true, "x=1"},
      {"x=1\r\n", false, "x=1\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(UrlDecode(c.in, c.last_http), c.out) << c.in << " " << c.last_http;
}

TEST(QueryValue, FindsWholeNamesAfterASeparator) {
  for (auto [query, name, value] : {std::tuple{"x=1&TOPIC= abc &y=2", "TOPIC", "abc"}, {"?TOPIC=abc", "TOPIC", ""},
                                    {"a=1&b", "b", ""}, {"a=1&aa=2", "aa", "2"}, {"aa=2&a=1", "a", "1"},
                                    {"a=1&a=2", "a", "1"}, {"a=1", "topic", ""}, {"a=", "a", ""}})
    EXPECT_EQ(QueryValue(query, name), value) << query << " " << name;
}

TEST(FindLast, GivesOneBasedPositionsOrZeroAndSplitsThere) {
  for (auto [text, part, at] :
       {std::tuple{"a/b/c", "/", 4}, {"a/b/c", "", 0}, {"a/b/c", "x", 0}, {"abcabc", "bc", 5}})
    EXPECT_EQ(FindLast(text, part), at) << text << " " << part;
  EXPECT_EQ(FindLastChar("C:\\x\\y.txt", "\\"), 5);
  EXPECT_EQ(FindLastChar("abc", ""), 0);
  for (auto [text, delimiter, head, rest] : {std::tuple{"C:\\x\\y.txt", "\\", "C:\\x", "y.txt"},
                                             {" a.b . c ", ".", "a.b", "c"}, {" plain ", ".", "plain", ""}}) {
    std::string t = text;
    EXPECT_EQ(NextTokenLast(t, delimiter), head) << text;
    EXPECT_EQ(t, rest) << text;
  }
}

TEST(TextFiles, RoundTripBytesFailQuietlyKeepTheSessionsNameAndCountHits) {
  GatewayHarness h;
  Gateway& g = h.g();
  std::string bytes("a\0b\r\n\xff", 6);
  EXPECT_TRUE(WriteTextFile(g.files, bytes, "C:\\temp\\t.bin"));
  EXPECT_EQ(ReadTextFile(g.files, "c:\\TEMP\\T.BIN"), bytes);
  EXPECT_EQ(ReadTextFile(g.files, "C:\\temp"), "");  // a folder
  EXPECT_FALSE(WriteTextFile(g.files, "x", "C:\\no\\such\\folder\\f.txt"));

  // A session keeps the first temporary name made for it.
  MakeTempFileName(g, 1);
  std::string first = g.Record(1)->tempfile;
  EXPECT_TRUE(g.files.IsFile(first)) << first;
  MakeTempFileName(g, 1);
  EXPECT_EQ(g.Record(1)->tempfile, first);

  // The hit log gets the hour's letter (this hour's, or a neighbour if the
  // hour turned while testing); a later letter than the current hour is
  // yesterday's, so a CR comes first.
  auto hour_letter = [](char c) { return std::abs(c - static_cast<char>('A' + std::llround(Timer()) / 3600)) <= 1; };
  h.home().Write("ddehitsz.log", "AZ");
  CountHit(g, "z");
  std::string log = h.home().Read("ddehitsz.log");
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log.substr(0, 3), "AZ\r");
  EXPECT_TRUE(hour_letter(log[3]));

  CountHit(g, "q");  // a new log, then a hit of the same hour: no CR
  CountHit(g, "q");
  log = h.home().Read("ddehitsq.log");
  EXPECT_EQ(log, std::string(2, log[0]));
}

}  // namespace
}  // namespace korvane::test
