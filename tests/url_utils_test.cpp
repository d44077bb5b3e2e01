// URL decoding, query fields, last-occurrence search, file helpers and the
// hit log.
#include "web/url_utils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "platform/clock.h"
#include "test_support.h"

namespace korvane {
namespace {

using test::GatewayHarness;

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
  EXPECT_EQ(FindLast("a/b/c", "/"), 4);
  EXPECT_EQ(FindLast("a/b/c", ""), 0);
  EXPECT_EQ(FindLast("a/b/c", "x"), 0);
  EXPECT_EQ(FindLast("abcabc", "bc"), 5);
  EXPECT_EQ(FindLastChar("C:\\x\\y.txt", "\\"), 5);
  EXPECT_EQ(FindLastChar("abc", ""), 0);
  EXPECT_EQ(FindLastChar("abc", "."), 0);
  for (auto [text, delimiter, head, rest] : {std::tuple{"C:\\x\\y.txt", "\\", "C:\\x", "y.txt"},
                                             {" a.b . c ", ".", "a.b", "c"}, {" plain ", ".", "plain", ""}}) {
    std::string t = text;
    EXPECT_EQ(NextTokenLast(t, delimiter), head) << text;
    EXPECT_EQ(t, rest) << text;
  }
}

TEST(TextFiles, RoundTripBytesFailQuietlyAndKeepTheSessionsName) {
  GatewayHarness h;
  Gateway& g = h.g();
  std::string bytes("a\0b\r\n\xff", 6);
  EXPECT_TRUE(WriteTextFile(g, bytes, "C:\\temp\\t.bin"));
  EXPECT_EQ(ReadTextFile(g, "c:\\TEMP\\T.BIN"), bytes);
  EXPECT_TRUE(WriteTextFile(g, "x", "C:\\temp\\t.bin"));  // truncated, not appended
  EXPECT_EQ(ReadTextFile(g, "C:\\temp\\t.bin"), "x");
  EXPECT_EQ(ReadTextFile(g, "C:\\temp\\missing.txt"), "");
  EXPECT_EQ(ReadTextFile(g, "C:\\temp"), "");  // a folder
  EXPECT_FALSE(WriteTextFile(g, "x", "C:\\no\\such\\folder\\f.txt"));

  // A session keeps the first temporary name made for it.
  MakeTempFileName(g, 1);
  std::string first = g.Record(1)->tempfile;
  EXPECT_EQ(first.rfind("C:\\temp\\~dd", 0), 0u) << first;
  EXPECT_TRUE(g.files.IsFile(first));
  MakeTempFileName(g, 1);
  EXPECT_EQ(g.Record(1)->tempfile, first);
}

// The hour letter now, or the next one if the hour turned while testing.
bool IsHourLetter(char c) {
  char before = static_cast<char>('A' + std::llround(Timer()) / 3600);
  return c == before || c == before + 1 || c == before - 1;
}

TEST(CountHit, AppendsHourLettersAndMarksANewDay) {
  GatewayHarness h("", "");
  Gateway& g = h.g();
  CountHit(g, "q");
  CountHit(g, "q");
  std::string log = h.home().Read("ddehitsq.log");
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(IsHourLetter(log[0]));
  EXPECT_EQ(log[1], log[0]);

  // A later letter than the current hour is yesterday's: a CR comes first.
  h.home().Write("ddehitsz.log", "AZ");
  CountHit(g, "z");
  log = h.home().Read("ddehitsz.log");
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log.substr(0, 3), "AZ\r");
  EXPECT_TRUE(IsHourLetter(log[3]));

  h.home().Write("ddehitsa.log", "@");
  CountHit(g, "a");
  EXPECT_EQ(h.home().Read("ddehitsa.log").size(), 2u);  // no CR
}

}  // namespace
}  // namespace korvane
