// URL decoding, query fields, last-occurrence search, file helpers and the
// hit log.
#include "web/url_utils.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/clock.h"
#include "test_support.h"

namespace korvane {
namespace {

using test::GatewayHarness;

TEST(UrlDecode, SplitsOffTheHttpTailAndDecodesTheRest) {
  EXPECT_EQ(UrlDecode("GET /x?a=1+2&b=%41%2b HTTP/1.0", false), "GET /x?&a=1 2&b=A+ &HTTP=/1.0");
  EXPECT_EQ(UrlDecode("a=%41", false), "a=A");  // no "HTTP": no tail
  // lastHttp picks the last "HTTP"; the tail itself is never decoded.
  EXPECT_EQ(UrlDecode("GET /HTTP?x=%41 HTTP/1.0%41", true), "GET /HTTP?&x=A &HTTP=/1.0%41");
  EXPECT_EQ(UrlDecode("GET /HTTP?x=%41 HTTP/1.0", false), "GET /&HTTP=?x=%41 HTTP/1.0");
}

TEST(UrlDecode, LineBreaksAfterAFieldSeparatorVanish) {
  EXPECT_EQ(UrlDecode("a=1&\r\nb=2", false), "a=1&b=2");
}

TEST(UrlDecode, PercentEscapesAreDecodedOnceAndOnlyWhenComplete) {
  EXPECT_EQ(UrlDecode("%25", false), "%");
  EXPECT_EQ(UrlDecode("%2541", false), "%41");
  EXPECT_EQ(UrlDecode("ab%4", false), "ab%4");
  EXPECT_EQ(UrlDecode("ab%", false), "ab%");
  EXPECT_EQ(UrlDecode("%zz", false), "%zz");
  EXPECT_EQ(UrlDecode("%e9", false), std::string(1, static_cast<char>(233)));
  // One valid digit of two: left as sent.
  EXPECT_EQ(UrlDecode("%4z%z4", false), "%4z%z4");
  EXPECT_EQ(UrlDecode("%%41", false), "%A");
}

TEST(UrlDecode, CodeOneIsRefusedOnlyWithLastHttp) {
  EXPECT_EQ(UrlDecode("a%01b", true), "SECURITY VIOLATION");
  EXPECT_EQ(UrlDecode("a%01b HTTP/1.0", true), "SECURITY VIOLATION&HTTP=/1.0");
  EXPECT_EQ(UrlDecode("a%01b", false), std::string("a\x01" "b"));
  EXPECT_EQ(UrlDecode("x=1\r\n", true), "x=1");
  EXPECT_EQ(UrlDecode("x=1\r\n", false), "x=1\r\n");
}

TEST(QueryValue, FindsWholeNamesAfterASeparator) {
  EXPECT_EQ(QueryValue("x=1&TOPIC= abc &y=2", "TOPIC"), "abc");
  EXPECT_EQ(QueryValue("?TOPIC=abc", "TOPIC"), "");
  EXPECT_EQ(QueryValue("a=1&b", "b"), "");
  EXPECT_EQ(QueryValue("a=1&aa=2", "aa"), "2");
  EXPECT_EQ(QueryValue("aa=2&a=1", "a"), "1");
  EXPECT_EQ(QueryValue("a=1&a=2", "a"), "1");
  EXPECT_EQ(QueryValue("a=1", "topic"), "");  // names are exact case
  EXPECT_EQ(QueryValue("a=", "a"), "");
}

TEST(FindLast, GivesOneBasedPositionsOrZero) {
  EXPECT_EQ(FindLast("a/b/c", "/"), 4);
  EXPECT_EQ(FindLast("a/b/c", ""), 0);
  EXPECT_EQ(FindLast("a/b/c", "x"), 0);
  EXPECT_EQ(FindLast("abcabc", "bc"), 5);
  EXPECT_EQ(FindLastChar("C:\\x\\y.txt", "\\"), 5);
  EXPECT_EQ(FindLastChar("abc", ""), 0);
  EXPECT_EQ(FindLastChar("abc", "."), 0);
}

TEST(NextTokenLast, SplitsAtTheLastDelimiter) {
  std::string t = "C:\\x\\y.txt";
  EXPECT_EQ(NextTokenLast(t, "\\"), "C:\\x");
  EXPECT_EQ(t, "y.txt");
  t = " a.b . c ";
  EXPECT_EQ(NextTokenLast(t, "."), "a.b");
  EXPECT_EQ(t, "c");
  t = " plain ";
  EXPECT_EQ(NextTokenLast(t, "."), "plain");
  EXPECT_EQ(t, "");
}

TEST(TextFiles, RoundTripBytesAndFailQuietly) {
  GatewayHarness h("", "");
  Gateway& g = h.g();
  std::string bytes("a\0b\r\n\xff", 6);
  EXPECT_TRUE(WriteTextFile(g, bytes, "C:\\temp\\t.bin"));
  EXPECT_EQ(ReadTextFile(g, "c:\\TEMP\\T.BIN"), bytes);
  EXPECT_TRUE(WriteTextFile(g, "x", "C:\\temp\\t.bin"));  // truncated, not appended
  EXPECT_EQ(ReadTextFile(g, "C:\\temp\\t.bin"), "x");
  EXPECT_EQ(ReadTextFile(g, "C:\\temp\\missing.txt"), "");
  EXPECT_EQ(ReadTextFile(g, "C:\\temp"), "");  // a folder
  EXPECT_FALSE(WriteTextFile(g, "x", "C:\\no\\such\\folder\\f.txt"));
}

TEST(MakeTempFileName, ASessionKeepsItsFirstName) {
  GatewayHarness h("", "LISTEN");
  Gateway& g = h.g();
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
