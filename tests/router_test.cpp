// The router's decisions: roads, links, document paths and password
// masking; the password codec: round trips, salting, the
// layout's length and checksum characters, and refusal of damaged or
// foreign encodings.
#include "web/router.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "web/password_codec.h"
#include "web/router_steps.h"

namespace korvane::test {
namespace {

std::string Query(const std::string& request) { return "&MYIP=10.0.0.5&ID=123.45&" + request; }

TEST(ExtractLink, TurnsTheRequestPathIntoProgramAndTopic) {
  std::string r = Query("GET /p/t?pass=*& HTTP/1.0") + "\x1a=ENC\x1b" "10.0.0.5\x1d", tail;
  EXPECT_EQ(extractlink(r, tail), "p|t");
  EXPECT_EQ(tail, "=ENC\x1b" "10.0.0.5\x1d");
  EXPECT_EQ(r.find('\x1a'), std::string::npos);
}

TEST(CheckWwwType, ChoosesTheRoad) {
  GatewayHarness h("[Topics]\nprog=topic\n", "");
  Gateway& g = h.g();
  for (auto [request, road] : {std::pair{"GET /prog/topic?&TOPIC=calc HTTP/1.0\r\n", kRoadProgram},
                               {"GET /prog/topic?TOPIC=calc HTTP/1.0\r\n", kRoadLink},  // TOPIC right after "?"
                               {"GET /Prog/Topic/form-fill/?x=1 HTTP/1.0\r\n", kRoadDocument},
                               {"GET /prog/topic HTTP/1.0\r\n", kRoadDocument},  // no query
                               {"GET /prog?x=1 HTTP/1.0\r\n", kRoadDocument}})
    EXPECT_EQ(check_WWW_Type(g, request, Query(request)), road) << request;
}

// A gateway not listening, for the router's steps and the password codec.
class Web : public ::testing::Test {
 protected:
  GatewayHarness h{"", ""};
  Gateway& g = h.g();
  const std::string address = "10.0.0.5";
  std::string Protect(const std::string& q) { return ProtectPassword(g, q, address); }
  // The decoded password of a protected query's block.
  std::string BlockPassword(const std::string& q) {
    size_t start = q.find('\x1a'), key = q.find('\x1b');
    if (start == std::string::npos || key == std::string::npos) return "<no block>";
    EXPECT_EQ(q.substr(key + 1), address + "\x1d");
    return DecodePassword(g, q.substr(start + 2, key - start - 2), address);
  }
  std::string Enc(const std::string& t, const std::string& k) { return EncodePassword(g, t, k); }
  std::string Dec(const std::string& e, const std::string& k) { return DecodePassword(g, e, k); }
};

TEST_F(Web, RequestPathsFindDocumentsInTheExportFolders) {
  for (const char* file : {"export/a.htm", "net/only.htm", "net/a.htm"})
    h.home().Write(std::string("drives/c/") + file, file);
  g.NetExportDir = "c:\\net";
  for (auto [request, path] : {
           std::pair{"GET /a.HTMx HTTP/1.0\r\n", "c:\\export\\a.htm"},  // both folders have it: the first wins
           {"GET /only HTTP/1.0\r\n", "c:\\net\\only.htm"},  // the second folder
       })
    EXPECT_EQ(DocumentPath(g, request, 5), path) << request;
}

TEST_F(Web, PlainAndWrappedPasswordsAreMaskedAndAppendedEncoded) {
  std::string q = Protect(Query("GET /p/t?user=al&pass=s3cret&x=1 HTTP/1.0\r\n"));
  EXPECT_EQ(q.substr(0, q.find('\x1a')), Query("GET /p/t?user=al&&pass=*&&x=1 HTTP/1.0\r\n"));
  EXPECT_EQ(BlockPassword(q), "s3cret");
  EXPECT_EQ(q.find("s3cret"), std::string::npos);
  // A wrapped password may hold an ampersand.
  q = Protect(Query("GET /p/t?pass=[{a&b}]&x=1 HTTP/1.0\r\n"));
  EXPECT_EQ(q.substr(0, q.find('\x1a')), Query("GET /p/t?&pass=*&&x=1 HTTP/1.0\r\n"));
  EXPECT_EQ(BlockPassword(q), "a&b");
}

TEST_F(Web, ValuesThatCannotTravelAndQueriesWithoutAPasswordAreLeft) {
  // A wrapped value that does not survive the codec loses only its wrapper.
  for (auto [sent, left] : {std::pair{"GET /p/t?pass=[{a~b}]&x=1 HTTP/1.0\r\n", "GET /p/t?pass=a~b&x=1 HTTP/1.0\r\n"},
                            {"GET /p/t?pass=a~b&x=1 HTTP/1.0\r\n", "GET /p/t?pass=a~b&x=1 HTTP/1.0\r\n"},
                            {"GET /a.htm HTTP/1.0\r\n", "GET /a.htm HTTP/1.0\r\n"}})
    EXPECT_EQ(Protect(Query(sent)), Query(left)) << sent;
}

const std::string kCantDecode = "***CANT DECODE PASSWORD***";
const std::string kCantEncode = "***CANT ENCODE PASSWORD***";

TEST_F(Web, CodecEveryPrintableTextUpTo155CharactersRoundTripsSalted) {
  const std::string key = " 10.0.0.1 ";  // trimmed before use
  std::string all;
  for (int c = 32; c <= 125; ++c) all += static_cast<char>(c);
  all += all;
  for (size_t n : {1u, 2u, 3u, 8u, 9u, 10u, 40u, 86u, 94u, 155u}) {
    std::string text = all.substr(0, n);
    for (int round = 0; round < 20; ++round) {
      std::string e = Enc(text, key);
      for (size_t i = 0; i < e.size(); ++i) {  // all printable but the length character (text length + 100)
        if (i == e.size() - 2) continue;
        ASSERT_TRUE(e[i] >= 33 && e[i] <= 126) << e;
      }
      EXPECT_EQ(static_cast<unsigned char>(e[e.size() - 2]), n + 100);
      EXPECT_EQ(Dec(e, "10.0.0.1"), text) << n;
    }
  }
  EXPECT_NE(Enc("secret", "192.168.1.20"), Enc("secret", "192.168.1.20"));
  // No key at all; a blank survives and "~" comes back as one.
  EXPECT_EQ(Dec(Enc("pw", ""), ""), "pw");
  EXPECT_EQ(Dec(Enc("a~b", "key"), "key"), "a b");
  // The empty text: salt, length and checksum (codes 100 and 33) only.
  for (int round = 0; round < 30; ++round) {
    std::string e = Enc("", "");
    ASSERT_GE(e.size(), 3u);
    EXPECT_EQ(e.substr(e.size() - 2), std::string("d!"));
    EXPECT_EQ(static_cast<unsigned char>(e[e.size() - 3]) % 2, 0);  // the salt
    EXPECT_EQ(Dec(e, ""), "");
  }
}

TEST_F(Web, CodecBlanksNearTheChecksumLimitStillRoundTrip) {
  // A blank decodes through "~", 94 higher than it was encoded: the longest
  // texts the encoder accepts must not overflow the decoder's sum.
  const std::string key = "10.0.0.1";
  int accepted = 0;
  for (size_t n = 100; n <= 150; ++n) {
    std::string text = "c$" + std::string(n, '}') + "Content-Type: }}}}Cookie: }}}";
    std::string e = Enc(text, key);
    if (e == kCantEncode) continue;
    ++accepted;
    EXPECT_EQ(Dec(e, key), text) << n;
  }
  EXPECT_GT(accepted, 0);
}

TEST_F(Web, CodecWrongKeyDamageAndTextsBeyondTheLimitsAreRefused) {
  int refused = 0;
  for (int round = 0; round < 50; ++round) {
    std::string e = Enc("password1", "10.0.0.1");
    if (Dec(e, "10.0.0.2") == kCantDecode) ++refused;
    std::string damaged = e;
    damaged.back() = damaged.back() == '!' ? '"' : '!';
    EXPECT_EQ(Dec(damaged, "10.0.0.1"), kCantDecode);
  }
  EXPECT_GT(refused, 40);
  for (const std::string& garbage : {std::string(), std::string("x"), std::string(3, '\xff')})
    EXPECT_EQ(Dec(garbage, "k"), kCantDecode);

  EXPECT_EQ(Enc(std::string(156, 'a'), "k"), kCantEncode);     // length above 155
  EXPECT_EQ(Enc(std::string(120, '\xfe'), "k"), kCantEncode);  // checksum beyond 16 bits
  EXPECT_NE(h.home().Read("drives/c/temp/log/korvane.log").find("Error encoding password"), std::string::npos);
}

}  // namespace
}  // namespace korvane::test
