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

TEST_F(Paths, RequestPathsFindDocumentsInTheExportFolders) {
  EXPECT_EQ(Get("GET / HTTP/1.0\r\n"), "c:\\export\\.htm");
  EXPECT_EQ(Get("GET /Docs/Page HTTP/1.0\r\n"), "c:\\export\\docs\\page.htm");
  EXPECT_EQ(Get("GET /a.html HTTP/1.0\r\n"), "c:\\export\\a.htm");
  EXPECT_EQ(Get("GET /a.HTMx HTTP/1.0\r\n"), "c:\\export\\a.htm");
  EXPECT_EQ(Get("GET /only HTTP/1.0\r\n"), "c:\\net\\only.htm");  // the second folder
  EXPECT_EQ(Get("GET /missing.htm HTTP/1.0\r\n"), "");
  EXPECT_EQ(Get("GET /docs HTTP/1.0\r\n"), "");  // a folder is no document
  EXPECT_EQ(DocumentPath(h.g(), "HEAD /a.htm?x=1 HTTP/1.0\r\n", 6), "c:\\export\\a.htm");
}

TEST_F(Paths, ParentReferencesAreRefused) {
  EXPECT_EQ(Get("GET /x/../y.htm HTTP/1.0\r\n"), "");
  EXPECT_EQ(Get("GET /.. HTTP/1.0\r\n"), "");
  EXPECT_EQ(Get("GET /dir/../../etc/passwd HTTP/1.0\r\n"), "");
  EXPECT_EQ(Get("GET /..%2f HTTP/1.0\r\n"), "");
}

TEST_F(Paths, DirPathsGoToTheLocalFolderUnchecked) {
  EXPECT_EQ(Get("GET /dir/sub HTTP/1.0\r\n"), "c:\\export\\dir\\sub");
  EXPECT_EQ(Get("GET /dir/ HTTP/1.0\r\n"), "c:\\export\\dir\\");
  EXPECT_EQ(Get("GET /Dir/Sub/X.Bin HTTP/1.0\r\n"), "c:\\export\\dir\\sub\\x.bin");
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

TEST_F(Passwords, APlainPasswordIsMaskedAndAppendedEncoded) {
  std::string q = Protect(Query("GET /p/t?user=al&pass=s3cret&x=1 HTTP/1.0\r\n"));
  EXPECT_EQ(q.substr(0, q.find('\x1a')), Query("GET /p/t?user=al&&pass=*&&x=1 HTTP/1.0\r\n"));
  EXPECT_EQ(BlockPassword(q), "s3cret");
  EXPECT_EQ(q.find("s3cret"), std::string::npos);
}

TEST_F(Passwords, AWrappedPasswordMayHoldAnAmpersand) {
  std::string q = Protect(Query("GET /p/t?pass=[{a&b}]&x=1 HTTP/1.0\r\n"));
  EXPECT_EQ(q.substr(0, q.find('\x1a')), Query("GET /p/t?&pass=*&&x=1 HTTP/1.0\r\n"));
  EXPECT_EQ(BlockPassword(q), "a&b");
}

TEST_F(Passwords, AWrappedValueThatDoesNotSurviveLosesOnlyItsWrapper) {
  std::string q = Protect(Query("GET /p/t?pass=[{a~b}]&x=1 HTTP/1.0\r\n"));
  EXPECT_EQ(q, Query("GET /p/t?pass=a~b&x=1 HTTP/1.0\r\n"));
  // Unwrapped, the same value is left as it is.
  q = Protect(Query("GET /p/t?pass=a~b&x=1 HTTP/1.0\r\n"));
  EXPECT_EQ(q, Query("GET /p/t?pass=a~b&x=1 HTTP/1.0\r\n"));
}

TEST_F(Passwords, QueriesWithoutAPasswordAreUntouched) {
  EXPECT_EQ(Protect(Query("GET /a.htm HTTP/1.0\r\n")), Query("GET /a.htm HTTP/1.0\r\n"));
}

TEST(FillTemplate, ReplacesPlaceholdersWithRawValues) {
  GatewayHarness h("", "");
  Gateway& g = h.g();
  h.home().Write("drives/c/export/t.htm", "[$name] [$ab] [$a] [$x] [$missing]");
  bool done = false;
  asio::co_spawn(h.io(), [&]() -> asio::awaitable<void> {
    co_await FillTemplate(g, "x=1&name=Bob+S%20&a=A&ab=AB HTTP/1.0\r\n", "c:\\export\\t.htm", "C:\\temp\\out.htm");
    done = true;
  }, asio::detached);
  ASSERT_TRUE(h.RunUntil([&] { return done; }));
  // "x" is the first item, never a field; "$a" is replaced inside "$ab" too.
  EXPECT_EQ(h.home().Read("drives/c/temp/out.htm"), "[Bob+S%20] [Ab] [A] [$x] [$missing]");
}

TEST(FillTemplate, AMissingTemplateGivesAnEmptyFile) {
  GatewayHarness h("", "");
  bool done = false;
  asio::co_spawn(h.io(), [&]() -> asio::awaitable<void> {
    co_await FillTemplate(h.g(), "x=1&a=2", "c:\\export\\none.htm", "C:\\temp\\out.htm");
    done = true;
  }, asio::detached);
  ASSERT_TRUE(h.RunUntil([&] { return done; }));
  EXPECT_TRUE(h.home().Exists("drives/c/temp/out.htm"));
  EXPECT_EQ(h.home().Read("drives/c/temp/out.htm"), "");
}

}  // namespace
}  // namespace korvane
