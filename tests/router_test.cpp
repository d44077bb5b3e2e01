// The router's decisions: roads, links, document paths, password masking
// and template filling.
#include "web/router.h"

#include <gtest/gtest.h>

#include "web/password_codec.h"
#include "web/router_steps.h"
#include "test_support.h"

namespace korvane {
namespace {

using test::GatewayHarness;

std::string Query(const std::string& request) { return "&MYIP=10.0.0.5&ID=123.45&" + request; }

TEST(ExtractLink, TurnsTheRequestPathIntoProgramAndTopic) {
  std::string r = Query("GET /Excel/Sheet1?x=1 HTTP/1.0\r\n"), tail;
  EXPECT_EQ(extractlink(r, tail), "excel|sheet1");
  EXPECT_EQ(tail, "");
  r = Query("POST /a/b HTTP/1.0\r\n?\r\nx=1");
  EXPECT_EQ(extractlink(r, tail), "a|b");

  r = Query("GET /p/t?pass=*& HTTP/1.0") + "\x1a=ENC\x1b" "10.0.0.5\x1d";
  EXPECT_EQ(extractlink(r, tail), "p|t");
  EXPECT_EQ(tail, "=ENC\x1b" "10.0.0.5\x1d");
  EXPECT_EQ(r.find('\x1a'), std::string::npos);
}

TEST(CheckWwwType, ChoosesTheRoad) {
  GatewayHarness h("[Topics]\nprog=topic\n", "");
  Gateway& g = h.g();
  auto road = [&](const std::string& request) { return check_WWW_Type(g, request, Query(request)); };
  EXPECT_EQ(road("GET /prog/topic?&TOPIC=calc HTTP/1.0\r\n"), kRoadProgram);
  EXPECT_EQ(road("GET /prog/topic?TOPIC=calc HTTP/1.0\r\n"), kRoadLink);  // TOPIC right after "?"
  EXPECT_EQ(road("GET /Prog/Topic?x=1 HTTP/1.0\r\n"), kRoadLink);
  EXPECT_EQ(road("GET /Prog/Topic/form-fill/?x=1 HTTP/1.0\r\n"), kRoadDocument);
  EXPECT_EQ(road("GET /prog/topic HTTP/1.0\r\n"), kRoadDocument);  // no query
  EXPECT_EQ(road("GET /prog/other?x=1 HTTP/1.0\r\n"), kRoadDocument);
  EXPECT_EQ(road("GET /prog?x=1 HTTP/1.0\r\n"), kRoadDocument);
}

class Paths : public ::testing::Test {
 protected:
  void SetUp() override {
    h.home().Write("drives/c/export/.htm", "home");
    h.home().Write("drives/c/export/docs/Page.htm", "page");
    h.home().Write("drives/c/export/a.htm", "a");
    h.home().Write("drives/c/export/y.htm", "y");
    h.home().Write("drives/c/net/only.htm", "net");
    h.home().Write("drives/c/net/a.htm", "net a");
    h.g().NetExportDir = "c:\\net";
  }
  std::string Get(const std::string& request) { return DocumentPath(h.g(), request, 5); }
  GatewayHarness h{"", ""};
};

TEST_F(Paths, RequestPathsFindDocumentsInTheExportFoldersAndDirPathsGoUnchecked) {
  for (auto [request, path] : {
           std::pair{"GET / HTTP/1.0\r\n", "c:\\export\\.htm"},
           {"GET /Docs/Page HTTP/1.0\r\n", "c:\\export\\docs\\page.htm"},
           {"GET /a.html HTTP/1.0\r\n", "c:\\export\\a.htm"},
           {"GET /a.HTMx HTTP/1.0\r\n", "c:\\export\\a.htm"},
           {"GET /only HTTP/1.0\r\n", "c:\\net\\only.htm"},  // the second folder
           {"GET /missing.htm HTTP/1.0\r\n", ""},
           {"GET /docs HTTP/1.0\r\n", ""},  // a folder is no document
           {"GET /dir/sub HTTP/1.0\r\n", "c:\\export\\dir\\sub"},
           {"GET /dir/ HTTP/1.0\r\n", "c:\\export\\dir\\"},
           {"GET /Dir/Sub/X.Bin HTTP/1.0\r\n", "c:\\export\\dir\\sub\\x.bin"},
       })
    EXPECT_EQ(Get(request), path) << request;
  EXPECT_EQ(DocumentPath(h.g(), "HEAD /a.htm?x=1 HTTP/1.0\r\n", 6), "c:\\export\\a.htm");
}

class Passwords : public ::testing::Test {
 protected:
  GatewayHarness h{"", ""};
  const std::string address = "10.0.0.5";
  std::string Protect(const std::string& q) { return ProtectPassword(h.g(), q, address); }
  // The decoded password of a protected query's block.
  std::string BlockPassword(const std::string& q) {
    size_t start = q.find('\x1a'), key = q.find('\x1b');
    if (start == std::string::npos || key == std::string::npos) return "<no block>";
    EXPECT_EQ(q.substr(key + 1), address + "\x1d");
    return DecodePassword(h.g(), q.substr(start + 2, key - start - 2), address);
  }
};

TEST_F(Passwords, PlainAndWrappedPasswordsAreMaskedAndAppendedEncoded) {
  std::string q = Protect(Query("GET /p/t?user=al&pass=s3cret&x=1 HTTP/1.0\r\n"));
  EXPECT_EQ(q.substr(0, q.find('\x1a')), Query("GET /p/t?user=al&&pass=*&&x=1 HTTP/1.0\r\n"));
  EXPECT_EQ(BlockPassword(q), "s3cret");
  EXPECT_EQ(q.find("s3cret"), std::string::npos);
  // A wrapped password may hold an ampersand.
  q = Protect(Query("GET /p/t?pass=[{a&b}]&x=1 HTTP/1.0\r\n"));
  EXPECT_EQ(q.substr(0, q.find('\x1a')), Query("GET /p/t?&pass=*&&x=1 HTTP/1.0\r\n"));
  EXPECT_EQ(BlockPassword(q), "a&b");
}

TEST_F(Passwords, ValuesThatCannotTravelAndQueriesWithoutAPasswordAreLeft) {
  // A wrapped value that does not survive the codec loses only its wrapper.
  for (auto [sent, left] : {std::pair{"GET /p/t?pass=[{a~b}]&x=1 HTTP/1.0\r\n", "GET /p/t?pass=a~b&x=1 HTTP/1.0\r\n"},
                            {"GET /p/t?pass=a~b&x=1 HTTP/1.0\r\n", "GET /p/t?pass=a~b&x=1 HTTP/1.0\r\n"},
                            {"GET /a.htm HTTP/1.0\r\n", "GET /a.htm HTTP/1.0\r\n"}})
    EXPECT_EQ(Protect(Query(sent)), Query(left)) << sent;
}

TEST(FillTemplate, ReplacesPlaceholdersWithRawValues) {
  GatewayHarness h("", "");
  Gateway& g = h.g();
  h.home().Write("drives/c/export/t.htm", "[$name] [$ab] [$a] [$x] [$missing]");
  h.Finish(FillTemplate(g, "x=1&name=Bob+S%20&a=A&ab=AB HTTP/1.0\r\n", "c:\\export\\t.htm", "C:\\temp\\out.htm"));
  // "x" is the first item, never a field; "$a" is replaced inside "$ab" too.
  EXPECT_EQ(h.home().Read("drives/c/temp/out.htm"), "[Bob+S%20] [Ab] [A] [$x] [$missing]");
}

}  // namespace
}  // namespace korvane
